#include "transport/bootstrap.h"

#include <cstdint>

#include "transport/frame_channel.h"
#include "transport/rpc_connection.h"

namespace sdk {
namespace {

constexpr wchar_t kRendezvousDirectory[] = L"\\\\.\\pipe\\VeltariLumaneth\\";
constexpr char kRendezvousGuid[] = "{7C1D5E90-3B62-4F8A-9E07-2D4B6A81C3F5}";
constexpr int kOpenTimeoutMs = 2000;
constexpr int kRendezvousTimeoutMs = 5000;

// One UTF-16 unit per byte, with the byte's sign: 0x80 to 0xFF become 0xFF80 to 0xFFFF.
wchar_t WidenByte(std::uint8_t byte) {
    const auto unit = static_cast<std::uint16_t>(static_cast<std::int16_t>(static_cast<std::int8_t>(byte)));
    return static_cast<wchar_t>(unit);
}

}  // namespace

std::wstring ServerPipeBaseName() {
    std::wstring name = kRendezvousDirectory;
    for (char c : std::string_view(kRendezvousGuid)) {
        name += WidenByte(static_cast<std::uint8_t>(c));
    }
    return name;
}

std::wstring RequestPipeName(const std::string& identity) {
    const std::wstring base = ServerPipeBaseName();
    const auto toServer = OpenFrameChannel(base + L"_in", PipeEnd::kWrite, kOpenTimeoutMs);
    if (!toServer) {
        return {};
    }
    const auto fromServer = OpenFrameChannel(base + L"_out", PipeEnd::kRead, kOpenTimeoutMs);
    if (!fromServer) {
        return {};
    }
    // The write's result is not needed: a server that did not get the identity does not answer, and the
    // read decides.
    toServer->WriteText(identity, kRendezvousTimeoutMs);
    Bytes reply;
    fromServer->Read(reply, kRendezvousTimeoutMs);
    if (reply.empty()) {
        return {};
    }
    std::wstring name;
    name.reserve(reply.size() - 1);
    for (std::size_t i = 0; i + 1 < reply.size(); ++i) {
        name += WidenByte(reply[i]);
    }
    return name;
}

std::unique_ptr<IRpcConnection> CreateRpcConnection(const std::string& identity) {
    const std::wstring name = RequestPipeName(identity);
    if (name.empty()) {
        return nullptr;
    }
    // All three are tried whatever the earlier ones gave, in this order.
    auto responses = OpenFrameChannel(name + L"_out", PipeEnd::kRead, kOpenTimeoutMs);
    auto requests = OpenFrameChannel(name + L"_in", PipeEnd::kWrite, kOpenTimeoutMs);
    auto notifications = OpenFrameChannel(name + L"_callback", PipeEnd::kRead, kOpenTimeoutMs);
    if (!responses || !requests || !notifications) {
        return nullptr;
    }
    return std::make_unique<RpcConnection>(std::move(responses), std::move(requests),
                                           std::move(notifications));
}

}  // namespace sdk
