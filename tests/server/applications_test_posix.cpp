// Several applications at once, each a process of its own using the library, against one server: layers,
// priorities and control between them. The applications are this test program started again in a mode
// where it reads commands on standard input, calls the library and answers on standard output.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "api/lifetime.h"
#include "served_server.h"
#include "support/pipe_runtime.h"
#include "veltari.h"

namespace sdk::test {
namespace {

constexpr char kRoleVariable[] = "VELTARI_TEST_APPLICATION_RUNTIME";
constexpr char kReplyMark[] = "@@ ";

// Key presses the application's callback received, as "KEY:PRESSED" words.
struct ReceivedKeys {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::string> keys;
} g_received;

void OnKey(void*, VeltariKeyId key, bool pressed) {
    std::lock_guard<std::mutex> lock(g_received.mutex);
    g_received.keys.push_back(std::to_string(key) + ":" + (pressed ? "1" : "0"));
    g_received.arrived.notify_all();
}

// The application side: one command per line, one reply line per command.
std::string Execute(const std::string& line) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    std::ostringstream out;
    if (command == "handshake") {
        const VeltariProtocolDetails details = VeltariPerformProtocolHandshake();
        out << (details.serverVersion != nullptr) << " " << VeltariGetLastError();
    } else if (command == "set") {  // set LED R G B
        VeltariLedColor colour{};
        in >> colour.ledId >> colour.r >> colour.g >> colour.b;
        const bool result = VeltariSetLedsColors(1, &colour);
        out << result << " " << VeltariGetLastError();
    } else if (command == "get") {  // get LED -> R G B
        VeltariLedColor colour{};
        in >> colour.ledId;
        const bool result = VeltariGetLedsColors(1, &colour);
        out << result << " " << colour.r << " " << colour.g << " " << colour.b;
    } else if (command == "priority") {
        int priority = 0;
        in >> priority;
        const bool result = VeltariSetLayerPriority(priority);
        out << result << " " << VeltariGetLastError();
    } else if (command == "control") {
        const bool result = VeltariRequestControl(VeltariAccessModeLightingControl);
        out << result << " " << VeltariGetLastError();
    } else if (command == "release") {
        const bool result = VeltariReleaseControl(VeltariAccessModeLightingControl);
        out << result << " " << VeltariGetLastError();
    } else if (command == "register") {
        const bool result = VeltariRegisterKeypressCallback(&OnKey, nullptr);
        out << result << " " << VeltariGetLastError();
    } else if (command == "keys") {  // keys N MS: what arrived once N keys did, or after MS milliseconds
        std::size_t count = 0;
        int ms = 0;
        in >> count >> ms;
        std::unique_lock<std::mutex> lock(g_received.mutex);
        g_received.arrived.wait_for(lock, std::chrono::milliseconds(ms),
                                    [&] { return g_received.keys.size() >= count; });
        out << "keys";
        for (const auto& key : g_received.keys) out << " " << key;
    } else {
        out << "unknown command";
    }
    return out.str();
}

TEST(ApplicationProcess, Run) {
    const char* runtime = std::getenv(kRoleVariable);
    if (runtime == nullptr) GTEST_SKIP() << "only runs as an application started by the tests below";
    // Meet the parent's server, not this process's own private pipe directory.
    ::setenv("XDG_RUNTIME_DIR", runtime, 1);
    std::string line;
    while (std::getline(std::cin, line) && line != "exit") {
        std::cout << kReplyMark << Execute(line) << std::endl;
    }
    UnloadClientState();  // joins the notification threads, as unloading the shared library does
}

class Application {
public:
    Application() {
        int input[2], output[2];
        if (::pipe(input) != 0 || ::pipe(output) != 0) return;
        char self[4096] = {};
        if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return;
        std::string filter = "--gtest_filter=ApplicationProcess.Run";
        const std::string runtime = UsePrivatePipeRuntime();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(input[0], 0);
            ::dup2(output[1], 1);
            ::close(input[1]);
            ::close(output[0]);
            ::setenv(kRoleVariable, runtime.c_str(), 1);
            char* argv[] = {self, filter.data(), nullptr};
            ::execv(self, argv);
            ::_exit(127);
        }
        ::close(input[0]);
        ::close(output[1]);
        toChild_ = input[1];
        fromChild_ = output[0];
    }
    ~Application() { Exit(); }

