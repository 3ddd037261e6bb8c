// What only the POSIX pipes have: socket paths and their directories, descriptor hygiene, busy
// listeners, and the exact bytes on the wire, observed with plain sockets.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <optional>
#include <set>
#include <vector>

#include "pipe_test_util.h"
#include "support/pipe_runtime.h"
#include "support/scripted_server.h"
#include "transport/bootstrap.h"
#include "transport/frame_channel.h"
#include "transport/pipe_path_posix.h"

namespace sdk::test {
namespace {

namespace fs = std::filesystem;

// Points XDG_RUNTIME_DIR elsewhere for one test and restores it afterwards.
class RuntimeOverride {
public:
    explicit RuntimeOverride(const char* value) : saved_(UsePrivatePipeRuntime()) {
        if (value != nullptr) {
            ::setenv("XDG_RUNTIME_DIR", value, 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
    }
    ~RuntimeOverride() { ::setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1); }

private:
    std::string saved_;
};

// A fresh directory inside this process's private runtime.
std::string FreshDirectory(const std::string& tag) {
    static int counter = 0;
    return UsePrivatePipeRuntime() + "/" + tag + std::to_string(++counter);
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

sockaddr_un AddressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// A plain listening socket with the given queue length.
int RawListen(const std::string& path, int backlog) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_un address = AddressOf(path);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
        << std::strerror(errno);
    EXPECT_EQ(::listen(fd, backlog), 0);
    return fd;
}

int RawConnect(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_un address = AddressOf(path);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0)
        << std::strerror(errno);
    return fd;
}

// Accepts the next connection, waiting at most `timeoutMs`; -1 when none came.
int RawAccept(int listener, int timeoutMs) {
    pollfd fd = {listener, POLLIN, 0};
    if (::poll(&fd, 1, timeoutMs) != 1) {
        return -1;
    }
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

// The process's open sockets (the listing's own descriptor is a directory and stays out).
std::set<int> OpenSockets() {
    std::set<int> open;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (fs::read_symlink(entry.path(), error).string().rfind("socket:", 0) == 0) {
            open.insert(std::stoi(entry.path().filename().string()));
        }
    }
    return open;
}

std::string PathOf(const std::wstring& name) {
    const auto path = PipeSocketPath(name, PipeDirectoryUse::kListen);
    EXPECT_TRUE(path) << "no path";
    return path.value_or("");
}

TEST(PipePath, NamesMapIntoTheRuntimeDirectory) {
    const std::string runtime = UsePrivatePipeRuntime();
    ASSERT_FALSE(runtime.empty());
    EXPECT_EQ(PipeRuntimeDirectory(), runtime);
    EXPECT_EQ(PipeSocketPath(ServerPipeBaseName() + L"_in", PipeDirectoryUse::kConnect),
              runtime + "/VeltariLumaneth/{7C1D5E90-3B62-4F8A-9E07-2D4B6A81C3F5}_in");
    EXPECT_EQ(PipeSocketPath(L"\\\\.\\PIPE\\a\\b/c", PipeDirectoryUse::kConnect), runtime + "/a/b/c");
    // Bytes widened with their sign come back as those bytes; other characters as UTF-8.
    EXPECT_EQ(PipeSocketPath(std::wstring(L"\\\\.\\pipe\\x") + wchar_t(0xFF80) + wchar_t(0xE9),
                             PipeDirectoryUse::kConnect),
              runtime + "/x\x80\xC3\xA9");
}

TEST(PipePath, WithoutAnAbsoluteXdgRuntimeDirThePerUserTmpDirectoryIsUsed) {
    const std::string fallback = "/tmp/veltari-" + std::to_string(::getuid());
    {
        RuntimeOverride relative("relative/dir");
        EXPECT_EQ(PipeRuntimeDirectory(), fallback);
    }
    {
        RuntimeOverride unset(nullptr);
        EXPECT_EQ(PipeRuntimeDirectory(), fallback);
    }
    {
        RuntimeOverride trailing((UsePrivatePipeRuntime() + "//").c_str());
        EXPECT_EQ(PipeRuntimeDirectory(), UsePrivatePipeRuntime());
    }
}

TEST(PipePath, APathTooLongForASocketAddressFailsInsteadOfBeingCut) {
    const std::size_t room = sizeof(sockaddr_un{}.sun_path) - 1;  // the terminating NUL needs a byte
    const std::size_t prefix = UsePrivatePipeRuntime().size() + std::strlen("/long/");
    ASSERT_LT(prefix, room);
    const std::wstring fits = L"\\\\.\\pipe\\long\\" + std::wstring(room - prefix, L'f');
    const std::wstring tooLong = fits + L"g";
    EXPECT_EQ(PipeSocketPath(fits, PipeDirectoryUse::kConnect)->size(), room);
    EXPECT_FALSE(PipeSocketPath(tooLong, PipeDirectoryUse::kConnect));

    auto listener = ListenOnPipe(fits);
    ASSERT_TRUE(listener);
    EXPECT_TRUE(OpenFrameChannel(fits, PipeEnd::kRead, 100));
    EXPECT_FALSE(ListenOnPipe(tooLong));
    EXPECT_FALSE(OpenFrameChannel(tooLong, PipeEnd::kRead, 100));
}

TEST(PipePath, ServersCreateMissingDirectoriesPrivate) {
    const std::string runtime = FreshDirectory("made");
    RuntimeOverride override(runtime.c_str());
    auto listener = ListenOnPipe(L"\\\\.\\pipe\\nest\\ed\\name");
    ASSERT_TRUE(listener);
    EXPECT_EQ(ModeOf(runtime), 0700u);
    EXPECT_EQ(ModeOf(runtime + "/nest"), 0700u);
    EXPECT_EQ(ModeOf(runtime + "/nest/ed"), 0700u);
    EXPECT_TRUE(OpenFrameChannel(L"\\\\.\\pipe\\nest\\ed\\name", PipeEnd::kWrite, 100));
}

TEST(PipePath, ARuntimeDirectoryOthersCouldWriteIsRefused) {
    const std::string runtime = FreshDirectory("shared");
    RuntimeOverride override(runtime.c_str());
    const std::wstring name = L"\\\\.\\pipe\\planted";
    auto listener = ListenOnPipe(name);
    ASSERT_TRUE(listener);
    for (mode_t mode : {0777, 0770, 0702}) {
        ASSERT_EQ(::chmod(runtime.c_str(), mode), 0);
        EXPECT_FALSE(OpenFrameChannel(name, PipeEnd::kRead, 100)) << std::oct << mode;
        EXPECT_FALSE(ListenOnPipe(L"\\\\.\\pipe\\other")) << std::oct << mode;
    }
    ASSERT_EQ(::chmod(runtime.c_str(), 0700), 0);
    EXPECT_TRUE(OpenFrameChannel(name, PipeEnd::kRead, 100));
}

TEST(PipePath, ARuntimeDirectoryOwnedBySomeoneElseIsRefused) {
    const std::string runtime = FreshDirectory("foreign");
    RuntimeOverride override(runtime.c_str());
    const std::wstring name = L"\\\\.\\pipe\\planted";
    auto listener = ListenOnPipe(name);
    ASSERT_TRUE(listener);
    const uid_t other = ::getuid() == 65534 ? 65533 : 65534;
    if (::chown(runtime.c_str(), other, static_cast<gid_t>(-1)) != 0) {
        GTEST_SKIP() << "changing the owner of a directory needs privileges";
    }
    EXPECT_FALSE(OpenFrameChannel(name, PipeEnd::kRead, 100));
    EXPECT_FALSE(ListenOnPipe(L"\\\\.\\pipe\\other"));
    ASSERT_EQ(::chown(runtime.c_str(), ::getuid(), static_cast<gid_t>(-1)), 0);
    EXPECT_TRUE(OpenFrameChannel(name, PipeEnd::kRead, 100));
}

TEST(PipePosix, EveryDescriptorIsCloseOnExec) {
    PipeLink in = OpenInputLink();
    PipeLink out = OpenOutputLink();
    ASSERT_TRUE(in.server && out.server);
    int checked = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = fs::read_symlink(entry.path(), error).string();
        if (target.rfind("socket:", 0) != 0 && target.find("eventfd") == std::string::npos) {
            continue;
        }
        const int fd = std::stoi(entry.path().filename().string());
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags < 0) {
            continue;  // the directory listing's own descriptor, already gone
        }
        EXPECT_TRUE(flags & FD_CLOEXEC) << target;
        ++checked;
    }
    // Two listeners with their cancel events, two client ends and two server ends.
    EXPECT_GE(checked, 8);
}

