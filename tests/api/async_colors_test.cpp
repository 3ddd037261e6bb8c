// Asynchronous sets and flushes over the scripted connection: what the workers send, when, and what
// their callbacks get. Passes are pinned by holding a worker inside a callback: whatever is queued
// meanwhile is taken together by the next pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "api_fixture.h"
#include "callback_recorder.h"

namespace sdk::testing {
namespace {

constexpr char kProtocol4[] = R"({"serverProtocolVersion":4,"serverVersion":"old"})";

std::string SetOf(const std::string& list) {
    return R"({"method":"VeltariSetLedsColors","params":{"ledsColors":")" + list + R"("}})";
}
std::string FlushOf(const std::string& devices) {
    return R"({"method":"VeltariSetLedsColorsFlushBuffer","params":{"ledsColorsByDeviceIndex":)" + devices +
           "}}";
}

class AsyncColors : public ApiTest {
protected:
    void Mark() { mark_ = server.Requests().size(); }
    std::vector<std::string> Sent() {
        std::vector<std::string> requests = server.Requests();
        return std::vector<std::string>(requests.begin() + static_cast<std::ptrdiff_t>(mark_),
                                        requests.end());
    }

    bool SetAsync(std::vector<VeltariLedColor> colors, void* context) {
        return VeltariSetLedsColorsAsync(static_cast<int>(colors.size()), colors.data(),
                                         context ? CompletionRecorder::Callback : nullptr, context);
    }
    bool FlushAsync(void* context) {
        return VeltariSetLedsColorsFlushBufferAsync(context ? CompletionRecorder::Callback : nullptr,
                                                    context);
    }
    static bool Buffer(int device, std::vector<VeltariLedColor> colors) {
        return VeltariSetLedsColorsBufferByDeviceIndex(device, static_cast<int>(colors.size()),
                                                       colors.data());
    }

    // A context whose callback holds its worker until `release` is set.
    void* Holding(int tag) {
        return recorder.NewContext(tag, [this] {
            held.Set();
            release.Wait();
        });
    }

    CompletionRecorder recorder;
    Signal held;
    Signal release;

private:
    std::size_t mark_ = 0;
};

TEST_F(AsyncColors, RefusedCallsQueueNothingAndNeverCallBack) {
    const VeltariLedColor one[] = {{1, 2, 3, 4}};
    EXPECT_FALSE(VeltariSetLedsColorsAsync(1, one, CompletionRecorder::Callback, recorder.NewContext(1)));
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);
    EXPECT_FALSE(FlushAsync(recorder.NewContext(2)));
    EXPECT_EQ(LastError(), VeltariErrorNoHandshake);

    HandshakeAnswered();
    EXPECT_FALSE(SetAsync({}, recorder.NewContext(3)));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_FALSE(VeltariSetLedsColorsAsync(2, nullptr, CompletionRecorder::Callback, recorder.NewContext(4)))
        << "a null list is refused unread";
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_FALSE(SetAsync({{1, 0, 0, 0}, {1, 0, 0, 0}}, recorder.NewContext(5)));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);
    EXPECT_FALSE(SetAsync({{1, 0, -1, 0}}, recorder.NewContext(6)));
    EXPECT_EQ(LastError(), VeltariErrorBadArgument);

    Mark();
    EXPECT_TRUE(SetAsync({{9, 9, 9, 9}}, recorder.NewContext(7)));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    ASSERT_TRUE(recorder.WaitFor(1));
    EXPECT_EQ(recorder.Tags(), std::vector<int>{7}) << "the pass that carried call 7 called nothing else";
    EXPECT_EQ(Sent(), std::vector<std::string>{SetOf("9,9,9,9")});
}

TEST_F(AsyncColors, CallsOfOnePassShareOneRequestTheLaterColourAndTheOutcome) {
    HandshakeAnswered();
    ASSERT_TRUE(SetAsync({{1, 1, 1, 1}}, Holding(0)));
    ASSERT_TRUE(held.Wait());
    Mark();
    server.Queue(R"({"result":false,"errorCode":7})");
    ASSERT_TRUE(SetAsync({{5, 255, 0, 0}}, recorder.NewContext(1)));
    ASSERT_TRUE(SetAsync({{5, 0, 0, 255}, {3, 0, 3, 0}}, recorder.NewContext(2)));
    ASSERT_TRUE(SetAsync({{4, 4, 4, 4}}, nullptr)) << "a null callback is accepted";
    release.Set();

    ASSERT_TRUE(recorder.WaitFor(3));
    EXPECT_EQ(Sent(), std::vector<std::string>{SetOf("3,0,3,0#4,4,4,4#5,0,0,255")})
        << "one request, LEDs in ascending id, the later colour of LED 5, nothing of the earlier pass";
    const auto completions = recorder.Completions();
    ASSERT_EQ(recorder.Tags(), (std::vector<int>{0, 1, 2}));
    for (int i = 1; i <= 2; ++i) {
        EXPECT_FALSE(completions[i].success);
        EXPECT_EQ(completions[i].error, 7);
        EXPECT_EQ(completions[i].lastErrorInside, 7) << "the worker stores the outcome before calling back";
        EXPECT_EQ(completions[i].thread, completions[0].thread);
        EXPECT_NE(completions[i].thread, std::this_thread::get_id());
    }
    EXPECT_EQ(LastError(), VeltariErrorSuccess) << "the caller's own last error is untouched";
}

