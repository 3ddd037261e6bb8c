// Counts the bytes held through operator new while a HeapCount is alive, so that a benchmark can tell
// what a loop of calls left behind. Outside a count the replacement allocator only forwards to malloc.
#pragma once

#include <cstdint>

namespace sdk::bench {

class HeapCount {
public:
    HeapCount();   // starts counting (counts do not nest)
    ~HeapCount();  // stops

    // Bytes allocated and not yet freed since the start, and allocations made, on every thread.
    std::int64_t LiveBytes() const;
    std::uint64_t Allocations() const;
};

// The resident set of the process in bytes, as the kernel reports it.
std::int64_t ResidentBytes();

}  // namespace sdk::bench
