// The colour buffer with its flushes, and the asynchronous set: the calls that let an application send
// less and wait less than one synchronous set per change.
#include <string>
#include <utility>

#include "api/boundary.h"
#include "api/exchange.h"
#include "api/led_color_list.h"
#include "veltari.h"

using namespace sdk;

namespace {

bool ValidColorList(int size, const VeltariLedColor* ledsColors) {
    return size > 0 && ValidateLedColors(size, ledsColors, kCheckAll);
}

}  // namespace

bool VeltariSetLedsColorsBufferByDeviceIndex(int deviceIndex, int size, const VeltariLedColor* ledsColors) {
    return Guarded(false, [&]() -> bool {
        if (!HandshakeDone()) {
            return Fail(VeltariErrorNoHandshake, false);
        }
        if (ServerProtocolVersion() < kBufferMinProtocol) {
            return Fail(VeltariErrorServerProtocolTooOld, false);
        }
        if (deviceIndex < 0 || !ValidColorList(size, ledsColors)) {
            return Fail(VeltariErrorBadArgument, false);
        }
        {
            // Nothing is sent, but buffering for a server that is gone would only pile up colours.
            Exchange exchange;
            if (!exchange.Gate()) {
                return Fail(VeltariErrorServerUnreachable, false);
            }
        }
        State().colors.buffer.Store(deviceIndex, size, ledsColors);
        // Success leaves the last error as the thread's previous call left it.
        return true;
    });
}

bool VeltariSetLedsColorsFlushBuffer(void) {
    return Guarded(false, [&]() -> bool {
        if (!HandshakeDone()) {
            return Fail(VeltariErrorNoHandshake, false);
        }
        if (ServerProtocolVersion() < kBufferMinProtocol) {
            return Fail(VeltariErrorServerProtocolTooOld, false);
        }
        Exchange exchange;
        if (!exchange.Gate()) {
            return Fail(VeltariErrorServerUnreachable, false);
        }
        // Taken out whole; colours of a failed exchange are not put back.
        ColorBuffer& buffer = State().colors.buffer;
        DeviceLedColors taken = buffer.TakeAll();
        std::string& request = exchange.NewRequest();
        WriteFlushRequest(request, taken);
        buffer.Recycle(std::move(taken));
        const auto answer = exchange.Send(request);
        if (!answer) {
            return false;
        }
        return ReadErrorCodeAndResult(*answer).AsBool();
    });
}

bool VeltariSetLedsColorsAsync(int size, const VeltariLedColor* ledsColors, VeltariAsyncCallback callback,
                               void* context) {
    return Guarded(false, [&]() -> bool {
        if (!HandshakeDone()) {
            return Fail(VeltariErrorNoHandshake, false);
        }
        if (!ValidColorList(size, ledsColors)) {
            return Fail(VeltariErrorBadArgument, false);
        }
        // A worker that cannot start throws out of here: the call fails with 1 and nothing is queued.
        if (!State().colors.setQueue.Queue(size, ledsColors, AsyncCallbackEntry{callback, context})) {
            return Fail(VeltariErrorServerUnreachable, false);  // unload has begun
        }
        return Fail(VeltariErrorSuccess, true);
    });
}

bool VeltariSetLedsColorsFlushBufferAsync(VeltariAsyncCallback callback, void* context) {
    return Guarded(false, [&]() -> bool {
        if (!HandshakeDone()) {
            return Fail(VeltariErrorNoHandshake, false);
        }
        if (ServerProtocolVersion() < kBufferMinProtocol) {
            return Fail(VeltariErrorServerProtocolTooOld, false);
        }
        ColorState& colors = State().colors;
        // The worker first: a call that fails for want of a thread leaves the buffer as it was.
        if (!colors.flushQueue.StartWorker()) {
            return Fail(VeltariErrorServerUnreachable, false);  // unload has begun
        }
        // The buffer mutex is released before the queue's is taken.
        DeviceLedColors taken = colors.buffer.TakeAll();
        if (!colors.flushQueue.Queue(taken, AsyncCallbackEntry{callback, context})) {
            return Fail(VeltariErrorServerUnreachable, false);
        }
        return Fail(VeltariErrorSuccess, true);
    });
}
