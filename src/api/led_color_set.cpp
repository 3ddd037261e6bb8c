#include "api/led_color_set.h"

#include <algorithm>
#include <utility>

#include "api/exchange.h"
#include "json/json.h"

namespace sdk {

void LedColorSet::Put(const VeltariLedColor& color) {
    const auto id = static_cast<std::size_t>(color.ledId);
    slots_[id] = color;
    if (!present_.test(id)) {
        present_.set(id);
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
    for (const std::uint16_t id : ids_) present_.reset(id);
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

std::string LedColorSet::Text() {
    SortIds();
    std::string text;
    text.reserve(ids_.size() * 16);
    for (const std::uint16_t id : ids_) {
        if (!text.empty()) text.push_back('#');
        AppendLedColors(text, 1, &slots_[id]);
    }
    return text;
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

std::string BuildFlushRequest(DeviceLedColors& devices) {
    Json list;  // stays null when there is no device
    for (auto& [deviceIndex, colors] : devices) {
        Json device;
        device["deviceIndex"] = Json(deviceIndex);
        device["ledColors"] = Json(colors.Text());
        list.Append(std::move(device));
    }
    Json params;
    params["ledsColorsByDeviceIndex"] = std::move(list);
    return BuildRequest(kMethodSetLedsColorsFlushBuffer, std::move(params));
}

}  // namespace sdk
