#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

#include "transport/library_thread.h"

namespace sdk {
namespace {

using namespace std::chrono_literals;

TEST(LibraryThread, RunsTheBodyAndJoinWaitsForItsEnd) {
    std::atomic<bool> release{false};
    std::atomic<bool> finished{false};
    LibraryThread thread([&] {
        while (!release) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(20ms);
        finished = true;
    });
    EXPECT_TRUE(thread.Joinable());
    EXPECT_FALSE(finished);
    release = true;
    thread.Join();
    EXPECT_TRUE(finished);
    EXPECT_FALSE(thread.Joinable());
}

TEST(LibraryThread, DestructionAndReassignmentJoin) {
    std::atomic<int> done{0};
    std::atomic<bool> release{false};
    {
        LibraryThread thread([&] {
            std::this_thread::sleep_for(20ms);
            ++done;
        });
        thread = LibraryThread([&] {
            while (!release) {
                std::this_thread::sleep_for(1ms);
            }
            ++done;
        });
        EXPECT_EQ(1, done.load());  // the first thread was joined before the second took its place
        LibraryThread moved(std::move(thread));
        EXPECT_FALSE(thread.Joinable());
        EXPECT_TRUE(moved.Joinable());
        release = true;
    }
    EXPECT_EQ(2, done.load());  // and the second when its owner went
}

TEST(LibraryThread, JoinFromTheThreadItselfIsRefused) {
    LibraryThread thread;
    std::atomic<bool> ready{false};
    std::atomic<int> error{0};
    thread = LibraryThread([&] {
        while (!ready) {
            std::this_thread::sleep_for(1ms);
        }
        try {
            thread.Join();
        } catch (const std::system_error& e) {
            error = e.code().value();
        }
    });
    ready = true;
    // Poll rather than Join: only after the body has tried may this thread join it.
    for (int i = 0; i < 10000 && error == 0; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(static_cast<int>(std::errc::resource_deadlock_would_occur), error.load());
    EXPECT_TRUE(thread.Joinable());
    thread.Join();
}

TEST(LibraryThread, JoiningANeverStartedThreadIsAnError) {
    LibraryThread thread;
    EXPECT_FALSE(thread.Joinable());
    EXPECT_THROW(thread.Join(), std::system_error);
}

}  // namespace
}  // namespace sdk
