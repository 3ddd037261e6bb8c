#include "lighting/console.h"

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

namespace sdk {
namespace {

HANDLE ShutdownEvent() {
    static HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

BOOL WINAPI OnConsoleEvent(DWORD type) {
    SetEvent(ShutdownEvent());
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        // The process ends when this handler returns; give the main thread time to clean up first.
        Sleep(3000);
    }
    return TRUE;
}

// A console read cannot be woken from another thread, so lines are read on a thread of their own that
// lives as long as the process.
struct InputQueue {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::string> lines;
    bool ended = false;
};

InputQueue& Input() {
    static InputQueue* queue = [] {
        auto* q = new InputQueue;
        std::thread([q] {
            std::string line;
            while (std::getline(std::cin, line)) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                std::lock_guard<std::mutex> lock(q->mutex);
                q->lines.push_back(line);
                q->ready.notify_all();
            }
            std::lock_guard<std::mutex> lock(q->mutex);
            q->ended = true;
            q->ready.notify_all();
        }).detach();
        return q;
    }();
    return *queue;
}

}  // namespace

bool StdoutIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

int TerminalRows() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
    return info.srWindow.Bottom - info.srWindow.Top + 1;
}

bool EnableTerminalEscapes() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode)) return false;
    constexpr DWORD kVirtualTerminalProcessing = 0x0004;
    return SetConsoleMode(out, mode | kVirtualTerminalProcessing) != 0;
}

void InstallShutdownHandlers() {
    ShutdownEvent();
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void RequestShutdown() {
    SetEvent(ShutdownEvent());
}

bool WaitForShutdown(int timeoutMs) {
    const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    return WaitForSingleObject(ShutdownEvent(), wait) == WAIT_OBJECT_0;
}

std::string UsePipeRuntimeDirectory(const std::string& requested) {
    if (requested.empty()) return {};
    return "pipes have no directory on Windows";
}

std::string PipeLocation(const std::wstring& pipeName) {
    std::string narrow;
    for (wchar_t c : pipeName) narrow += static_cast<char>(c);
    return narrow;
}

std::string PipeIsolationHint() {
    return {};
}

LineStatus ReadInputLine(std::string& line, int timeoutMs) {
    InputQueue& input = Input();
    std::unique_lock<std::mutex> lock(input.mutex);
    input.ready.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&] { return !input.lines.empty() || input.ended; });
    if (!input.lines.empty()) {
        line = std::move(input.lines.front());
        input.lines.pop_front();
        return LineStatus::kLine;
    }
    return input.ended ? LineStatus::kEnd : LineStatus::kTimeout;
}

}  // namespace sdk
