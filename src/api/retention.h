// Retention lists: process-wide, append-only owners of everything handed to callers by pointer. What a
// list holds stays valid and unchanged until the library is unloaded; nothing is looked up or freed
// earlier. There is one list per kind of allocation.
//
//     VeltariDeviceInfo* info = Retain(std::make_unique<VeltariDeviceInfo>());
//     info->model = RetainString(json.At("model").AsString());
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string_view>
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

// All lists of the process; they live in the client state and are freed with it at unload.
struct RetentionLists {
    RetentionList<std::unique_ptr<char[]>> strings;
    RetentionList<std::unique_ptr<VeltariDeviceInfo>> deviceInfos;
    RetentionList<std::unique_ptr<VeltariChannel[]>> channelArrays;
    RetentionList<std::unique_ptr<VeltariChannelDevice[]>> channelDeviceArrays;
    RetentionList<std::unique_ptr<VeltariLedPositions>> ledPositions;
    RetentionList<std::unique_ptr<VeltariLedPosition[]>> ledPositionArrays;
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
