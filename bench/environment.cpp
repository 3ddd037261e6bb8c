#include "environment.h"

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "veltari.h"

namespace sdk::bench {
namespace {

class PrivateDirectory {
public:
    PrivateDirectory() {
        char pattern[] = "/tmp/veltari-bench-XXXXXX";
        if (::mkdtemp(pattern) != nullptr) {
            path_ = pattern;
            ::setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
        }
    }
    ~PrivateDirectory() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }

private:
    std::string path_;
};

}  // namespace

void UsePrivatePipeRuntime() {
    static PrivateDirectory directory;
}

FixedResponder* Responder() {
    static FixedResponder* responder = [] {
        auto* created = new FixedResponder();
        if (!created->Start()) {
            delete created;
            return static_cast<FixedResponder*>(nullptr);
        }
        return created;
    }();
    return responder;
}

namespace {
int handshakes = 0;
}  // namespace

bool LibraryConnected() {
    FixedResponder* responder = Responder();
    if (responder == nullptr) return false;
    VeltariGetDeviceCount();
    const VeltariError error = VeltariGetLastError();
    if (error != VeltariErrorNoHandshake && error != VeltariErrorServerUnreachable) return true;
    responder->SetResponse(R"({"serverVersion":"4.0.0","serverProtocolVersion":9})");
    ++handshakes;
    return VeltariPerformProtocolHandshake().serverProtocolVersion == 9;
}

int LibraryHandshakes() {
    return handshakes;
}

}  // namespace sdk::bench
