// The few facts about the running process that the client needs from the operating system.
#pragma once

#include <cstdint>

namespace sdk {

std::uint32_t CurrentProcessId();

}  // namespace sdk