TEST(PipePosix, WritingToAVanishedPeerNeverRaisesSigpipe) {
    struct sigaction previous {};
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    ASSERT_EQ(::sigaction(SIGPIPE, &standard, &previous), 0);
    PipeLink out = OpenOutputLink();
    PipeLink in = OpenInputLink();
    ASSERT_TRUE(out.server && in.server);
    out.server.reset();
    in.client.reset();
    // With the default disposition a SIGPIPE would end this process here.
    EXPECT_EQ(out.client->Write({1, 2, 3}, 1000).status, IoStatus::kClosed);
    EXPECT_EQ(in.server->WriteMessage({1, 2, 3}, 1000), kErrorBrokenPipe);
    EXPECT_EQ(in.server->WriteRaw({1}, 1000), kErrorBrokenPipe);
    ::sigaction(SIGPIPE, &previous, nullptr);
}

// A stream closed before it is destroyed must leave its old descriptor number alone: the process may
// already have reused it, and shutting a listening socket down makes it refuse every connection.
TEST(PipePosix, AClosedStreamNeverTouchesTheDescriptorNumberItOnceHad) {
    for (const bool input : {true, false}) {
        SCOPED_TRACE(input ? "input stream" : "output stream");
        PipeLink link = input ? OpenInputLink() : OpenOutputLink();
        ASSERT_TRUE(link.server);
        const std::set<int> before = OpenSockets();
        link.client->Close();
        const std::set<int> after = OpenSockets();
        std::vector<int> gone;
        std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                            std::back_inserter(gone));
        ASSERT_EQ(gone.size(), 1u);
        const std::wstring name = UniquePipeName(L"reused");
        const int original = RawListen(PathOf(name), 4);
        const int listener = ::dup2(original, gone[0]);
        if (original != gone[0]) ::close(original);
        ASSERT_EQ(listener, gone[0]);
        link.client->Cancel();
        link.client.reset();
        const int client = RawConnect(PathOf(name));
        EXPECT_GE(RawAccept(listener, 5000), 0);
        ::close(client);
        ::close(listener);
    }
}

