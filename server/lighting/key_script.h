// Simulated key presses: a small script language for the command line and standard input, and the runner
// that plays a script in real time.
//
// A script is a list of steps separated by white space or commas:
//   KEY          press and release the key (a key name of the devices, compared without case)
//   +KEY  -KEY   press / release only
//   #N           a vendor key by number instead of a name (decimal or 0x hexadecimal), with + or - too
//   wait:MS      pause MS milliseconds
//   type:TEXT    type the text key by key (capitals with shift); "type:\"two words\"" for spaces
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "lighting/device_catalog.h"

namespace sdk {

struct KeyStep {
    enum class Kind { kPress, kRelease, kWait };
    Kind kind = Kind::kPress;
    int vendorKey = 0;
    int waitMs = 0;
    bool operator==(const KeyStep&) const = default;
};

struct KeyScript {
    std::vector<KeyStep> steps;
    // Why the script was refused; empty when it parsed.
    std::string error;
};

KeyScript ParseKeyScript(std::string_view text, const DeviceCatalog& catalog);

// Plays scripts on a thread of its own: each key event goes to the sink, followed by the pause between
// events; waits are cut short by Stop.
class KeyScriptRunner {
public:
    using Sink = std::function<void(int vendorKey, bool pressed)>;

    KeyScriptRunner(Sink sink, int eventGapMs);
    ~KeyScriptRunner();
    KeyScriptRunner(const KeyScriptRunner&) = delete;
    KeyScriptRunner& operator=(const KeyScriptRunner&) = delete;

    // Queues the steps after whatever is still to play. With repeat, the steps play again and again
    // until Stop.
    void Play(std::vector<KeyStep> steps, bool repeat = false);
    // Blocks until everything queued has played (not for repeating scripts). False on time-out.
    bool WaitIdle(int timeoutMs);
    void Stop();

private:
    void Run();
    // False when stopped during the wait.
    bool Pause(std::unique_lock<std::mutex>& lock, int ms);

    Sink sink_;
    int eventGapMs_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<KeyStep> queue_;
    std::vector<KeyStep> repeating_;
    bool busy_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace sdk
