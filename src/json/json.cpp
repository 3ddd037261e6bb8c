#include "json/json.h"

#include <cmath>
#include <functional>
#include <limits>
#include <new>
#include <utility>

#include "json/json_value.h"

namespace sdk {

namespace {

using Tag = JsonAccess::Tag;

// The one invalid value that lookups hand out by reference. Constant-initialised and never destroyed,
// so it exists before any code runs and still exists while threads wind down at exit.
union AbsentHolder {
    Json value;
    constexpr AbsentHolder() : value(Json::Invalid()) {}
    ~AbsentHolder() {}
};
constinit const AbsentHolder kAbsent;

void* Allocate(std::size_t bytes) {
    return ::operator new(bytes);
}

void Free(void* block) {
    ::operator delete(block);
}

// From the arena when there is one, else from the heap.
void* Allocate(std::size_t bytes, JsonArena* arena) {
    return arena != nullptr ? arena->Allocate(bytes) : Allocate(bytes);
}

JsonArrayBlock* NewArrayBlock(std::uint32_t capacity, JsonArena* arena = nullptr) {
    auto* block =
        static_cast<JsonArrayBlock*>(Allocate(sizeof(JsonArrayBlock) + capacity * sizeof(Json), arena));
    block->size = 0;
    block->capacity = capacity;
    block->reserved = 0;
    return block;
}

JsonObjectBlock* NewObjectBlock(std::uint32_t capacity, JsonArena* arena = nullptr) {
    auto* block = static_cast<JsonObjectBlock*>(
        Allocate(sizeof(JsonObjectBlock) + capacity * sizeof(JsonMember), arena));
    block->size = 0;
    block->capacity = capacity;
    block->slots = nullptr;
    block->slotCount = 0;
    block->reserved = 0;
    return block;
}

std::uint32_t GrownCapacity(std::uint32_t capacity) {
    return capacity < 4 ? 4 : capacity * 2;
}

// ---- The member index of large objects

std::size_t HashName(std::string_view name) {
    return std::hash<std::string_view>{}(name);
}

void IndexPosition(JsonObjectBlock* block, std::uint32_t position) {
    const std::size_t mask = block->slotCount - 1;
    std::size_t slot = HashName(JsonAccess::Text(block->Members()[position].name)) & mask;
    while (block->slots[slot] != JsonObjectBlock::kEmptySlot) slot = (slot + 1) & mask;
    block->slots[slot] = position;
}

// An object in an arena is made at its final capacity, so its index is built once, never widened.
void RebuildIndex(JsonObjectBlock* block, std::uint32_t slotCount, JsonArena* arena) {
    auto* slots = static_cast<std::uint32_t*>(Allocate(slotCount * sizeof(std::uint32_t), arena));
    if (arena == nullptr) Free(block->slots);
    block->slots = slots;
    block->slotCount = slotCount;
    for (std::uint32_t i = 0; i < slotCount; ++i) slots[i] = JsonObjectBlock::kEmptySlot;
    for (std::uint32_t i = 0; i < block->size; ++i) IndexPosition(block, i);
}

// Indexes the member just appended, starting or widening the index as the object grows.
void IndexLastMember(JsonObjectBlock* block, JsonArena* arena) {
    if (block->size <= JsonObjectBlock::kLinearLimit) return;
    if (block->slots == nullptr) {
        std::uint32_t slotCount = 4 * JsonObjectBlock::kLinearLimit;
        while (slotCount < 2 * block->capacity) slotCount *= 2;
        RebuildIndex(block, slotCount, arena);
    } else if (2 * block->size > block->slotCount) {
        RebuildIndex(block, 2 * block->slotCount, arena);
    } else {
        IndexPosition(block, block->size - 1);
    }
}

constexpr std::uint32_t kNotFound = UINT32_MAX;

std::uint32_t FindPosition(const JsonObjectBlock* block, std::string_view name) {
    if (block == nullptr) return kNotFound;
    auto* members = const_cast<JsonObjectBlock*>(block)->Members();
    if (block->slots == nullptr) {
        for (std::uint32_t i = 0; i < block->size; ++i) {
            if (JsonAccess::SameName(members[i].name, name)) return i;
        }
        return kNotFound;
    }
    const std::size_t mask = block->slotCount - 1;
    for (std::size_t slot = HashName(name) & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t position = block->slots[slot];
        if (position == JsonObjectBlock::kEmptySlot) return kNotFound;
        if (JsonAccess::SameName(members[position].name, name)) return position;
    }
}

// Appends a member whose name is known to be absent; the block has room for it.
void PlaceMember(JsonObjectBlock* block, Json&& name, Json&& value, JsonArena* arena = nullptr) {
    JsonMember* member = block->Members() + block->size;
    new (&member->name) Json(std::move(name));
    new (&member->value) Json(std::move(value));
    ++block->size;
    IndexLastMember(block, arena);
}

void DestroyArray(JsonArrayBlock* block) {
    if (block == nullptr) return;
    for (std::uint32_t i = 0; i < block->size; ++i) block->Elements()[i].~Json();
    Free(block);
}

void DestroyObject(JsonObjectBlock* block) {
    if (block == nullptr) return;
    for (std::uint32_t i = 0; i < block->size; ++i) {
        block->Members()[i].name.~Json();
        block->Members()[i].value.~Json();
    }
    Free(block->slots);
    Free(block);
}

JsonArrayBlock* CopyArray(JsonArrayBlock* source) {
    if (source == nullptr) return nullptr;
    JsonArrayBlock* block = NewArrayBlock(source->size);
    try {
        for (; block->size < source->size; ++block->size) {
            new (block->Elements() + block->size) Json(source->Elements()[block->size]);
        }
    } catch (...) {
        DestroyArray(block);
        throw;
    }
    return block;
}

JsonObjectBlock* CopyObject(JsonObjectBlock* source) {
    if (source == nullptr) return nullptr;
    JsonObjectBlock* block = NewObjectBlock(source->size);
    try {
        for (std::uint32_t i = 0; i < source->size; ++i) {
            const JsonMember& member = source->Members()[i];
            Json name(member.name);
            Json value(member.value);
            PlaceMember(block, std::move(name), std::move(value));
        }
    } catch (...) {
        DestroyObject(block);
        throw;
    }
    return block;
}

}  // namespace

// ---- Construction, copies and moves

void Json::MakeLong(std::string_view text) {
    auto* block = static_cast<JsonStringBlock*>(Allocate(sizeof(JsonStringBlock) + text.size()));
    block->size = text.size();
    std::memcpy(block->Text(), text.data(), text.size());
    SetBlock(block);
    tag_ = Tag::kLongString;
}

Json::Json(double number) noexcept : Json(Tag::kNumber) {
    std::memcpy(bytes_, &number, sizeof number);
}

Json::Json(bool value) noexcept : Json(Tag::kBool) {
    bytes_[0] = value ? 1 : 0;
}

Json::Json(const Json& other) : Json(Tag::kInvalid) {
    switch (other.tag_) {
        case Tag::kLongString:
            *this = Json(JsonAccess::Text(other));
            return;
        case Tag::kArray:
            SetBlock(CopyArray(JsonAccess::Array(other)));
            break;
        case Tag::kObject:
            SetBlock(CopyObject(JsonAccess::Object(other)));
            break;
        default:
            std::memcpy(bytes_, other.bytes_, sizeof bytes_);
            smallSize_ = other.smallSize_;
            break;
    }
    tag_ = other.tag_;
}

Json& Json::operator=(const Json& other) {
    // Copied before the old content goes: other may live inside it.
    if (this != &other) *this = Json(other);
    return *this;
}

Json& Json::operator=(Json&& other) noexcept {
    if (this == &other) return *this;
    // Taken out before the old content goes: other may live inside it.
    Json taken(std::move(other));
    if (tag_ >= Tag::kLongString) Release();
    TakeBits(taken);
    return *this;
}

void Json::Release() noexcept {
    if (smallSize_ == kInArena) {
        tag_ = Tag::kInvalid;  // the arena frees its blocks, and those of everything inside, at once
        return;
    }
    switch (tag_) {
        case Tag::kLongString:
            Free(Block());
            break;
        case Tag::kArray:
            DestroyArray(JsonAccess::Array(*this));
            break;
        case Tag::kObject:
            DestroyObject(JsonAccess::Object(*this));
            break;
        default:
            break;
    }
    tag_ = Tag::kInvalid;
}

const Json& Json::Absent() noexcept {
    return kAbsent.value;
}

// ---- Containers

bool Json::MakeArray() {
    if (tag_ == Tag::kNull) {
        tag_ = Tag::kArray;
        smallSize_ = 0;
        SetBlock(nullptr);  // an empty array owns no block yet
    }
    return tag_ == Tag::kArray;
}

bool Json::MakeObject() {
    if (tag_ == Tag::kNull) {
        tag_ = Tag::kObject;
        smallSize_ = 0;
        SetBlock(nullptr);
    }
    return tag_ == Tag::kObject;
}

Json* Json::FindElement(int index) const {
    if (tag_ != Tag::kArray || index < 0) return nullptr;
    JsonArrayBlock* block = JsonAccess::Array(*this);
    if (block == nullptr || static_cast<std::uint32_t>(index) >= block->size) return nullptr;
    return block->Elements() + index;
}

Json* Json::FindMember(std::string_view name) const {
    if (tag_ != Tag::kObject) return nullptr;
    JsonObjectBlock* block = JsonAccess::Object(*this);
    const std::uint32_t position = FindPosition(block, name);
    return position == kNotFound ? nullptr : &block->Members()[position].value;
}

JsonSlot Json::operator[](std::string_view name) {
    if (!MakeObject()) return JsonSlot(nullptr);
    if (Json* found = FindMember(name)) return JsonSlot(found);
    SetMember(name, Json());
    return JsonSlot(FindMember(name));
}

JsonSlot Json::operator[](int index) {
    MakeArray();
    return JsonSlot(FindElement(index));
}

void Json::Append(Json&& value) {
    if (&value == this) return Append(static_cast<const Json&>(value));
    if (!MakeArray()) return;
    // Taken out before the block may move: the value may be one of this array's own elements.
    Json taken(std::move(value));
    JsonArrayBlock* block = JsonAccess::Array(*this);
    if (block == nullptr || block->size == block->capacity) {
        JsonArrayBlock* grown = NewArrayBlock(GrownCapacity(block ? block->capacity : 0));
        if (block != nullptr) {
            std::memcpy(static_cast<void*>(grown->Elements()), block->Elements(), block->size * sizeof(Json));
            grown->size = block->size;
            Free(block);
        }
        SetBlock(block = grown);
    }
    new (block->Elements() + block->size) Json(std::move(taken));
    ++block->size;
}

void Json::Append(const Json& value) {
    if (tag_ != Tag::kNull && tag_ != Tag::kArray) return;
    Append(Json(value));
}

void Json::SetMember(std::string_view name, Json&& value) {
    if (&value == this) return SetMember(name, static_cast<const Json&>(value));
    if (!MakeObject()) return;
    // Taken out first: the value may live inside this object, whose block may move.
    Json taken(std::move(value));
    if (Json* found = FindMember(name)) {
        *found = std::move(taken);
        return;
    }
    // Made before the block may move: the name may view into this object.
    Json key(name);
    JsonObjectBlock* block = JsonAccess::Object(*this);
    if (block == nullptr || block->size == block->capacity) {
        JsonObjectBlock* grown = NewObjectBlock(GrownCapacity(block ? block->capacity : 0));
        if (block != nullptr) {
            std::memcpy(static_cast<void*>(grown->Members()), block->Members(),
                        block->size * sizeof(JsonMember));
            grown->size = block->size;
            grown->slots = block->slots;
            grown->slotCount = block->slotCount;
            Free(block);
        }
        SetBlock(block = grown);
    }
    PlaceMember(block, std::move(key), std::move(taken));
}

void Json::SetMember(std::string_view name, const Json& value) {
    if (tag_ != Tag::kNull && tag_ != Tag::kObject) return;
    SetMember(name, Json(value));
}

void Json::SetElement(int index, Json&& value) {
    if (&value == this) return SetElement(index, static_cast<const Json&>(value));
    if (Json* element = FindElement(index)) *element = std::move(value);
}

void Json::SetElement(int index, const Json& value) {
    if (Json* element = FindElement(index)) *element = value;
}

Json JsonAccess::MakeLongString(std::string_view text, JsonArena* arena) {
    if (arena == nullptr) return Json(text);
    Json string(Tag::kLongString);
    auto* block = static_cast<JsonStringBlock*>(arena->Allocate(sizeof(JsonStringBlock) + text.size()));
    block->size = text.size();
    std::memcpy(block->Text(), text.data(), text.size());
    string.SetBlock(block);
    string.smallSize_ = Json::kInArena;
    return string;
}

Json JsonAccess::MakeArray(Json* values, std::uint32_t count, JsonArena* arena) {
    Json array(Tag::kArray);
    JsonArrayBlock* block = NewArrayBlock(count, arena);
    std::memcpy(static_cast<void*>(block->Elements()), values, count * sizeof(Json));
    block->size = count;
    for (std::uint32_t i = 0; i < count; ++i) Forget(values[i]);
    array.SetBlock(block);
    if (arena != nullptr) array.smallSize_ = Json::kInArena;
    return array;
}

Json JsonAccess::MakeObject(JsonMember* members, std::uint32_t count, JsonArena* arena) {
    Json object(Tag::kObject);
    JsonObjectBlock* block = NewObjectBlock(count, arena);
    object.SetBlock(block);
    if (arena != nullptr) object.smallSize_ = Json::kInArena;
    for (std::uint32_t i = 0; i < count; ++i) {
        JsonMember& member = members[i];
        const std::uint32_t position = FindPosition(block, Text(member.name));
        if (position == kNotFound) {
            PlaceMember(block, std::move(member.name), std::move(member.value), arena);
        } else {
            block->Members()[position].value = std::move(member.value);
            member.name = Json::Invalid();
        }
    }
    return object;
}

// ---- The arena of a document

void JsonArena::AddChunk(std::size_t size) {
    auto* chunk = static_cast<Chunk*>(::operator new(sizeof(Chunk) + size));
    chunk->previous = chunks_;
    chunk->size = size;
    chunks_ = chunk;
    held_ += size;
    next_ = reinterpret_cast<char*>(chunk + 1);
    end_ = next_ + size;
}

void JsonArena::FreeChunks() noexcept {
    while (chunks_ != nullptr) {
        Chunk* previous = chunks_->previous;
        ::operator delete(chunks_);
        chunks_ = previous;
    }
    held_ = 0;
    next_ = end_ = nullptr;
}

void JsonArena::Reset(std::size_t keptBytes) noexcept {
    if (chunks_ == nullptr) return;
    const std::size_t held = held_;
    if (chunks_->previous == nullptr && held <= keptBytes) {
        next_ = reinterpret_cast<char*>(chunks_ + 1);
        return;
    }
    FreeChunks();
    if (held > keptBytes) return;
    // One chunk the size of all of them: the next document of this size fits without another.
    try {
        AddChunk(held);
    } catch (const std::bad_alloc&) {
        // Nothing kept; the next document allocates afresh.
    }
}

// ---- Reading

const Json& Json::At(std::string_view name) const {
    const Json* found = FindMember(name);
    return found ? *found : Absent();
}

const Json& Json::At(int index) const {
    const Json* found = FindElement(index);
    return found ? *found : Absent();
}

int Json::MemberCount() const {
    if (tag_ != Tag::kObject || Block() == nullptr) return 0;
    return static_cast<int>(JsonAccess::Object(*this)->size);
}

std::string_view Json::MemberName(int position) const {
    if (position < 0 || position >= MemberCount()) return {};
    return JsonAccess::Text(JsonAccess::Object(*this)->Members()[position].name);
}

const Json& Json::MemberValue(int position) const {
    if (position < 0 || position >= MemberCount()) return Absent();
    return JsonAccess::Object(*this)->Members()[position].value;
}

bool Json::HasMember(std::string_view name) const {
    return FindMember(name) != nullptr;
}

int Json::Size() const {
    if (tag_ != Tag::kArray) return -1;
    JsonArrayBlock* block = JsonAccess::Array(*this);
    return block ? static_cast<int>(block->size) : 0;
}

int Json::AsInt() const {
    if (tag_ != Tag::kNumber) return 0;
    // Truncation toward zero; values beyond the int range saturate and NaN gives 0, where a plain cast
    // would be undefined.
    const double value = Number();
    if (std::isnan(value)) return 0;
    if (value >= static_cast<double>(std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
    if (value <= static_cast<double>(std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}

std::string_view Json::AsStringView() const {
    return JsonAccess::Text(*this);
}

int Json::Type() const {
    switch (tag_) {
        case Tag::kNull:
            return kJsonNull;
        case Tag::kBool:
            return kJsonBool;
        case Tag::kNumber:
            return kJsonNumber;
        case Tag::kSmallString:
        case Tag::kLongString:
            return kJsonString;
        case Tag::kArray:
            return kJsonArray;
        case Tag::kObject:
            return kJsonObject;
        case Tag::kInvalid:
        default:
            return kJsonInvalid;
    }
}

}  // namespace sdk
