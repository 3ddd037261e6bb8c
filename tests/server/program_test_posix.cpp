// The server program itself: started as a process, driven through its command line, standard input and
// signals, and reached over its pipes.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "support/pipe_runtime.h"
#include "transport/bootstrap.h"
#include "transport/pipe_path_posix.h"
#include "veltari_version.h"

namespace sdk::test {
namespace {

std::string ServerExecutable() {
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    std::string path(self, static_cast<std::size_t>(n));
    return path.substr(0, path.find_last_of('/')) + "/../server/veltari-server";
}

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::string RendezvousPath(const char* suffix) {
    return *PipeSocketPath(
        ServerPipeBaseName() + std::wstring(suffix, suffix + std::char_traits<char>::length(suffix)),
        PipeDirectoryUse::kListen);
}

template <typename Predicate>
bool Eventually(Predicate predicate, int timeoutMs = 15000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// One run of the server program with its output captured in files and its standard input on a pipe.
class ServerProcess {
public:
    // Runs in the test's private runtime directory unless ownRuntime: then ARGS or ENVIRONMENT
    // (NAME=VALUE entries) choose it.
    explicit ServerProcess(std::vector<std::string> args, bool ownRuntime = false,
                           std::vector<std::string> environment = {}) {
        static int counter = 0;
        const std::string stem = UsePrivatePipeRuntime() + "/server-" + std::to_string(::getpid()) + "-" +
                                 std::to_string(++counter);
        outPath_ = stem + ".out";
        errPath_ = stem + ".err";
        int input[2];
        if (::pipe(input) != 0) return;
        const std::string executable = ServerExecutable();
        args.insert(args.begin(), executable);
        if (!ownRuntime) args.push_back("--runtime-dir=" + UsePrivatePipeRuntime());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(input[0], 0);
            const int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::close(input[0]);
            ::close(input[1]);
            for (auto& entry : environment) ::putenv(entry.data());
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(input[0]);
        stdin_ = input[1];
        ::fcntl(stdin_, F_SETFD, FD_CLOEXEC);
    }
    ~ServerProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            Wait();
        }
        if (stdin_ >= 0) ::close(stdin_);
    }

