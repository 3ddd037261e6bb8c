#include "api/color_state.h"

#include <utility>

#include "api/client_state.h"
#include "api/protocol.h"

namespace sdk {

void ColorBuffer::Store(int deviceIndex, int count, const VeltariLedColor* colors) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!spare_.empty() && !devices_.contains(deviceIndex)) {
        auto spare = spare_.find(deviceIndex);
        auto node = spare_.extract(spare != spare_.end() ? spare : spare_.begin());
        node.key() = deviceIndex;
        devices_.insert(std::move(node));
    }
    StoreDeviceColors(devices_, deviceIndex, count, colors);
}

void ColorBuffer::Recycle(DeviceLedColors&& used) {
    for (auto& entry : used) entry.second.Clear();
    std::lock_guard<std::mutex> lock(mutex_);
    // Sets for devices that already have a spare stay in `used` and are freed with it.
    if (spare_.size() + used.size() <= kMostSpareSets) spare_.merge(used);
}

DeviceLedColors ColorBuffer::TakeAll() {
    DeviceLedColors taken;
    std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(devices_);
    return taken;
}

bool SetColorsQueue::Queue(int count, const VeltariLedColor* colors, AsyncCallbackEntry entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!PrepareCallLocked()) return false;
    pending_->Store(count, colors);
    AppendCallbackLocked(entry);
    return true;
}

void SetColorsQueue::TakePendingLocked() noexcept {
    pending_.swap(taken_);
}

void SetColorsQueue::WriteTakenRequest(std::string& out) {
    struct Forget {
        LedColorSet& set;
        ~Forget() { set.Clear(); }
    } forget{*taken_};
    taken_->SortedColors(sorted_);
    WriteLedColorsRequest(out, kMethodSetLedsColors, static_cast<int>(sorted_.size()), sorted_.data());
}

bool FlushColorsQueue::Queue(DeviceLedColors& devices, AsyncCallbackEntry entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!PrepareCallLocked()) return false;
    MergeDeviceColors(pending_, devices);
    AppendCallbackLocked(entry);
    return true;
}

void FlushColorsQueue::TakePendingLocked() noexcept {
    taken_.swap(pending_);
}

void FlushColorsQueue::WriteTakenRequest(std::string& out) {
    DeviceLedColors taken;
    taken.swap(taken_);
    WriteFlushRequest(out, taken);
    if (recycleInto_ != nullptr) recycleInto_->Recycle(std::move(taken));
}

ColorState::ColorState()
    : setQueue([this] { StopWorkersAtUnload(); }), flushQueue([this] { StopWorkersAtUnload(); }) {
    flushQueue.RecycleInto(buffer);
}

ColorState::~ColorState() {
    StopWorkers();
}

void ColorState::StopWorkersAtUnload() {
    std::call_once(stopRegistered_, [this] { AtUnloadStopWorker([this] { StopWorkers(); }); });
}

void ColorState::StopWorkers() {
    // Both close before either is joined: a callback still running on one worker must not start the
    // other one behind the stop.
    setQueue.Close();
    flushQueue.Close();
    setQueue.Join();
    flushQueue.Join();
}

}  // namespace sdk
