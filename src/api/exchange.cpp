#include "api/exchange.h"

#include <utility>

#include "transport/frame_channel.h"

namespace sdk {

Exchange::Exchange() : state_(State()), lock_(state_.connectionMutex) {}

bool Exchange::Gate() {
    return state_.connection != nullptr && !state_.connection->IsBroken();
}

std::string Exchange::Call(std::string_view request) {
    // The text and its NUL must fit one frame.
    tooLarge_ = request.size() >= kMaxFramePayload;
    if (state_.connection == nullptr || tooLarge_) {
        return std::string();
    }
    return state_.connection->Call(request);
}

std::optional<Response> Exchange::Send(std::string_view request) {
    const std::string answer = Call(request);
    if (answer.empty()) {
        StoreLastError(Failure());
        return std::nullopt;
    }
    return std::optional<Response>(std::in_place, answer);
}

Response::Response(std::string_view text) : root_(Json::Parse(text)) {}

const Json& ReadResultOnly(const Response& response) {
    StoreLastError(VeltariErrorSuccess);
    return response.Result();
}

const Json& ReadErrorCodeAndResult(const Response& response) {
    StoreLastError(response.ErrorCode());
    return response.Result();
}

bool ReadErrorCodeDecides(const Response& response) {
    const int code = response.ErrorCode();
    StoreLastError(code);
    return code == 0;
}

const Json* ReadResultIfPresent(const Response& response) {
    StoreLastError(response.ErrorCode());
    return response.HasResult() ? &response.Result() : nullptr;
}

}  // namespace sdk
