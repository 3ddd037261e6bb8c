#include "pipe_test_util.h"

#include <atomic>

#include "support/pipe_runtime.h"
#include "transport/binary_io.h"

namespace sdk::test {
namespace {

PipeLink OpenLink(bool clientReads) {
    UsePrivatePipeRuntime();
    PipeLink link;
    const std::wstring name = UniquePipeName(clientReads ? L"in" : L"out");
    link.listener = ListenOnPipe(name);
    if (!link.listener) {
        return link;
    }
    link.client = clientReads ? OpenPipeInputStream(name, 2000) : OpenPipeOutputStream(name, 2000);
    if (link.client) {
        link.server = link.listener->Accept(5000);
    }
    return link;
}

}  // namespace

std::wstring UniquePipeName(const std::wstring& tag) {
    static std::atomic<int> counter{0};
    return L"\\\\.\\pipe\\veltari-test\\" + tag + L"-" + std::to_wstring(++counter);
}

PipeLink OpenInputLink() { return OpenLink(true); }

PipeLink OpenOutputLink() { return OpenLink(false); }

ConnectionLinks OpenConnectionLinks() {
    ConnectionLinks links;
    links.responses = OpenInputLink();
    links.requests = OpenOutputLink();
    links.notifications = OpenInputLink();
    if (links.responses.server && links.requests.server && links.notifications.server) {
        links.connection = std::make_unique<RpcConnection>(
            std::make_shared<BinaryReader>(std::move(links.responses.client)),
            std::make_shared<BinaryWriter>(std::move(links.requests.client)),
            std::make_shared<BinaryReader>(std::move(links.notifications.client)));
    }
    return links;
}

}  // namespace sdk::test