TEST_F(AsyncColors, ServerGoneReachesTheCallbackAPassLaterOnAnotherThread) {
    HandshakeAnswered();
    server.BreakLatest();
    Mark();
    const auto queued = CompletionRecorder::Clock::now();
    EXPECT_TRUE(SetAsync({{2, 2, 2, 2}}, recorder.NewContext(1)));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    ASSERT_TRUE(recorder.WaitFor(1));
    const Completion gone = recorder.Completions()[0];
    EXPECT_FALSE(gone.success);
    EXPECT_EQ(gone.error, VeltariErrorServerUnreachable);
    EXPECT_EQ(gone.lastErrorInside, VeltariErrorServerUnreachable);
    EXPECT_NE(gone.thread, std::this_thread::get_id());
    EXPECT_GE(gone.at - queued, std::chrono::milliseconds(10)) << "a pass waits 10 ms";
    EXPECT_TRUE(Sent().empty());

    // The same worker sends over the connection of a later handshake.
    HandshakeAnswered();
    Mark();
    server.Queue(R"({"result":true})");
    EXPECT_TRUE(SetAsync({{3, 3, 3, 3}}, recorder.NewContext(2)));
    ASSERT_TRUE(recorder.WaitFor(2));
    const Completion back = recorder.Completions()[1];
    EXPECT_TRUE(back.success);
    EXPECT_EQ(back.error, VeltariErrorSuccess);
    EXPECT_EQ(back.thread, gone.thread);
    EXPECT_EQ(Sent(), std::vector<std::string>{SetOf("3,3,3,3")});
}

TEST_F(AsyncColors, EmptyAnswerIsUnreachableForEveryCallbackOfThePass) {
    HandshakeAnswered();
    ASSERT_TRUE(SetAsync({{1, 1, 1, 1}}, Holding(0)));
    ASSERT_TRUE(held.Wait());
    server.Queue("", /*breaks=*/true);
    ASSERT_TRUE(SetAsync({{2, 2, 2, 2}}, recorder.NewContext(1)));
    ASSERT_TRUE(SetAsync({{3, 3, 3, 3}}, recorder.NewContext(2)));
    release.Set();
    ASSERT_TRUE(recorder.WaitFor(3));
    for (const Completion& completion : recorder.Completions()) {
        if (completion.tag == 0) continue;
        EXPECT_FALSE(completion.success);
        EXPECT_EQ(completion.error, VeltariErrorServerUnreachable);
    }
}