    void Type(const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(::write(stdin_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void Signal(int signal) { ::kill(pid_, signal); }
    // The exit code, or -1 when it did not end in time (or ended by a signal).
    int Wait(int timeoutMs = 15000) {
        if (exited_) return status_;
        const bool ended = Eventually(
            [&] {
                int status = 0;
                if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                return true;
            },
            timeoutMs);
        exited_ = ended;
        return ended ? status_ : -1;
    }
    std::string Out() const { return ReadFile(outPath_); }
    std::string Err() const { return ReadFile(errPath_); }
    bool Serving() {
        return Eventually([&] { return Err().find("Serving") != std::string::npos; });
    }

private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::string outPath_;
    std::string errPath_;
};

struct Client {
    Client() : connection(CreateRpcConnection(":pid:" + std::to_string(::getpid()))) {}
    std::string Call(const std::string& request) {
        std::string response = connection ? connection->Call(request) : std::string();
        if (!response.empty() && response.back() == '\0') response.pop_back();
        return response;
    }
    void Listen() {
        connection->SetNotificationHandler([this](const std::string& text) {
            std::lock_guard<std::mutex> lock(noteMutex);
            notes.push_back(text);
            arrived.notify_all();
        });
    }
    std::vector<std::string> WaitNotes(std::size_t count) {
        std::unique_lock<std::mutex> lock(noteMutex);
        arrived.wait_for(lock, std::chrono::seconds(15), [&] { return notes.size() >= count; });
        return notes;
    }
    std::unique_ptr<IRpcConnection> connection;
    std::mutex noteMutex;
    std::condition_variable arrived;
    std::vector<std::string> notes;
};

class ServerProgramTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Exists(ServerExecutable())) << ServerExecutable(); }
};

TEST_F(ServerProgramTest, HelpAndBadOptions) {
    ServerProcess help({"--help"});
    EXPECT_EQ(help.Wait(), 0);
    EXPECT_NE(help.Out().find("Usage: veltari-server"), std::string::npos);
    ServerProcess bad({"--protocol", "x"});
    EXPECT_EQ(bad.Wait(), 2);
    EXPECT_NE(bad.Err().find("--protocol"), std::string::npos);
    ServerProcess badFile({"--devices", "/nonexistent/devices.json"});
    EXPECT_EQ(badFile.Wait(), 1);
    EXPECT_NE(badFile.Err().find("cannot be opened"), std::string::npos);
    ServerProcess version({"--version"});
    EXPECT_EQ(version.Wait(), 0);
    EXPECT_NE(version.Out().find("veltari-server " VELTARI_VERSION_STRING " (Veltari library"),
              std::string::npos)
        << version.Out();
    ServerProcess dump({"--dump-devices"});
    EXPECT_EQ(dump.Wait(), 0);
    EXPECT_NE(dump.Out().find("\"devices\""), std::string::npos);
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// The pipes' directory, from --runtime-dir or XDG_RUNTIME_DIR alike: an unsafe one is refused with the
// reason and left as it was, a missing one is created (last component only) private to the user.
TEST_F(ServerProgramTest, RuntimeDirectoryIsUsedOnlyWhenPrivateAndNeverChanged) {
    const std::string base = UsePrivatePipeRuntime();
    const std::string shared = base + "/shared";
    ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    for (const bool fromEnvironment : {false, true}) {
        ServerProcess server(fromEnvironment ? std::vector<std::string>{"--no-view", "--no-stdin"}
                                             : std::vector<std::string>{"--no-view", "--runtime-dir", shared},
                             true, {"XDG_RUNTIME_DIR=" + shared});
        EXPECT_EQ(server.Wait(), 2);
        EXPECT_NE(server.Err().find("writable by other users (mode 1777)"), std::string::npos)
            << server.Err();
        EXPECT_NE(server.Err().find(fromEnvironment ? "XDG_RUNTIME_DIR" : "--runtime-dir"),
                  std::string::npos);
        EXPECT_EQ(ModeOf(shared), 01777u);
    }
    ServerProcess deep({"--no-view", "--runtime-dir", base + "/no/such"}, true);
    EXPECT_EQ(deep.Wait(), 2);
    EXPECT_NE(deep.Err().find("only the last component is created"), std::string::npos) << deep.Err();
    EXPECT_FALSE(Exists(base + "/no"));

    const std::string readable = base + "/readable";
    ASSERT_EQ(::mkdir(readable.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(readable.c_str(), 0755), 0);
    const std::string fresh = base + "/fresh";
    for (const std::string& dir : {readable, fresh}) {
        ServerProcess server({"--no-view", "--no-stdin", "--runtime-dir", dir}, true);
        ASSERT_TRUE(server.Serving()) << server.Err();
        server.Signal(SIGTERM);
        EXPECT_EQ(server.Wait(), 0);
    }
    EXPECT_EQ(ModeOf(readable), 0755u);
    EXPECT_EQ(ModeOf(fresh), 0700u);
}

TEST_F(ServerProgramTest, ServesUntilSignalledThenRemovesItsPipes) {
    for (int signal : {SIGTERM, SIGINT}) {
        ServerProcess server({"--no-view", "--protocol", "7", "--server-version", "9.9-test"});
        ASSERT_TRUE(server.Serving()) << server.Err();
        ASSERT_TRUE(Exists(RendezvousPath("_in")));
        ASSERT_TRUE(Exists(RendezvousPath("_out")));
        {
            Client client;
            ASSERT_TRUE(client.connection);
            EXPECT_EQ(client.Call(R"({"method":"VeltraiHandshakeMethod","params":{"sdkProtocolVersion":9}})"),
                      R"({"serverVersion":"9.9-test","serverProtocolVersion":7,"breakingChanges":false})");
            // A second server is turned away with a clear message, and the first keeps serving.
            ServerProcess second({"--no-view"});
            EXPECT_EQ(second.Wait(), 3);
            EXPECT_NE(second.Err().find("another lighting server is already serving"), std::string::npos)
                << second.Err();
            EXPECT_EQ(client.Call(R"({"method":"VeltariGetDeviceCount"})"), R"({"errorCode":0,"result":4})");
            server.Signal(signal);
            EXPECT_EQ(server.Wait(), 0) << server.Err();
            EXPECT_EQ(client.Call(R"({"method":"VeltariGetDeviceCount"})"), "");
        }
        EXPECT_FALSE(Exists(RendezvousPath("_in")));
        EXPECT_FALSE(Exists(RendezvousPath("_out")));
        EXPECT_NE(server.Err().find("stopped"), std::string::npos);
    }
}

TEST_F(ServerProgramTest, KeysTypedOnStandardInputReachRegisteredClients) {
    ServerProcess server({"--no-view", "--key-interval", "1"});
    ASSERT_TRUE(server.Serving()) << server.Err();
    Client client;
    ASSERT_TRUE(client.connection);
    ASSERT_EQ(client.Call(R"({"method":"VeltariRegisterKeypressCallback"})"), R"({"errorCode":0})");
    client.Listen();
    server.Type("NoSuchKey");
    server.Type("A #300");
    const auto notes = client.WaitNotes(4);
    EXPECT_EQ(notes, (std::vector<std::string>{
                         R"({"vendorKey":65,"pressed":true})", R"({"vendorKey":65,"pressed":false})",
                         R"({"vendorKey":300,"pressed":true})", R"({"vendorKey":300,"pressed":false})"}));
    EXPECT_NE(server.Err().find("no key is named \"NoSuchKey\""), std::string::npos);
    server.Type("quit");
    EXPECT_EQ(server.Wait(), 0);
}

TEST_F(ServerProgramTest, CommandLineScriptStartsWithTheFirstRegistration) {
    ServerProcess server({"--no-view", "--no-stdin", "--keys", "+B -B", "--key-interval", "1"});
    ASSERT_TRUE(server.Serving()) << server.Err();
    Client client;
    ASSERT_EQ(client.Call(R"({"method":"VeltariRegisterKeypressCallback"})"), R"({"errorCode":0})");
    client.Listen();
    EXPECT_EQ(client.WaitNotes(2), (std::vector<std::string>{R"({"vendorKey":66,"pressed":true})",
                                                             R"({"vendorKey":66,"pressed":false})"}));
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(), 0);
}

TEST_F(ServerProgramTest, VerboseTracesEveryExchangeWithItsClient) {
    ServerProcess server({"--verbose", "--no-stdin"});
    ASSERT_TRUE(server.Serving()) << server.Err();
    {
        Client client;
        EXPECT_EQ(client.Call(R"({"method":"VeltariGetDeviceCount"})"), R"({"errorCode":0,"result":4})");
    }
    const std::string identity = ":pid:" + std::to_string(::getpid());
    EXPECT_TRUE(Eventually([&] { return server.Err().find("disconnected") != std::string::npos; }))
        << server.Err();
    const std::string err = server.Err();
    EXPECT_NE(err.find("client 1 (" + identity + ") connected"), std::string::npos) << err;
    EXPECT_NE(err.find("client 1 (" + identity + ") -> {\"method\":\"VeltariGetDeviceCount\"}"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("client 1 (" + identity + ") <- {\"errorCode\":0,\"result\":4}"), std::string::npos)
        << err;
    // No view was asked for and standard output is not a terminal: nothing on it.
    EXPECT_EQ(server.Out(), "");
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(), 0);

    // Typing that no client listens to is said once, not once per key; the banner says how to type.
    ServerProcess typing({"--verbose", "--auto-type", "abc", "--key-interval", "1"});
    ASSERT_TRUE(typing.Serving()) << typing.Err();
    EXPECT_TRUE(Eventually([&] { return typing.Err().find("reach no client yet") != std::string::npos; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string typed = typing.Err();
    EXPECT_EQ(typed.find("reach no client yet"), typed.rfind("reach no client yet")) << typed;
    EXPECT_EQ(typed.find("0 client(s)"), std::string::npos) << typed;
    typing.Signal(SIGTERM);
    EXPECT_EQ(typing.Wait(), 0);
    ServerProcess idle({"--no-view"});
    ASSERT_TRUE(idle.Serving()) << idle.Err();
    EXPECT_NE(idle.Err().find("Key presses: type a key script here"), std::string::npos) << idle.Err();
}

TEST_F(ServerProgramTest, ViewWithoutATerminalPrintsPlainColours) {
    ServerProcess server({"--view", "--no-stdin"});
    ASSERT_TRUE(server.Serving()) << server.Err();
    Client client;
    const int q = std::stoi(client.Call(R"({"method":"VeltariGetLedIdForKeyName","params":{"keyName":81}})")
                                .substr(std::string(R"({"errorCode":0,"result":)").size()));
    client.Call("{\"method\":\"VeltariSetLedsColors\",\"params\":{\"ledsColors\":\"" + std::to_string(q) +
                ",255,0,16\"}}");
    EXPECT_TRUE(Eventually([&] { return server.Out().find("Q=ff0010") != std::string::npos; }))
        << server.Out();
    EXPECT_EQ(server.Out().find('\x1b'), std::string::npos);
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(), 0);
}

}  // namespace
}  // namespace sdk::test
