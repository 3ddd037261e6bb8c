// The guards that keep other users and a hostile server from reaching through the pipes: the runtime
// directory must be the user's own, names from the server cannot leave it, sockets do not leak into
// child processes, and a vanished peer is an error code rather than a signal.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "pipe_test_util.h"
#include "support/pipe_runtime.h"
#include "support/scripted_server.h"
#include "transport/bootstrap.h"

namespace sdk::test {
namespace {

// Puts the runtime directory's mode (and owner) back however the test ends.
class RuntimeDirectoryChange {
public:
    RuntimeDirectoryChange() : dir_(UsePrivatePipeRuntime()) { ::stat(dir_.c_str(), &original_); }
    ~RuntimeDirectoryChange() {
        [[maybe_unused]] int rc = ::chown(dir_.c_str(), original_.st_uid, original_.st_gid);
        rc = ::chmod(dir_.c_str(), original_.st_mode & 07777);
    }
    const std::string& dir() const { return dir_; }

private:
    std::string dir_;
    struct stat original_ {};
};

TEST(PipeSecurity, ARuntimeDirectoryOthersMayWriteToIsRefused) {
    RuntimeDirectoryChange change;
    ASSERT_FALSE(change.dir().empty());
    const std::wstring name = UniquePipeName(L"guarded");
    auto listener = ListenOnPipe(name);
    ASSERT_TRUE(listener);
    ASSERT_TRUE(OpenFrameChannel(name, PipeEnd::kRead, 1000)) << "the private directory must be usable";
    for (mode_t mode : {0770, 0707, 0777}) {
        ASSERT_EQ(::chmod(change.dir().c_str(), mode), 0);
        EXPECT_FALSE(OpenFrameChannel(name, PipeEnd::kRead, 1000)) << std::oct << mode;
        EXPECT_FALSE(OpenFrameChannel(name, PipeEnd::kWrite, 1000)) << std::oct << mode;
    }
    ASSERT_EQ(::chmod(change.dir().c_str(), 0700), 0);
    EXPECT_TRUE(OpenFrameChannel(name, PipeEnd::kRead, 1000));
}

TEST(PipeSecurity, ARuntimeDirectoryOfAnotherUserIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving the directory to another user needs root";
    RuntimeDirectoryChange change;
    const std::wstring name = UniquePipeName(L"foreign");
    auto listener = ListenOnPipe(name);
    ASSERT_TRUE(listener);
    ASSERT_EQ(::chown(change.dir().c_str(), 65534, 65534), 0);
    EXPECT_FALSE(OpenFrameChannel(name, PipeEnd::kRead, 1000));
}

// A listening socket outside the runtime directory, where a name with ".." in it would lead.
class DecoySocket {
public:
    explicit DecoySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        ::unlink(path.c_str());
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                 ::listen(fd_, 8) == 0;
    }
    ~DecoySocket() {
        if (fd_ >= 0) ::close(fd_);
        ::unlink(path_.c_str());
    }
    bool bound() const { return bound_; }
    bool SomebodyConnected() const {
        const int client = ::accept(fd_, nullptr, nullptr);
        if (client < 0) return false;
        ::close(client);
        return true;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

TEST(PipeSecurity, PipeNamesFromTheServerCannotLeaveTheRuntimeDirectory) {
    const std::string runtime = UsePrivatePipeRuntime();
    ASSERT_FALSE(runtime.empty());
    const std::string decoyBase = "veltari-decoy-" + std::to_string(::getpid());
    // runtime is /tmp/veltari-test-XXXXXX, so one ".." reaches /tmp.
    const std::string parent = runtime.substr(0, runtime.rfind('/'));
    DecoySocket decoy(parent + "/" + decoyBase + "_out");
    ASSERT_TRUE(decoy.bound());

    const std::string hostile[] = {
        "\\\\.\\pipe\\..\\" + decoyBase,   "\\\\.\\pipe\\VeltariLumaneth\\..\\..\\" + decoyBase,
        "\\\\.\\pipe\\a\\.\\" + decoyBase, "\\\\.\\pipe\\\\" + decoyBase,
        parent + "/" + decoyBase,          "\\\\.\\pipe\\" + std::string(200, 'n'),
    };
    for (const std::string& name : hostile) {
        SCOPED_TRACE(name);
        ScriptedServerOptions options;
        options.rendezvousReply = Bytes(name.begin(), name.end());
        options.rendezvousReply->push_back(0);
        ScriptedServer server(options);
        ASSERT_TRUE(server.Start());
        EXPECT_EQ(CreateRpcConnection(":pid:1"), nullptr);
        EXPECT_FALSE(decoy.SomebodyConnected());
    }
}

bool IsSocket(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
}

TEST(PipeSecurity, PipesAreNotInheritedByChildProcesses) {
    PipeLink in = OpenInputLink();
    PipeLink out = OpenOutputLink();
    ASSERT_TRUE(in.server && out.server);
    int sockets = 0;
    DIR* fds = ::opendir("/proc/self/fd");
    ASSERT_NE(fds, nullptr);
    while (const dirent* entry = ::readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] == '.' || fd == ::dirfd(fds) || !IsSocket(fd)) continue;
        ++sockets;
        EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << "socket " << fd << " would leak into a child";
    }
    ::closedir(fds);
    EXPECT_GE(sockets, 4);  // two client ends, two server ends, listeners besides
}

TEST(PipeSecurity, APeerThatVanishedIsAnErrorNotASignal) {
    struct sigaction previous {};
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ASSERT_EQ(::sigaction(SIGPIPE, &fallback, &previous), 0);  // a SIGPIPE would now end the process
    PipeLink out = OpenOutputLink();
    ASSERT_TRUE(out.server);
    out.server->Close();
    out.server.reset();
    IoStatus status = IoStatus::kOk;
    for (int i = 0; i < 8 && status == IoStatus::kOk; ++i) status = out.client->Write(Bytes(1024, 'x'), 1000).status;
    EXPECT_EQ(status, IoStatus::kClosed);
    EXPECT_TRUE(out.client->IsBroken());
    ::sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace
}  // namespace sdk::test