// POSIX only: under Wine a server's read on a pipe whose client connected and closed before the server
// finished accepting it sometimes never returns, so the server cannot observe the close there.
TEST(PipePosix, WhenOnlyTheCallbackPipeIsMissingTheOthersAreClosedAgain) {
    ScriptedServerOptions options;
    options.createCallbackPipe = false;
    ScriptedServer server(options);
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(CreateRpcConnection(":pid:11"), nullptr);
    // The server got the client's "_out" and "_in" connections, and saw the client close both.
    ASSERT_TRUE(server.WaitForSessions(1));
    ASSERT_TRUE(server.WaitForSessionEnd(0));
    const ScriptedSession session = server.Session(0);
    EXPECT_TRUE(session.clientClosedRequests);
    EXPECT_TRUE(session.clientClosedResponses);
    EXPECT_EQ(server.RequestCount(), 0u);
}

TEST(PipePosix, TheServerEndKnowsTheClientProcess) {
    PipeLink link = OpenInputLink();
    ASSERT_TRUE(link.server);
    EXPECT_EQ(link.server->PeerProcessId(), static_cast<std::uint64_t>(::getpid()));
}

TEST(PipePosix, FramesOnTheWireAreLittleEndianLengthThenPayload) {
    const std::wstring name = UniquePipeName(L"wire");
    const int listener = RawListen(PathOf(name), 4);
    auto stream = OpenFrameChannel(name, PipeEnd::kWrite, 1000);
    ASSERT_TRUE(stream);
    const int peer = RawAccept(listener, 5000);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(stream->WriteText("{}", 1000).status, IoStatus::kOk);
    ASSERT_EQ(stream->WriteText("", 1000).status, IoStatus::kOk);
    ASSERT_EQ(stream->Write(Bytes(0x0102, 'z'), 1000).status, IoStatus::kOk);
    Bytes wire(12 + 4 + 0x0102);
    std::size_t got = 0;
    while (got < wire.size()) {
        const ssize_t n = ::recv(peer, wire.data() + got, wire.size() - got, 0);
        ASSERT_GT(n, 0);
        got += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 12),
              (Bytes{0x03, 0x00, 0x00, 0x00, 0x7B, 0x7D, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Bytes(wire.begin() + 12, wire.begin() + 16), (Bytes{0x02, 0x01, 0x00, 0x00}));
    ::close(peer);
    ::close(listener);
}

TEST(PipePosix, AStaleSocketFileIsReplacedButOtherFilesAreNot) {
    const std::wstring name = UniquePipeName(L"stale");
    const std::string path = PathOf(name);
    ::close(RawListen(path, 1));  // a server that died without removing its socket file
    ASSERT_TRUE(fs::exists(path));
    auto listener = ListenOnPipe(name);
    ASSERT_TRUE(listener);
    EXPECT_TRUE(OpenFrameChannel(name, PipeEnd::kRead, 100));
    listener.reset();
    EXPECT_FALSE(fs::exists(path));

    const std::wstring fileName = UniquePipeName(L"file");
    const std::string filePath = PathOf(fileName);
    std::ofstream(filePath) << "not a socket";
    EXPECT_FALSE(ListenOnPipe(fileName));
    EXPECT_TRUE(fs::is_regular_file(filePath));
}

TEST(PipePosix, ABusyPipeIsWaitedForUntilTheServerMakesRoom) {
    const std::wstring name = UniquePipeName(L"busy");
    const std::string path = PathOf(name);
    const int listener = RawListen(path, 0);
    const int filler = RawConnect(path);  // the queue holds one connection: it is full now
    auto open = std::async(std::launch::async, [&] { return OpenFrameChannel(name, PipeEnd::kRead, 2000); });
    EXPECT_EQ(open.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    ::close(RawAccept(listener, 1000));  // room for the waiting client
    ASSERT_EQ(open.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(open.get());
    ::close(filler);
    ::close(listener);
}

TEST(PipePosix, ABusyPipeThatStaysBusyFailsAfterTheTimeOut) {
    const std::wstring name = UniquePipeName(L"busy");
    const std::string path = PathOf(name);
    const int listener = RawListen(path, 0);
    const int filler = RawConnect(path);
    Stopwatch watch;
    EXPECT_FALSE(OpenFrameChannel(name, PipeEnd::kWrite, 300));
    EXPECT_GE(watch.ElapsedMs(), 250);
    EXPECT_LT(watch.ElapsedMs(), 5000);
    ::close(filler);
    ::close(listener);
}

// Several processes at the rendezvous at once: each must be answered on its own "_out", which shows as
// every bootstrap succeeding (a reply sent to the wrong process names pipes that turn it away) and every
// session's identity naming the process whose pipes the server accepted.
TEST(PipePosix, ProcessesBootstrappingAtTheSameMomentAreEachAnsweredOnTheirOwnPipe) {
    // The children are forked while this process still has a single thread; the server starts after.
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    constexpr int kChildren = 4;
    std::vector<pid_t> children;
    for (int i = 0; i < kChildren; ++i) {
        const pid_t child = ::fork();
        if (child < 0) {
            break;
        }
        if (child == 0) {
            // No threads and no exit handlers here: only the bootstrap.
            ::close(gate[1]);
            char ignored;
            while (::read(gate[0], &ignored, 1) < 0 && errno == EINTR) {
            }
            auto connection = CreateRpcConnection(":pid:" + std::to_string(::getpid()));
            const bool ok = connection && connection->Call("ping") == std::string("{}") + '\0';
            connection.reset();
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(child);
    }
    EXPECT_EQ(children.size(), static_cast<std::size_t>(kChildren));
    ScriptedServer server;
    const bool started = server.Start();
    EXPECT_TRUE(started);
    ::close(gate[0]);
    ::close(gate[1]);  // every child sees the end of the gate at the same moment
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << child;
    }
    ASSERT_TRUE(started);
    ASSERT_TRUE(server.WaitForSessions(children.size()));
    for (std::size_t i = 0; i < children.size(); ++i) {
        const ScriptedSession session = server.Session(i);
        EXPECT_EQ(session.identity, ":pid:" + std::to_string(session.processId));
    }
}

// The client opens its private pipes strictly in the order "_out", "_in", "_callback": each listener
// starts full, so the client waits on whichever it opens first, and only the expected one is freed at
// each step. A client that opened them in another order would time out on a full pipe and fail.
TEST(PipePosix, TheBootstrapOpensThePrivatePipesInOrder) {
    const std::string base = "\\\\.\\pipe\\order\\private";
    ScriptedServerOptions options;
    options.rendezvousReply = Bytes(base.begin(), base.end());
    options.rendezvousReply->push_back(0);
    ScriptedServer server(options);
    ASSERT_TRUE(server.Start());

    const std::wstring wideBase(base.begin(), base.end());
    std::vector<int> listeners;
    std::vector<int> fillers;
    for (const wchar_t* suffix : {L"_out", L"_in", L"_callback"}) {
        const std::string path = PathOf(wideBase + suffix);
        listeners.push_back(RawListen(path, 0));
        fillers.push_back(RawConnect(path));
    }
    auto connection = std::async(std::launch::async, [] { return CreateRpcConnection(":pid:1"); });
    std::vector<int> accepted;
    for (int listener : listeners) {
        ::close(RawAccept(listener, 1000));              // free this pipe only
        accepted.push_back(RawAccept(listener, 10000));  // the client's connection must come here
        EXPECT_GE(accepted.back(), 0);
    }
    ASSERT_EQ(connection.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(connection.get());
    for (int fd : accepted) {
        ::close(fd);
    }
    for (int fd : fillers) {
        ::close(fd);
    }
    for (int fd : listeners) {
        ::close(fd);
    }
}

}  // namespace
}  // namespace sdk::test
