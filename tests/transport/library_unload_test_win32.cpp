// FreeLibrary of a DLL that joins its library threads in DllMain, and process exit with them running,
// each in a child process so that a deadlock shows up as a time-out instead of a hung suite.
#include <gtest/gtest.h>

#include "dll/run_host_win32.h"

namespace sdk::test {
namespace {

constexpr int kLimitMs = 120000;

TEST(LibraryUnloadWin32, FreeLibraryJoinsRunningThreadsAndReturns) {
    const HostRun run = RunDllHost(L"probe-unload", L"veltari_thread_probe.dll", kLimitMs);
    ASSERT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(0u, run.exitCode);
}

TEST(LibraryUnloadWin32, ProcessExitsWithLibraryThreadsRunning) {
    const HostRun run = RunDllHost(L"probe-exit", L"veltari_thread_probe.dll", kLimitMs);
    ASSERT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(0u, run.exitCode);
}

}  // namespace
}  // namespace sdk::test
