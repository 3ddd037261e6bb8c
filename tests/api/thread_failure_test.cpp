// A process that is out of threads fails the call that needed one, and only that call: the library does
// not remember the failure, and a later call that reports success does what it says.
#include <string>
#include <vector>

#include "api/callback_recorder.h"
#include "api/scripted_fixture.h"
#include "transport/library_thread.h"

namespace sdk::testing {
namespace {

class ThreadFailure : public ScriptedApiTest {
protected:
    void TearDown() override {
        RefuseThreadStarts(0);
        ScriptedApiTest::TearDown();
    }
};

TEST_F(ThreadFailure, EachCallThatCannotStartItsThreadFailsWith1AndTheNextOneWorks) {
    Connect();
    server.OnMethod("VeltariSetLedsColors", R"({"result":true})");
    server.OnMethod("VeltariSetLedsColorsFlushBuffer", R"({"result":true})");
    CompletionRecorder completions;
    const VeltariLedColor red{5, 255, 0, 0};
    const VeltariLedColor blue{6, 0, 0, 255};

    RefuseThreadStarts(1);
    EXPECT_FALSE(VeltariSetLedsColorsAsync(1, &red, CompletionRecorder::Callback, completions.NewContext(1)));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_TRUE(VeltariSetLedsColorsAsync(1, &blue, CompletionRecorder::Callback, completions.NewContext(2)));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    ASSERT_TRUE(completions.WaitFor(1));

    // The buffer survives a flush that could not start its worker.
    ASSERT_TRUE(VeltariSetLedsColorsBufferByDeviceIndex(0, 1, &red));
    RefuseThreadStarts(1);
    EXPECT_FALSE(
        VeltariSetLedsColorsFlushBufferAsync(CompletionRecorder::Callback, completions.NewContext(3)));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_TRUE(
        VeltariSetLedsColorsFlushBufferAsync(CompletionRecorder::Callback, completions.NewContext(4)));
    ASSERT_TRUE(completions.WaitFor(2));
    EXPECT_EQ(completions.Tags(), (std::vector<int>{2, 4}));  // refused calls are never called back
    for (const Completion& completion : completions.Completions()) EXPECT_TRUE(completion.success);

    // Key presses: the registration that could not start delivery fails, stays registered, and the
    // next one asks the server again and attaches delivery.
    KeyRecorder keys;
    RefuseThreadStarts(1);
    EXPECT_FALSE(VeltariRegisterKeypressCallback(KeyRecorder::Callback, keys.NewContext(1)));
    EXPECT_EQ(LastError(), VeltariErrorServerUnreachable);
    EXPECT_TRUE(VeltariRegisterKeypressCallback(KeyRecorder::Callback, keys.NewContext(2)));
    EXPECT_EQ(LastError(), VeltariErrorSuccess);
    ASSERT_TRUE(server.Notify(R"({"vendorKey":5,"pressed":true})"));
    ASSERT_TRUE(keys.WaitFor(2));
    EXPECT_EQ(keys.Events(), (std::vector<KeyEvent>{{1, 5, true}, {2, 5, true}}));

    EXPECT_EQ(
        SentSoFar(),
        (std::vector<std::string>{
            R"({"method":"VeltariSetLedsColors","params":{"ledsColors":"6,0,0,255"}})",
            R"({"method":"VeltariSetLedsColorsFlushBuffer","params":{"ledsColorsByDeviceIndex":[{"deviceIndex":0,"ledColors":"5,255,0,0"}]}})",
            R"({"method":"VeltariRegisterKeypressCallback"})",
            R"({"method":"VeltariRegisterKeypressCallback"})",
        }));
}

}  // namespace
}  // namespace sdk::testing
