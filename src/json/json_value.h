// The heap blocks behind long strings, arrays and objects, shared by the value operations, the reader
// and the writer. A Json is trivially relocatable: its bytes can move to another address, ownership and
// all, so blocks grow by copying bytes, never by running constructors.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "json/json.h"

namespace sdk {

struct JsonStringBlock {
    std::size_t size;
    char* Text() { return reinterpret_cast<char*>(this + 1); }
};

struct JsonArrayBlock {
    std::uint32_t size;
    std::uint32_t capacity;
    std::uint64_t reserved;  // keeps the elements 16-byte aligned
    Json* Elements() { return reinterpret_cast<Json*>(this + 1); }
};

// Members in insertion order, as name and value pairs. Objects with more than kLinearLimit members also
// keep an open-addressing index of member positions, at most half full.
struct JsonMember {
    Json name;  // always a string
    Json value;
};

struct JsonObjectBlock {
    static constexpr std::uint32_t kLinearLimit = 8;
    static constexpr std::uint32_t kEmptySlot = UINT32_MAX;

    std::uint32_t size;
    std::uint32_t capacity;
    std::uint32_t* slots;  // nullptr while the object is small
    std::uint32_t slotCount;
    std::uint32_t reserved;
    JsonMember* Members() { return reinterpret_cast<JsonMember*>(this + 1); }
};

// Memory handed out in 16-byte-aligned pieces and given back all at once: the blocks of one document.
class JsonArena {
public:
    JsonArena() = default;
    ~JsonArena() { FreeChunks(); }
    JsonArena(const JsonArena&) = delete;
    JsonArena& operator=(const JsonArena&) = delete;

    void* Allocate(std::size_t bytes) {
        bytes = (bytes + 15) & ~std::size_t{15};
        // Each new chunk at least doubles what the arena holds, so a document of any size takes few.
        if (bytes > static_cast<std::size_t>(end_ - next_)) AddChunk(std::max(kFirstChunk + held_, bytes));
        void* piece = next_;
        next_ += bytes;
        return piece;
    }

    // A first chunk of at least this size, when the arena holds none yet.
    void Prepare(std::size_t bytes) {
        if (chunks_ == nullptr) AddChunk(std::max(kFirstChunk, bytes));
    }

    // Forgets every piece. The memory stays for the next document, joined into one chunk, unless it
    // comes to more than `keptBytes`.
    void Reset(std::size_t keptBytes) noexcept;

private:
    struct Chunk {
        Chunk* previous;
        std::size_t size;  // bytes after the header
    };
    static_assert(sizeof(Chunk) == 16);

    static constexpr std::size_t kFirstChunk = 16 * 1024;

    // A new chunk of `size` bytes that pieces come from from now on.
    void AddChunk(std::size_t size);
    void FreeChunks() noexcept;

    Chunk* chunks_ = nullptr;  // newest first
    std::size_t held_ = 0;     // the sizes of all chunks
    char* next_ = nullptr;
    char* end_ = nullptr;
};

static_assert(sizeof(JsonArrayBlock) % alignof(Json) == 0);
static_assert(sizeof(JsonObjectBlock) % alignof(Json) == 0);

// The operations that the reader and writer share with the value code; they see the representation.
struct JsonAccess {
    using Tag = Json::Tag;

    static Tag TagOf(const Json& value) { return value.tag_; }
    static JsonArrayBlock* Array(const Json& value) { return static_cast<JsonArrayBlock*>(value.Block()); }
    static JsonObjectBlock* Object(const Json& value) { return static_cast<JsonObjectBlock*>(value.Block()); }
    static std::string_view Text(const Json& value) {
        if (value.tag_ == Tag::kSmallString) return {value.bytes_, value.smallSize_};
        if (value.tag_ == Tag::kLongString) {
            auto* block = static_cast<JsonStringBlock*>(value.Block());
            return {block->Text(), block->size};
        }
        return {};
    }
    static bool SameName(const Json& a, std::string_view b) { return Text(a) == b; }

    // Containers made from values laid out one after another (the reader's stack); the values are moved
    // in by their bytes. Members that repeat a name replace the earlier one's value in its place. With an
    // arena, the blocks (and those of long strings) lie in it and the values are marked as such.
    static Json MakeString(std::string_view text, JsonArena* arena) {
        return text.size() <= Json::kSmallText ? Json(text) : MakeLongString(text, arena);
    }
    static Json MakeLongString(std::string_view text, JsonArena* arena);
    static Json MakeArray(Json* values, std::uint32_t count, JsonArena* arena);
    static Json MakeObject(JsonMember* members, std::uint32_t count, JsonArena* arena);
    // Forgets the value's content without releasing it: its bytes were moved elsewhere.
    static void Forget(Json& value) { value.tag_ = Tag::kInvalid; }
};

}  // namespace sdk
