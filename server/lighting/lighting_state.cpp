#include "lighting/lighting_state.h"

namespace sdk {

LightingState::Layer& LightingState::LayerOf(ClientId client) {
    auto it = layers_.find(client);
    if (it == layers_.end()) {
        it = layers_.emplace(client, Layer{}).first;
        it->second.priority = Priority(client);
    }
    return it->second;
}

std::optional<ClientId> LightingState::VisibleOwner(int ledId) const {
    if (!InRange(ledId)) return std::nullopt;
    const auto index = static_cast<std::size_t>(ledId);
    if (controlHolder_) {
        const auto it = layers_.find(*controlHolder_);
        if (it != layers_.end() && it->second.cells[index].order != 0) return it->first;
        return std::nullopt;
    }
    std::optional<ClientId> best;
    int bestPriority = -1;
    std::uint64_t bestOrder = 0;
    for (const auto& [client, layer] : layers_) {
        const Cell& cell = layer.cells[index];
        if (cell.order == 0) continue;
        if (layer.priority > bestPriority || (layer.priority == bestPriority && cell.order > bestOrder)) {
            best = client;
            bestPriority = layer.priority;
            bestOrder = cell.order;
        }
    }
    return best;
}

Rgb LightingState::Visible(int ledId) const {
    const auto owner = VisibleOwner(ledId);
    if (!owner) return Rgb{};
    return layers_.at(*owner).cells[static_cast<std::size_t>(ledId)].colour;
}

void LightingState::SetColour(ClientId client, int ledId, Rgb colour) {
    if (!InRange(ledId)) return;
    Cell& cell = LayerOf(client).cells[static_cast<std::size_t>(ledId)];
    cell.colour = colour;
    cell.order = nextOrder_++;
    ++changes_;
}

std::optional<Rgb> LightingState::LayerColour(ClientId client, int ledId) const {
    if (!InRange(ledId)) return std::nullopt;
    const auto it = layers_.find(client);
    if (it == layers_.end()) return std::nullopt;
    const Cell& cell = it->second.cells[static_cast<std::size_t>(ledId)];
    if (cell.order == 0) return std::nullopt;
    return cell.colour;
}

void LightingState::SetPriority(ClientId client, int priority) {
    priorities_[client] = priority;
    const auto it = layers_.find(client);
    if (it != layers_.end()) it->second.priority = priority;
    ++changes_;
}

int LightingState::Priority(ClientId client) const {
    const auto it = priorities_.find(client);
    return it == priorities_.end() ? kDefaultLayerPriority : it->second;
}

bool LightingState::RequestControl(ClientId client) {
    if (controlHolder_ && *controlHolder_ != client) return false;
    controlHolder_ = client;
    ++changes_;
    return true;
}

void LightingState::ReleaseControl(ClientId client) {
    if (controlHolder_ == client) controlHolder_.reset();
    layers_.erase(client);
    ++changes_;
}

void LightingState::RemoveClient(ClientId client) {
    ReleaseControl(client);
    priorities_.erase(client);
}

}  // namespace sdk
