// The edge between the library and the application's C code, which no exception may cross: unwinding
// through frames compiled as C is undefined, and the caller has no way to catch it anyway.
#pragma once

#include <type_traits>

#include "api/last_error.h"
#include "veltari.h"

namespace sdk {

// Runs the body of an exported function. Whatever escapes it (memory or threads could not be had for
// the call) ends the call with `failure` and VeltariErrorServerUnreachable: the request was not carried
// out, and the caller may try again. Locks held by the body are released by the unwinding.
template <class Body, class Result = std::invoke_result_t<Body&>>
Result Guarded(std::type_identity_t<Result> failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return Fail(VeltariErrorServerUnreachable, failure);
    }
}

}  // namespace sdk
