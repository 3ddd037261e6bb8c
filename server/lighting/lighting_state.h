// Who draws what: every client paints on a layer of its own, and the visible colour of an LED is decided
// between the layers. Not synchronised; the server holds its lock around every use.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "lighting/device_catalog.h"

namespace sdk {

using ClientId = std::uint64_t;

struct Rgb {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
    bool operator==(const Rgb&) const = default;
};

constexpr int kMinLayerPriority = 0;
constexpr int kMaxLayerPriority = 255;
constexpr int kDefaultLayerPriority = 0;

class LightingState {
public:
    // The visible colour of an LED: the control holder's colour while a client holds control (LEDs it has
    // not set stay dark), otherwise the colour of the highest-priority layer that set the LED, the most
    // recent setting winning between equal priorities; dark when no layer set it.
    Rgb Visible(int ledId) const;
    // The client whose colour Visible shows, if any.
    std::optional<ClientId> VisibleOwner(int ledId) const;

    // The LED id must lie in 1 to 911; the caller has checked it against the devices.
    void SetColour(ClientId client, int ledId, Rgb colour);
    // The client's colour of an LED on its own layer, whether visible or not.
    std::optional<Rgb> LayerColour(ClientId client, int ledId) const;

    void SetPriority(ClientId client, int priority);
    int Priority(ClientId client) const;

    // False, changing nothing, while another client holds control.
    bool RequestControl(ClientId client);
    // Gives back control if held and removes the client's layer.
    void ReleaseControl(ClientId client);
    std::optional<ClientId> ControlHolder() const { return controlHolder_; }

    // Everything of the client goes: layer, priority and control.
    void RemoveClient(ClientId client);

    // Counts every change that may alter what is visible; lets observers redraw only when needed.
    std::uint64_t ChangeCount() const { return changes_; }

private:
    struct Cell {
        Rgb colour;
        // 0 while unset; otherwise the order of the setting across all layers.
        std::uint64_t order = 0;
    };
    struct Layer {
        int priority = kDefaultLayerPriority;
        std::vector<Cell> cells = std::vector<Cell>(kMaxLedId + 1);
    };

    static bool InRange(int ledId) { return ledId >= kMinLedId && ledId <= kMaxLedId; }
    Layer& LayerOf(ClientId client);

    std::map<ClientId, Layer> layers_;
    std::map<ClientId, int> priorities_;
    std::optional<ClientId> controlHolder_;
    std::uint64_t nextOrder_ = 1;
    std::uint64_t changes_ = 0;
};

}  // namespace sdk
