#include <stdlib.h>

#include <filesystem>
#include <system_error>

#include "support/pipe_runtime.h"

namespace sdk::test {
namespace {

class PrivateRuntime {
public:
    PrivateRuntime() {
        char pattern[] = "/tmp/veltari-test-XXXXXX";
        if (::mkdtemp(pattern) != nullptr) {
            directory_ = pattern;
            ::setenv("XDG_RUNTIME_DIR", directory_.c_str(), 1);
        }
    }
    ~PrivateRuntime() {
        if (!directory_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(directory_, ignored);
        }
    }
    const std::string& Directory() const { return directory_; }

private:
    std::string directory_;
};

// Before main, while the process still has one thread: setenv must not race with getenv.
[[maybe_unused]] const std::string& early = UsePrivatePipeRuntime();

}  // namespace

const std::string& UsePrivatePipeRuntime() {
    static const PrivateRuntime runtime;
    return runtime.Directory();
}

}  // namespace sdk::test
