// The reference lighting server as a child process, for tests that kill, stop and restart it. The child
// inherits this process's private pipe runtime directory, so it never meets another test's server.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <thread>
#include <string>
#include <vector>

namespace sdk::test {

class ServerProcess {
public:
    explicit ServerProcess(std::vector<std::string> arguments = {});
    ~ServerProcess();  // kills the child if it still runs
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts the child and waits until a protocol handshake through the library succeeds.
    bool Start();
    // SIGKILL, then reaps the child: its pipes close as the kernel tears the process down.
    void Kill();
    // SIGSTOP, returning once the child has stopped: alive, holding its pipes, answering nothing.
    void Stop();
    void Continue();  // SIGCONT
    bool IsRunning() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

private:
    std::vector<std::string> arguments_;
    pid_t pid_ = -1;
};

// Milliseconds since construction.
class Elapsed {
public:
    long long Ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_)
            .count();
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Polls `done` every few milliseconds until it answers true or the deadline passes.
template <typename Done>
bool WaitUntil(Done done, int timeoutMs = 15000) {
    Elapsed elapsed;
    while (!done()) {
        if (elapsed.Ms() > timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Threads of this process, from /proc: shows that threads the library started have ended.
int ThreadCount();

}  // namespace sdk::test
