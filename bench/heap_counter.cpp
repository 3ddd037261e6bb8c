#include "heap_counter.h"

#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace sdk::bench {
namespace {

std::atomic<bool> counting{false};
std::atomic<std::int64_t> liveBytes{0};
std::atomic<std::uint64_t> allocations{0};

void* Allocate(std::size_t size, std::size_t alignment) {
    void* p = alignment > alignof(std::max_align_t)
                  ? std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)
                  : std::malloc(size == 0 ? 1 : size);
    if (p != nullptr && counting.load(std::memory_order_relaxed)) {
        liveBytes.fetch_add(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
    return p;
}

void Free(void* p) noexcept {
    if (p == nullptr) return;
    if (counting.load(std::memory_order_relaxed)) {
        liveBytes.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
    }
    std::free(p);
}

}  // namespace

HeapCount::HeapCount() {
    liveBytes = 0;
    allocations = 0;
    counting = true;
}

HeapCount::~HeapCount() {
    counting = false;
}

std::int64_t HeapCount::LiveBytes() const {
    return liveBytes.load();
}

std::uint64_t HeapCount::Allocations() const {
    return allocations.load();
}

std::int64_t ResidentBytes() {
    long pages = 0;
    long resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<std::int64_t>(resident) * ::sysconf(_SC_PAGESIZE);
}

}  // namespace sdk::bench

// The replacement allocator. A block freed during a count but allocated before it makes the live count
// go down; the benchmarks therefore warm up before they count, and read the difference.
void* operator new(std::size_t size) {
    if (void* p = sdk::bench::Allocate(size, 0)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return sdk::bench::Allocate(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return sdk::bench::Allocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    if (void* p = sdk::bench::Allocate(size, static_cast<std::size_t>(alignment))) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return operator new(size, alignment);
}
void operator delete(void* p) noexcept {
    sdk::bench::Free(p);
}
void operator delete[](void* p) noexcept {
    sdk::bench::Free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    sdk::bench::Free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    sdk::bench::Free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    sdk::bench::Free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    sdk::bench::Free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    sdk::bench::Free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    sdk::bench::Free(p);
}
