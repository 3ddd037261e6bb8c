#include "pipe_test_util.h"

#include <atomic>

#include "support/pipe_runtime.h"
#include "transport/frame_channel.h"

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
    link.client = clientReads ? OpenFrameChannel(name, PipeEnd::kRead, 2000)
                              : OpenFrameChannel(name, PipeEnd::kWrite, 2000);
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

PipeLink OpenInputLink() {
    return OpenLink(true);
}

PipeLink OpenOutputLink() {
    return OpenLink(false);
}

ConnectionLinks OpenConnectionLinks() {
    ConnectionLinks links;
    links.responses = OpenInputLink();
    links.requests = OpenOutputLink();
    links.notifications = OpenInputLink();
    if (links.responses.server && links.requests.server && links.notifications.server) {
        links.connection = std::make_unique<RpcConnection>(std::move(links.responses.client),
                                                           std::move(links.requests.client),
                                                           std::move(links.notifications.client));
    }
    return links;
}

}  // namespace sdk::test
