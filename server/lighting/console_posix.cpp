#include "lighting/console.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "transport/pipe_path_posix.h"

namespace sdk {
namespace {

// The signal handler may only write to a pipe; waiting threads poll its other end.
int g_shutdownPipe[2] = {-1, -1};
std::atomic<bool> g_shutdown{false};
std::once_flag g_pipeOnce;

void MakeShutdownPipe() {
    std::call_once(g_pipeOnce, [] {
        if (pipe(g_shutdownPipe) != 0) return;
        for (int fd : g_shutdownPipe) {
            fcntl(fd, F_SETFD, FD_CLOEXEC);
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
    });
}

void OnSignal(int) {
    const int saved = errno;
    g_shutdown.store(true);
    if (g_shutdownPipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] ssize_t ignored = write(g_shutdownPipe[1], &byte, 1);
    }
    errno = saved;
}

std::string g_inputBuffer;
bool g_inputEnded = false;

}  // namespace

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

int TerminalColumns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 0;
}

int TerminalRows() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0) return size.ws_row;
    return 0;
}

bool EnableTerminalEscapes() {
    return true;
}

void InstallShutdownHandlers() {
    MakeShutdownPipe();
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    // A client that vanishes mid-write must cost a failed write, not the server.
    signal(SIGPIPE, SIG_IGN);
}

void RequestShutdown() {
    MakeShutdownPipe();
    OnSignal(0);
}

bool WaitForShutdown(int timeoutMs) {
    MakeShutdownPipe();
    if (g_shutdown.load()) return true;
    if (g_shutdownPipe[0] < 0) return false;
    pollfd fd{g_shutdownPipe[0], POLLIN, 0};
    const int ready = poll(&fd, 1, timeoutMs);
    if (ready > 0) {
        char drain[16];
        while (read(g_shutdownPipe[0], drain, sizeof drain) > 0) {
        }
    }
    return g_shutdown.load();
}

std::string UsePipeRuntimeDirectory(const std::string& requested) {
    std::string directory = requested;
    if (directory.empty()) {
        const char* xdg = std::getenv("XDG_RUNTIME_DIR");
        // Without an absolute XDG_RUNTIME_DIR the pipes go to a per-user directory under /tmp, which the
        // pipe layer creates and checks itself.
        if (xdg == nullptr || xdg[0] != '/') return {};
        directory = xdg;
    }
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(directory, error);
    if (error)
        return ""
               " + directory + "
               " is not a usable path";
    const std::string path = absolute.string();

    // One rule wherever the directory came from: an existing one is used only when it is private and is
    // never changed; a missing one is created, last component only, when its parent exists.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno != ENOENT) return path + ": " + std::strerror(errno);
        const std::string parent = absolute.parent_path().string();
        struct stat parentInfo {};
        if (::stat(parent.c_str(), &parentInfo) != 0 || !S_ISDIR(parentInfo.st_mode)) {
            return path + " does not exist, nor does its parent directory " + parent +
                   " (only the last component is created)";
        }
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            return path + " cannot be created: " + std::strerror(errno);
        }
        if (::stat(path.c_str(), &info) != 0) return path + ": " + std::strerror(errno);
    }
    if (!S_ISDIR(info.st_mode)) return path + " is not a directory";
    if (info.st_uid != ::getuid()) {
        return path + " belongs to another user (uid " + std::to_string(info.st_uid) +
               "); the pipes need a directory of your own";
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        return path + " is writable by other users (mode " + mode +
               "), who could put a server of their own there; use a directory only you can write to";
    }
    if (!requested.empty() && ::setenv("XDG_RUNTIME_DIR", path.c_str(), 1) != 0) {
        return path + ": " + std::strerror(errno);
    }
    return {};
}

std::string PipeLocation(const std::wstring& pipeName) {
    if (const auto path = PipeSocketPath(pipeName, PipeDirectoryUse::kConnect)) return *path;
    std::string narrow;
    for (wchar_t c : pipeName) narrow += c == L'\\' ? '/' : static_cast<char>(c);
    // The name after its pipe prefix, under the runtime directory.
    return PipeRuntimeDirectory() + "/" + (narrow.size() > 9 ? narrow.substr(9) : narrow);
}

std::string PipeIsolationHint() {
    return ", or give this one its own directory with --runtime-dir";
}

LineStatus ReadInputLine(std::string& line, int timeoutMs) {
    for (;;) {
        const auto end = g_inputBuffer.find('\n');
        if (end != std::string::npos) {
            line = g_inputBuffer.substr(0, end);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            g_inputBuffer.erase(0, end + 1);
            return LineStatus::kLine;
        }
        if (g_inputEnded) {
            if (g_inputBuffer.empty()) return LineStatus::kEnd;
            line.swap(g_inputBuffer);
            g_inputBuffer.clear();
            return LineStatus::kLine;
        }
        // A background job that reads its terminal is stopped by the system; wait for the foreground.
        if (isatty(STDIN_FILENO) == 1 && tcgetpgrp(STDIN_FILENO) != getpgrp()) {
            poll(nullptr, 0, timeoutMs);
            return LineStatus::kTimeout;
        }
        pollfd fd{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&fd, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) return LineStatus::kTimeout;
        if (ready <= 0) return ready == 0 ? LineStatus::kTimeout : LineStatus::kEnd;
        char chunk[512];
        const ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) return LineStatus::kTimeout;
        if (got <= 0) {
            g_inputEnded = true;
            continue;
        }
        g_inputBuffer.append(chunk, static_cast<std::size_t>(got));
    }
}

}  // namespace sdk
