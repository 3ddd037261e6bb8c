#include "api/led_color_set.h"

#include <algorithm>
#include <utility>

#include "api/request_text.h"

namespace sdk {

void LedColorSet::Put(const VeltariLedColor& color) {
    const auto id = static_cast<std::size_t>(color.ledId);
    slots_[id] = color;
    // The ids have passed ValidateLedColors, so the unchecked access is safe and spares a test per LED.
    if (!present_[id]) {
        present_[id] = true;
        if (!ids_.empty() && ids_.back() > id) sorted_ = false;
        ids_.push_back(static_cast<std::uint16_t>(id));
    }
}

void LedColorSet::Store(int count, const VeltariLedColor* colors) {
    if (ids_.capacity() == 0) ids_.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) Put(colors[i]);
}

void LedColorSet::Merge(const LedColorSet& other) {
    for (const std::uint16_t id : other.ids_) Put(other.slots_[id]);
}

void LedColorSet::Clear() {
    // Resetting only the ids in use keeps clearing as cheap as the set is small.
    for (const std::uint16_t id : ids_) present_[id] = false;
    ids_.clear();
    sorted_ = true;
}

void LedColorSet::SortIds() {
    if (!sorted_) {
        std::sort(ids_.begin(), ids_.end());
        sorted_ = true;
    }
}

void LedColorSet::SortedColors(std::vector<VeltariLedColor>& out) {
    SortIds();
    out.clear();
    out.reserve(ids_.size());
    for (const std::uint16_t id : ids_) out.push_back(slots_[id]);
}

void LedColorSet::AppendText(std::string& out) {
    SortIds();
    AppendLedColors(out, Size(), slots_.data(), ids_.data());
}

void StoreDeviceColors(DeviceLedColors& devices, int deviceIndex, int count, const VeltariLedColor* colors) {
    devices[deviceIndex].Store(count, colors);
}

void MergeDeviceColors(DeviceLedColors& into, DeviceLedColors& from) {
    if (into.empty()) {
        into.swap(from);
        return;
    }
    while (!from.empty()) {
        auto node = from.extract(from.begin());
        auto found = into.find(node.key());
        if (found == into.end()) {
            into.insert(std::move(node));
        } else {
            found->second.Merge(node.mapped());
        }
    }
}

void WriteFlushRequest(std::string& request, DeviceLedColors& devices) {
    // One buffer sized up front: a flush of full keyboards on several devices is tens of kilobytes.
    std::size_t colorCount = 0;
    for (const auto& entry : devices) colorCount += static_cast<std::size_t>(entry.second.Size());
    JsonWriter writer(request);
    writer.Reserve(96 + devices.size() * 48 + colorCount * 16);
    BeginRequestParams(writer, kMethodSetLedsColorsFlushBuffer);
    writer.Name("ledsColorsByDeviceIndex");
    if (devices.empty()) {
        writer.Null();  // the array only comes with its first device
    } else {
        writer.BeginArray();
        for (auto& [deviceIndex, colors] : devices) {
            writer.BeginObject();
            writer.Name("deviceIndex");
            writer.Number(deviceIndex);
            writer.Name("ledColors");
            colors.AppendText(writer.BeginString());
            writer.EndString();
            writer.EndObject();
        }
        writer.EndArray();
    }
    EndRequestParams(writer);
}

}  // namespace sdk
