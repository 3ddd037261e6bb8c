#include "support/pipe_runtime.h"

namespace sdk::test {

// Windows pipe names are global to the machine; there is no per-process namespace to set up.
const std::string& UsePrivatePipeRuntime() {
    static const std::string none;
    return none;
}

}  // namespace sdk::test
