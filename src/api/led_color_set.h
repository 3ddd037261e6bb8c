// Colours keyed by LED id, as the colour buffer and the asynchronous queues keep them: a later colour for
// an LED replaces the earlier one, and the colours are written out in ascending LED id order.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "api/led_color_list.h"
#include "veltari.h"

namespace sdk {

// One slot per possible LED id, so storing a whole list costs no allocation per LED: only the list of
// ids in use grows, and it keeps its capacity when cleared. Ids must have passed ValidateLedColors.
class LedColorSet {
public:
    LedColorSet() = default;
    LedColorSet(const LedColorSet&) = delete;
    LedColorSet& operator=(const LedColorSet&) = delete;

    // Stores every record under its ledId, replacing what was stored for that LED.
    void Store(int count, const VeltariLedColor* colors);
    // Stores every colour of `other`, replacing what was stored for the same LEDs.
    void Merge(const LedColorSet& other);
    void Clear();

    bool Empty() const { return ids_.empty(); }
    int Size() const { return static_cast<int>(ids_.size()); }

    // Replaces `out` with the colours in ascending LED id order.
    void SortedColors(std::vector<VeltariLedColor>& out);
    // Appends the colour list text of the colours in ascending LED id order.
    void AppendText(std::string& out);

private:
    void Put(const VeltariLedColor& color);
    void SortIds();

    std::array<VeltariLedColor, kMaxLedId + 1> slots_;
    // A flag per id rather than a bit: storing a list of neighbouring ids then never waits on the word
    // that the previous id has just changed.
    std::array<bool, kMaxLedId + 1> present_{};
    std::vector<std::uint16_t> ids_;
    bool sorted_ = true;
};

// Colours of several devices, by ascending device index. A device is present only with a colour.
using DeviceLedColors = std::map<int, LedColorSet>;

// Stores `count` colours for one device of `devices`, adding the device when it has none.
void StoreDeviceColors(DeviceLedColors& devices, int deviceIndex, int count, const VeltariLedColor* colors);
// Moves every colour of `from` into `into`; a colour of `from` replaces one of `into` for the same
// device and LED. Leaves `from` empty.
void MergeDeviceColors(DeviceLedColors& into, DeviceLedColors& from);

// Appends the flush request for the given devices to out: "ledsColorsByDeviceIndex" holds one
// {"deviceIndex", "ledColors"} object per device, or null when there is none.
void WriteFlushRequest(std::string& out, DeviceLedColors& devices);

}  // namespace sdk
