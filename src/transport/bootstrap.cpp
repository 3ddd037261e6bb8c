#include "transport/bootstrap.h"

#include <cstdint>

#include "transport/binary_io.h"
#include "transport/rpc_connection.h"
#include "transport/stream.h"

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
    StreamPtr toServer = OpenPipeOutputStream(base + L"_in", kOpenTimeoutMs);
    if (!toServer) {
        return {};
    }
    StreamPtr fromServer = OpenPipeInputStream(base + L"_out", kOpenTimeoutMs);
    if (!fromServer) {
        return {};
    }
    auto writer = std::make_shared<BinaryWriter>(std::move(toServer));
    auto reader = std::make_shared<BinaryReader>(std::move(fromServer));

    // The write's result is not needed: a server that did not get the identity does not answer, and the
    // read decides.
    writer->Write(TextMessage(identity), kRendezvousTimeoutMs);
    Bytes reply;
    reader->Read(reply, kRendezvousTimeoutMs);
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
    StreamPtr responses = OpenPipeInputStream(name + L"_out", kOpenTimeoutMs);
    StreamPtr requests = OpenPipeOutputStream(name + L"_in", kOpenTimeoutMs);
    StreamPtr notifications = OpenPipeInputStream(name + L"_callback", kOpenTimeoutMs);
    if (!responses || !requests || !notifications) {
        return nullptr;
    }
    auto notificationReader = std::make_shared<BinaryReader>(std::move(notifications));
    auto requestWriter = std::make_shared<BinaryWriter>(std::move(requests));
    auto responseReader = std::make_shared<BinaryReader>(std::move(responses));
    return std::make_unique<RpcConnection>(std::move(responseReader), std::move(requestWriter),
                                           std::move(notificationReader));
}

}  // namespace sdk
