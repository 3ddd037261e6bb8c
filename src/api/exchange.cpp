#include "api/exchange.h"

#include <utility>

#include "transport/frame_channel.h"

namespace sdk {

Exchange::Exchange() : state_(State()), lock_(state_.connectionMutex) {}

Exchange::~Exchange() {
    ClientState::ExchangeMemory& memory = state_.exchangeMemory;
    if (memory.request.capacity() > memory.kKeptBytes) std::string().swap(memory.request);
    if (memory.answer.capacity() > memory.kKeptBytes) std::string().swap(memory.answer);
}

bool Exchange::Gate() {
    return state_.connection != nullptr && !state_.connection->IsBroken();
}

std::string& Exchange::NewRequest() {
    state_.exchangeMemory.request.clear();
    return state_.exchangeMemory.request;
}

std::string_view Exchange::Call(std::string_view request) {
    std::string& answer = state_.exchangeMemory.answer;
    answer.clear();
    // The text and its NUL must fit one frame.
    tooLarge_ = request.size() >= kMaxFramePayload;
    if (state_.connection == nullptr || tooLarge_ || !state_.connection->Call(request, answer)) {
        return {};
    }
    return answer;
}

std::optional<Response> Exchange::Send(std::string_view request) {
    const std::string_view answer = Call(request);
    if (answer.empty()) {
        StoreLastError(Failure());
        return std::nullopt;
    }
    return std::optional<Response>(std::in_place, &state_.exchangeMemory.answerDocument.Parse(answer));
}

std::optional<Response> Exchange::SendRequest(std::string_view method) {
    std::string& request = NewRequest();
    WriteRequest(request, method);
    return Send(request);
}

std::optional<Response> Exchange::SendRequest(std::string_view method,
                                              std::initializer_list<RequestParam> params) {
    std::string& request = NewRequest();
    WriteRequest(request, method, params);
    return Send(request);
}

Response::Response(std::string_view text) : owned_(Json::Parse(text)), root_(&owned_) {}

Response::Response(Response&& other) noexcept
    : owned_(std::move(other.owned_)), root_(other.root_ == &other.owned_ ? &owned_ : other.root_) {}

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
