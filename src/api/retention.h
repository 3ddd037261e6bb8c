// Retention lists: process-wide, append-only owners of everything handed to callers by pointer. What a
// list holds stays valid and unchanged until the library is unloaded; nothing is freed earlier. There is
// one list per kind of allocation. Records that callers tend to ask for every frame (device info, LED
// positions) are also filed by content, so that an answer equal to one already kept returns that record
// and memory stays flat.
//
//     VeltariDeviceInfo* info = Retain(std::make_unique<VeltariDeviceInfo>());
//     info->model = RetainString(json.At("model").AsString());
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "veltari.h"

namespace sdk {

// One list: its storage and mutex come into being on first use, safely when two threads arrive together.
template <class Owner>
class RetentionList {
public:
    using Pointer = typename Owner::pointer;

    // Takes ownership and appends; a null owner is ignored. Returns what it now owns.
    Pointer Retain(Owner owner) {
        Pointer raw = owner.get();
        if (raw == nullptr) {
            return nullptr;
        }
        Storage& storage = Created();
        std::lock_guard<std::mutex> lock(storage.mutex);
        storage.entries.push_back(std::move(owner));
        return raw;
    }

    std::size_t Size() {
        Storage& storage = Created();
        std::lock_guard<std::mutex> lock(storage.mutex);
        return storage.entries.size();
    }

private:
    struct Storage {
        std::mutex mutex;
        std::vector<Owner> entries;
    };

    Storage& Created() {
        std::call_once(created_, [this] { storage_ = std::make_unique<Storage>(); });
        return *storage_;
    }

    std::once_flag created_;
    std::unique_ptr<Storage> storage_;
};

// A fingerprint of a record's content, built field by field (never from the bytes of a record, whose
// padding is undefined). Doubles count by their bits, so 0.0 and -0.0 are different answers.
class ContentHash {
public:
    void Add(std::int64_t value) { Mix(static_cast<std::uint64_t>(value)); }
    void Add(double value) { Mix(std::bit_cast<std::uint64_t>(value)); }
    void Add(std::string_view text) {
        Mix(text.size());
        std::size_t i = 0;
        for (; i + 8 <= text.size(); i += 8) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + i, 8);
            Mix(word);
        }
        if (i < text.size()) {
            std::uint64_t tail = 0;
            std::memcpy(&tail, text.data() + i, text.size() - i);
            Mix(tail);
        }
    }
    std::uint64_t Value() const { return value_; }

private:
    void Mix(std::uint64_t word) {
        value_ = std::rotl(value_ ^ (word * 0x9E3779B97F4A7C15ULL), 31) * 0xBF58476D1CE4E5B9ULL;
    }

    std::uint64_t value_ = 0x243F6A8885A308D3ULL;
};

// Kept records of one kind, filed by the fingerprint of their content. It owns nothing (the retention
// lists do) and only ever grows, by one entry per record kept. Two threads that bring the same new answer
// at once may both keep it; both records stay valid, and later look-ups find the first.
template <class Record>
class KeptRecordIndex {
public:
    // The kept record filed under `hash` for which `same(record)` holds, or null.
    template <class Same>
    Record* Find(std::uint64_t hash, Same same) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto [entry, end] = records_.equal_range(hash);
        for (; entry != end; ++entry) {
            if (same(*static_cast<const Record*>(entry->second))) return entry->second;
        }
        return nullptr;
    }

    void Add(std::uint64_t hash, Record* record) {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.emplace(hash, record);
    }

private:
    std::mutex mutex_;
    std::unordered_multimap<std::uint64_t, Record*> records_;
};

// All lists of the process; they live in the client state and are freed with it at unload.
struct RetentionLists {
    RetentionList<std::unique_ptr<char[]>> strings;
    RetentionList<std::unique_ptr<VeltariDeviceInfo>> deviceInfos;
    RetentionList<std::unique_ptr<VeltariChannel[]>> channelArrays;
    RetentionList<std::unique_ptr<VeltariChannelDevice[]>> channelDeviceArrays;
    RetentionList<std::unique_ptr<VeltariLedPositions>> ledPositions;
    RetentionList<std::unique_ptr<VeltariLedPosition[]>> ledPositionArrays;

    KeptRecordIndex<VeltariDeviceInfo> deviceInfoIndex;
    KeptRecordIndex<VeltariLedPositions> ledPositionsIndex;
};

// Retain, one per list, chosen by the kind of owner. Each returns the pointer it now keeps until unload.
char* Retain(std::unique_ptr<char[]> text);
VeltariDeviceInfo* Retain(std::unique_ptr<VeltariDeviceInfo> info);
VeltariChannel* Retain(std::unique_ptr<VeltariChannel[]> channels);
VeltariChannelDevice* Retain(std::unique_ptr<VeltariChannelDevice[]> devices);
VeltariLedPositions* Retain(std::unique_ptr<VeltariLedPositions> positions);
VeltariLedPosition* Retain(std::unique_ptr<VeltariLedPosition[]> positions);

// A NUL-terminated copy of `text` (its bytes, then one NUL), kept in the string list.
const char* RetainString(std::string_view text);

}  // namespace sdk