TEST_F(AsyncColors, FlushesOfOnePassMergeTheirBuffersIntoOneRequest) {
    HandshakeAnswered();
    ASSERT_TRUE(Buffer(0, {{9, 9, 9, 9}}));
    ASSERT_TRUE(FlushAsync(Holding(0)));
    ASSERT_TRUE(held.Wait());
    Mark();
    server.Queue(R"({"result":true,"errorCode":3})");
    ASSERT_TRUE(Buffer(0, {{1, 1, 0, 0}}));
    ASSERT_TRUE(FlushAsync(recorder.NewContext(1)));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    ASSERT_TRUE(Buffer(0, {{2, 2, 0, 0}, {1, 1, 1, 1}}));
    ASSERT_TRUE(Buffer(4, {{0, 0, 0, 4}}));
    ASSERT_TRUE(FlushAsync(recorder.NewContext(2)));
    release.Set();

    ASSERT_TRUE(recorder.WaitFor(3));
    EXPECT_EQ(
        Sent(),
        std::vector<std::string>{FlushOf(
            R"([{"deviceIndex":0,"ledColors":"1,1,1,1#2,2,0,0"},{"deviceIndex":4,"ledColors":"0,0,0,4"}])")});
    const auto completions = recorder.Completions();
    ASSERT_EQ(recorder.Tags(), (std::vector<int>{0, 1, 2}));
    for (int i = 1; i <= 2; ++i) {
        EXPECT_TRUE(completions[i].success);
        EXPECT_EQ(completions[i].error, 3);
        EXPECT_EQ(completions[i].lastErrorInside, 3);
    }
}

TEST_F(AsyncColors, FlushOfAnEmptyBufferIsSentAndCalledBack) {
    HandshakeAnswered();
    Mark();
    EXPECT_TRUE(FlushAsync(recorder.NewContext(1)));
    ASSERT_TRUE(recorder.WaitFor(1));
    EXPECT_EQ(Sent(), std::vector<std::string>{FlushOf("null")});

    // The synchronous flush finds nothing the asynchronous one took.
    ASSERT_TRUE(Buffer(1, {{1, 1, 1, 1}}));
    EXPECT_TRUE(FlushAsync(recorder.NewContext(2)));
    ASSERT_TRUE(recorder.WaitFor(2));
    Mark();
    VeltariSetLedsColorsFlushBuffer();
    EXPECT_EQ(Sent(), std::vector<std::string>{FlushOf("null")});
}

TEST_F(AsyncColors, OldServerRefusesTheFlushButNotTheAsynchronousSet) {
    HandshakeAnswered(kProtocol4);
    ASSERT_FALSE(Buffer(0, {{1, 1, 1, 1}}));
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld);
    EXPECT_FALSE(FlushAsync(recorder.NewContext(1)));
    EXPECT_EQ(LastError(), VeltariErrorServerProtocolTooOld);

    server.Queue(R"({"result":true})");
    EXPECT_TRUE(SetAsync({{1, 1, 1, 1}}, recorder.NewContext(2)));
    ASSERT_TRUE(recorder.WaitFor(1));
    EXPECT_EQ(recorder.Tags(), std::vector<int>{2});
    EXPECT_TRUE(recorder.Completions()[0].success);
}

TEST_F(AsyncColors, CallbackMayQueueMoreWorkOfBothKinds) {
    HandshakeAnswered();
    const VeltariLedColor next[] = {{6, 6, 6, 6}};
    void* second = recorder.NewContext(2);
    void* third = recorder.NewContext(3);
    void* first = recorder.NewContext(1, [&] {
        EXPECT_TRUE(VeltariSetLedsColorsAsync(1, next, CompletionRecorder::Callback, second));
        EXPECT_TRUE(VeltariSetLedsColorsBufferByDeviceIndex(0, 1, next));
        EXPECT_TRUE(VeltariSetLedsColorsFlushBufferAsync(CompletionRecorder::Callback, third));
    });
    Mark();
    ASSERT_TRUE(SetAsync({{5, 5, 5, 5}}, first));
    ASSERT_TRUE(recorder.WaitFor(3));
    const std::vector<std::string> sent = Sent();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], SetOf("5,5,5,5"));
    EXPECT_NE(std::find(sent.begin(), sent.end(), SetOf("6,6,6,6")), sent.end());
    EXPECT_NE(std::find(sent.begin(), sent.end(), FlushOf(R"([{"deviceIndex":0,"ledColors":"6,6,6,6"}])")),
              sent.end());
}

// Unload waits for the pass in progress, callbacks included, before it destroys the connection; a call
// made once unload has begun is refused rather than accepted and never carried.
TEST_F(AsyncColors, UnloadJoinsTheWorkersBeforeTheConnectionGoes) {
    HandshakeAnswered();
    auto line = server.LatestLine();
    bool destroyedDuringPass = true;
    const VeltariLedColor late[] = {{8, 8, 8, 8}};
    void* lateContext = recorder.NewContext(9);
    void* holding = recorder.NewContext(0, [&] {
        held.Set();
        release.Wait();
        EXPECT_FALSE(VeltariSetLedsColorsAsync(1, late, CompletionRecorder::Callback, lateContext));
        EXPECT_EQ(VeltariGetLastError(), VeltariErrorServerUnreachable);
        EXPECT_FALSE(VeltariSetLedsColorsFlushBufferAsync(CompletionRecorder::Callback, lateContext));
        EXPECT_EQ(VeltariGetLastError(), VeltariErrorServerUnreachable);
        destroyedDuringPass = line->destroyed;
    });
    ASSERT_TRUE(FlushAsync(recorder.NewContext(1)));
    ASSERT_TRUE(recorder.WaitFor(1));
    ASSERT_TRUE(SetAsync({{1, 1, 1, 1}}, holding));
    ASSERT_TRUE(held.Wait());

    // Newest first: this runs before the workers are stopped, so the test knows unload has begun.
    Signal unloading;
    AtUnloadStopWorker([&] { unloading.Set(); });
    std::thread unloader([] { UnloadClientState(); });
    EXPECT_TRUE(unloading.Wait());
    release.Set();
    FinishesOrAbort([&] { unloader.join(); }, "unload with a worker in a callback");

    EXPECT_FALSE(destroyedDuringPass);
    EXPECT_TRUE(line->destroyed);
    EXPECT_EQ(recorder.Tags(), (std::vector<int>{1, 0})) << "refused calls are never called back";
}

}  // namespace
}  // namespace sdk::testing
