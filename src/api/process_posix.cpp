#include <unistd.h>

#include "api/process.h"

namespace sdk {

std::uint32_t CurrentProcessId() { return static_cast<std::uint32_t>(getpid()); }

}  // namespace sdk
