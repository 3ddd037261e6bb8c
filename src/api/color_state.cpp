#include "api/color_state.h"

#include <utility>

#include "api/client_state.h"
#include "api/methods.h"

namespace sdk {

void ColorBuffer::Store(int deviceIndex, int count, const VeltariLedColor* colors) {
    std::lock_guard<std::mutex> lock(mutex_);
    StoreDeviceColors(devices_, deviceIndex, count, colors);
}

DeviceLedColors ColorBuffer::TakeAll() {
    DeviceLedColors taken;
    std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(devices_);
    return taken;
}

void SetColorsQueue::Queue(int count, const VeltariLedColor* colors, AsyncCallbackEntry entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_->Store(count, colors);
    AppendCallbackLocked(entry);
}

void SetColorsQueue::TakePendingLocked() {
    pending_.swap(taken_);
}

std::string SetColorsQueue::BuildTakenRequest() {
    taken_->SortedColors(request_);
    taken_->Clear();
    return BuildLedColorsRequest(kMethodSetLedsColors, static_cast<int>(request_.size()), request_.data());
}

void FlushColorsQueue::Queue(DeviceLedColors& devices, AsyncCallbackEntry entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    MergeDeviceColors(pending_, devices);
    AppendCallbackLocked(entry);
}

void FlushColorsQueue::TakePendingLocked() {
    taken_.swap(pending_);
}

std::string FlushColorsQueue::BuildTakenRequest() {
    std::string request = BuildFlushRequest(taken_);
    taken_.clear();
    return request;
}

ColorState::ColorState()
    : setQueue([this] { StopWorkersAtUnload(); }), flushQueue([this] { StopWorkersAtUnload(); }) {}

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