    // The reply to one command, or "(no reply)".
    std::string Ask(const std::string& command) {
        const std::string line = command + "\n";
        if (::write(toChild_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return "(no reply)";
        for (;;) {
            const auto end = buffer_.find('\n');
            if (end != std::string::npos) {
                const std::string reply = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                if (reply.rfind(kReplyMark, 0) == 0) return reply.substr(sizeof kReplyMark - 1);
                continue;  // the test framework's own output
            }
            pollfd fd{fromChild_, POLLIN, 0};
            if (::poll(&fd, 1, 20000) <= 0) return "(no reply)";
            char chunk[512];
            const ssize_t n = ::read(fromChild_, chunk, sizeof chunk);
            if (n <= 0) return "(no reply)";
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // Ends the application as it would end by itself; the library closes its pipes at exit.
    void Exit() {
        if (pid_ <= 0) return;
        const std::string line = "exit\n";
        [[maybe_unused]] const ssize_t ignored = ::write(toChild_, line.data(), line.size());
        ::close(toChild_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        ::close(fromChild_);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    std::string buffer_;
};

class ApplicationsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);
        ASSERT_TRUE(served_.Start());
    }
    std::string Key(char c) { return std::to_string(served_.Server().Catalog().LedIdForKeyName(c)); }
    ServedLightingServer served_;
};

TEST_F(ApplicationsTest, SeveralApplicationsAtOnceEachKeepTheirOwnColours) {
    Application first, second, third;
    for (Application* app : {&first, &second, &third}) ASSERT_EQ(app->Ask("handshake"), "1 0");
    EXPECT_TRUE(served_.WaitForClients(3));
    EXPECT_EQ(first.Ask("set " + Key('A') + " 10 0 0"), "1 0");
    EXPECT_EQ(second.Ask("set " + Key('B') + " 0 20 0"), "1 0");
    EXPECT_EQ(third.Ask("set " + Key('C') + " 0 0 30"), "1 0");
    for (Application* app : {&first, &second, &third}) {
        EXPECT_EQ(app->Ask("get " + Key('A')), "1 10 0 0");
        EXPECT_EQ(app->Ask("get " + Key('B')), "1 0 20 0");
        EXPECT_EQ(app->Ask("get " + Key('C')), "1 0 0 30");
    }
    // An application that ends takes its colours with it.
    second.Exit();
    EXPECT_TRUE(served_.WaitForClients(2));
    EXPECT_EQ(first.Ask("get " + Key('B')), "1 0 0 0");
    EXPECT_EQ(third.Ask("get " + Key('A')), "1 10 0 0");
}

TEST_F(ApplicationsTest, TheHigherLayerPriorityShows) {
    Application low, high;
    ASSERT_EQ(low.Ask("handshake"), "1 0");
    ASSERT_EQ(high.Ask("handshake"), "1 0");
    const std::string q = Key('Q');
    EXPECT_EQ(high.Ask("priority 200"), "1 0");
    EXPECT_EQ(high.Ask("set " + q + " 200 0 0"), "1 0");
    EXPECT_EQ(low.Ask("set " + q + " 0 0 50"), "1 0");  // later, but lower
    EXPECT_EQ(low.Ask("get " + q), "1 200 0 0");
    EXPECT_EQ(low.Ask("priority 255"), "1 0");
    EXPECT_EQ(high.Ask("get " + q), "1 0 0 50");
    // Giving back the lighting removes the layer: the other colour shows again.
    EXPECT_EQ(low.Ask("release"), "1 0");
    EXPECT_EQ(high.Ask("get " + q), "1 200 0 0");
}

TEST_F(ApplicationsTest, ControlIsExclusiveUntilGivenBackOrTheHolderEnds) {
    Application holder, other;
    ASSERT_EQ(holder.Ask("handshake"), "1 0");
    ASSERT_EQ(other.Ask("handshake"), "1 0");
    const std::string r = Key('R'), t = Key('T');
    EXPECT_EQ(other.Ask("priority 255"), "1 0");
    EXPECT_EQ(other.Ask("set " + r + " 1 1 1"), "1 0");
    EXPECT_EQ(other.Ask("set " + t + " 2 2 2"), "1 0");
    EXPECT_EQ(holder.Ask("control"), "1 0");
    EXPECT_EQ(other.Ask("control"), "0 0");  // refused; the library reads the result only
    EXPECT_EQ(holder.Ask("set " + r + " 9 9 9"), "1 0");
    EXPECT_EQ(other.Ask("get " + r), "1 9 9 9");
    EXPECT_EQ(other.Ask("get " + t), "1 0 0 0");         // not set by the holder: dark
    EXPECT_EQ(other.Ask("set " + t + " 3 3 3"), "1 0");  // kept on its layer meanwhile
    holder.Exit();
    EXPECT_TRUE(served_.WaitForClients(1));
    EXPECT_EQ(other.Ask("get " + r), "1 1 1 1");
    EXPECT_EQ(other.Ask("get " + t), "1 3 3 3");
    EXPECT_EQ(other.Ask("control"), "1 0");
}

TEST_F(ApplicationsTest, KeyPressesReachRegisteredApplicationsOnly) {
    Application listening, deaf;
    ASSERT_EQ(listening.Ask("handshake"), "1 0");
    ASSERT_EQ(deaf.Ask("handshake"), "1 0");
    ASSERT_EQ(listening.Ask("register"), "1 0");
    const int a = *served_.Server().Catalog().VendorKeyForName("A");
    served_.Server().PressKey(a, true);
    served_.Server().PressKey(a, false);
    const std::string expected = "keys " + std::to_string(a) + ":1 " + std::to_string(a) + ":0";
    EXPECT_EQ(listening.Ask("keys 2 10000"), expected);
    // Had the server sent those to the other application too, they would be waiting in its pipe and reach
    // its callback as soon as it registers; only the key pressed afterwards may.
    ASSERT_EQ(deaf.Ask("register"), "1 0");
    const int b = *served_.Server().Catalog().VendorKeyForName("B");
    served_.Server().PressKey(b, true);
    EXPECT_EQ(deaf.Ask("keys 1 10000"), "keys " + std::to_string(b) + ":1");
    EXPECT_EQ(deaf.Ask("keys 2 300"), "keys " + std::to_string(b) + ":1");
    EXPECT_EQ(listening.Ask("keys 3 10000"), expected + " " + std::to_string(b) + ":1");
}

}  // namespace
}  // namespace sdk::test
