// A process that has loaded the library, with every thread of the library started, stays asleep while
// nothing happens: a game pays for every wake-up on every frame, a laptop in battery.
#include <sys/resource.h>

#include <chrono>
#include <thread>

#include "api/callback_recorder.h"
#include "api/scripted_fixture.h"

namespace sdk::testing {
namespace {

long ContextSwitches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);  // all threads of the process
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

void IgnoreKey(void*, VeltariKeyId, bool) {}

using Idle = ScriptedApiTest;

TEST_F(Idle, EveryLibraryThreadSleepsUntilThereIsWork) {
    Connect();
    ASSERT_TRUE(VeltariRegisterKeypressCallback(IgnoreKey, nullptr));  // notification reader, dispatcher
    CompletionRecorder completions;
    const VeltariLedColor red{5, 255, 0, 0};
    ASSERT_TRUE(VeltariSetLedsColorsAsync(1, &red, CompletionRecorder::Callback, completions.NewContext(1)));
    ASSERT_TRUE(
        VeltariSetLedsColorsFlushBufferAsync(CompletionRecorder::Callback, completions.NewContext(2)));
    ASSERT_TRUE(completions.WaitFor(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the last pass has ended

    const long before = ContextSwitches();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const long switches = ContextSwitches() - before;
    RecordProperty("contextSwitches", static_cast<int>(switches));
    EXPECT_LE(switches, 20) << "context switches in 3 idle seconds";

    // Asleep is not dead: the workers and the dispatcher still answer.
    ASSERT_TRUE(VeltariSetLedsColorsAsync(1, &red, CompletionRecorder::Callback, completions.NewContext(3)));
    EXPECT_TRUE(completions.WaitFor(3));
}

}  // namespace
}  // namespace sdk::testing
