#include "api/last_error.h"

namespace sdk {

namespace {
thread_local int t_lastError = 0;
}  // namespace

void StoreLastError(int code) noexcept { t_lastError = code; }

int LoadLastError() noexcept { return t_lastError; }

}  // namespace sdk
