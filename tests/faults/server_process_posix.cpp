#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "server_process.h"
#include "support/pipe_runtime.h"
#include "veltari.h"

namespace sdk::test {

ServerProcess::ServerProcess(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

ServerProcess::~ServerProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGCONT);
        Kill();
    }
}

bool ServerProcess::Start() {
    UsePrivatePipeRuntime();
    std::vector<std::string> args = {VELTARI_SERVER_PATH, "--no-stdin", "--no-view"};
    args.insert(args.end(), arguments_.begin(), arguments_.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // The child (only async-signal-safe calls until exec): quiet, default signal handling.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &fallback, nullptr);
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0) {
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    pid_ = pid;
    // Ready once a handshake gets an answer; a killed predecessor may have left its socket files behind,
    // so their presence proves nothing.
    const bool ready = WaitUntil([&] {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return true;
        }
        const VeltariProtocolDetails details = VeltariPerformProtocolHandshake();
        return details.serverVersion != nullptr;
    });
    return ready && pid_ > 0;
}

void ServerProcess::Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

void ServerProcess::Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGSTOP);
    // The signal is only queued by kill(); a thread of the server could still answer a request sent
    // right after. Once waitpid reports the stop, every thread of it has stopped.
    int status = 0;
    while (::waitpid(pid_, &status, WUNTRACED) < 0 && errno == EINTR) {
    }
}

void ServerProcess::Continue() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGCONT);
    int status = 0;
    while (::waitpid(pid_, &status, WCONTINUED) < 0 && errno == EINTR) {
    }
}

int ThreadCount() {
    int count = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks)) count += entry->d_name[0] != '.' ? 1 : 0;
        ::closedir(tasks);
    }
    return count;
}

}  // namespace sdk::test
