// The calling thread's last error: one value per thread, written by the exported functions and read by
// VeltariGetLastError. Stored as a plain int because servers may report codes the enumeration lacks.
#pragma once

namespace sdk {

void StoreLastError(int code) noexcept;
int LoadLastError() noexcept;

// Stores `code` and hands `result` back, so a failed test reads as one line:
//     if (deviceIndex < 0) return Fail(VeltariErrorBadArgument, nullptr);
template <class T>
T Fail(int code, T result) noexcept {
    StoreLastError(code);
    return result;
}

}  // namespace sdk
