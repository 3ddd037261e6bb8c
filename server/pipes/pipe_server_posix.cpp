// The server side of the pipes over Unix domain stream sockets: names, listening and accepting; the
// connected ends are byte pipes like the client's.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
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
#include "transport/byte_pipe_posix.h"
#include "transport/pipe_path_posix.h"

namespace sdk {
namespace {

// A manual-reset event that is never reset: once signalled, every poll() that includes it ends at once.
class CancelEvent {
public:
    CancelEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~CancelEvent() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    CancelEvent(const CancelEvent&) = delete;
    CancelEvent& operator=(const CancelEvent&) = delete;

    void Signal() {
        const std::uint64_t one = 1;
        // The counter stays above zero because nobody reads it, so the event stays signalled.
        while (fd_ >= 0 && ::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    bool IsSignalled() const {
        pollfd fd = {fd_, POLLIN, 0};
        int n;
        while (fd_ >= 0 && (n = ::poll(&fd, 1, 0)) < 0 && errno == EINTR) {
        }
        return fd_ >= 0 && n > 0;
    }
    // -1 when the event could not be created; waits then cannot be cancelled.
    int Descriptor() const { return fd_; }

private:
    int fd_;
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
                return MakeServerPipe(AdoptSocket(client, SHUT_RDWR), pid);
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
