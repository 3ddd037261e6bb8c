// The server side of the pipes over Unix domain stream sockets, with the framing and the Windows result
// codes of the client streams.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

#include "pipes/pipe_server.h"
#include "transport/pipe_path_posix.h"
#include "transport/socket_io_posix.h"

namespace sdk {
namespace {

class ServerPipePosix final : public IServerPipe {
public:
    ServerPipePosix(int fd, std::uint64_t peerProcessId)
        : fd_(fd), peerProcessId_(peerProcessId), channel_(fd) {}
    ~ServerPipePosix() override { Close(); }

    bool Valid() const { return channel_.Valid(); }

    std::uint32_t ReadMessage(Bytes& out, int timeoutMs) override {
        if (fd_ < 0) {
            return kResultNotReady;
        }
        if (framingLost_) {
            return kErrorInvalidData;
        }
        return channel_.ReceiveFrame(out, timeoutMs, framingLost_);
    }

    std::uint32_t WriteMessage(const Bytes& in, int timeoutMs) override {
        if (fd_ < 0) {
            return kResultNotReady;
        }
        if (framingLost_) {
            return kErrorInvalidData;
        }
        return channel_.SendFrame(in, timeoutMs, framingLost_);
    }

    std::uint32_t WriteRaw(const Bytes& in, int timeoutMs) override {
        if (fd_ < 0) {
            return kResultNotReady;
        }
        std::size_t moved = 0;
        return channel_.SendExact(in.data(), in.size(), timeoutMs, moved);
    }

    void Cancel() override {
        std::lock_guard<std::mutex> lock(handleMutex_);
        if (fd_ >= 0) {
            channel_.Cancel(SHUT_RDWR);
        }
    }

    void Close() override {
        std::lock_guard<std::mutex> lock(handleMutex_);
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    std::uint64_t PeerProcessId() override { return peerProcessId_; }

private:
    int fd_;
    std::uint64_t peerProcessId_;
    SocketChannel channel_;
    // Orders a cancel from another thread with the close, so that a cancel never shuts down a descriptor
    // that has been closed and reused.
    std::mutex handleMutex_;
    // Once a frame was cut short nobody can tell where the next one starts.
    bool framingLost_ = false;
};

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Serialises the probe, unlink and bind of socket files in one directory across threads and processes,
// so two servers cannot both decide that a stale file is theirs to replace.
class DirectoryLock {
public:
    explicit DirectoryLock(const std::string& dir)
        : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~DirectoryLock() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    bool Held() const { return fd_ >= 0; }

private:
    int fd_;
};

sockaddr_un SocketAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

enum class Occupant { kNone, kStale, kLive, kForeign };

// Who holds the socket file: nobody, a dead server (the file is left over), a live server, or something
// that is not a socket at all (which is never removed).
Occupant ProbeSocketFile(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return errno == ENOENT ? Occupant::kNone : Occupant::kForeign;
    }
    if (!S_ISSOCK(info.st_mode)) {
        return Occupant::kForeign;
    }
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0) {
        return Occupant::kForeign;
    }
    const sockaddr_un address = SocketAddress(path);
    int rc;
    while ((rc = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address)) != 0 &&
           errno == EINTR) {
    }
    const int error = rc == 0 ? 0 : errno;
    ::close(probe);
    if (error == ECONNREFUSED) {
        return Occupant::kStale;
    }
    if (error == ENOENT) {
        return Occupant::kNone;
    }
    // Connected, or refused as busy: someone is listening.
    return Occupant::kLive;
}

class PipeListenerPosix final : public IPipeListener {
public:
    PipeListenerPosix(int fd, std::string path, dev_t device, ino_t inode)
        : fd_(fd), path_(std::move(path)), device_(device), inode_(inode) {}

    ~PipeListenerPosix() override {
        ::close(fd_);
        // Removed only while it is still this listener's file, never one that a later server bound.
        DirectoryLock lock(DirectoryOf(path_));
        struct stat info {};
        if (::lstat(path_.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_) {
            ::unlink(path_.c_str());
        }
    }

    std::unique_ptr<IServerPipe> Accept(int timeoutMs) override {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            if (cancel_.IsSignalled()) {
                return nullptr;
            }
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                ucred credentials{};
                socklen_t size = sizeof credentials;
                std::uint64_t pid = 0;
                if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &credentials, &size) == 0) {
                    pid = static_cast<std::uint64_t>(credentials.pid);
                }
                auto pipe = std::make_unique<ServerPipePosix>(client, pid);
                if (!pipe->Valid()) {
                    return nullptr;
                }
                return pipe;
            }
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                return nullptr;
            }
            int timeout = -1;
            if (timeoutMs > 0) {
                const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0) {
                    return nullptr;
                }
                timeout = static_cast<int>(left.count());
            }
            pollfd fds[2] = {{fd_, POLLIN, 0}, {cancel_.Descriptor(), POLLIN, 0}};
            if (::poll(fds, cancel_.Descriptor() >= 0 ? 2 : 1, timeout) < 0 && errno != EINTR) {
                return nullptr;
            }
        }
    }

    void Cancel() override { cancel_.Signal(); }

private:
    int fd_;
    std::string path_;
    dev_t device_;
    ino_t inode_;
    CancelEvent cancel_;
};

}  // namespace

std::unique_ptr<IPipeListener> ListenOnPipe(const std::wstring& pipeName) {
    const auto path = PipeSocketPath(pipeName, PipeDirectoryUse::kListen);
    if (!path) {
        return nullptr;
    }
    DirectoryLock lock(DirectoryOf(*path));
    if (!lock.Held()) {
        return nullptr;
    }
    switch (ProbeSocketFile(*path)) {
        case Occupant::kNone:
            break;
        case Occupant::kStale:
            if (::unlink(path->c_str()) != 0 && errno != ENOENT) {
                return nullptr;
            }
            break;
        case Occupant::kLive:
        case Occupant::kForeign:
            return nullptr;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return nullptr;
    }
    const sockaddr_un address = SocketAddress(*path);
    struct stat info {};
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::lstat(path->c_str(), &info) != 0) {
        ::close(fd);
        return nullptr;
    }
    if (::listen(fd, SOMAXCONN) != 0) {
        ::close(fd);
        ::unlink(path->c_str());
        return nullptr;
    }
    return std::make_unique<PipeListenerPosix>(fd, *path, info.st_dev, info.st_ino);
}

}  // namespace sdk
