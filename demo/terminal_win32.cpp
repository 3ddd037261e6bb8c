#include <conio.h>
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "terminal.h"

namespace demo {

struct RawTerminal::Saved {
    DWORD outputMode = 0;
    bool restore = false;
};

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        return info.srWindow.Right - info.srWindow.Left + 1;
    }
    return 80;
}

int TerminalRows() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        return info.srWindow.Bottom - info.srWindow.Top + 1;
    }
    return 24;
}

RawTerminal::RawTerminal() : saved_(new Saved) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (GetConsoleMode(out, &saved_->outputMode)) {
        saved_->restore = SetConsoleMode(out, saved_->outputMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    }
    SetConsoleOutputCP(CP_UTF8);
}

RawTerminal::~RawTerminal() {
    if (saved_->restore) SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), saved_->outputMode);
    delete saved_;
}

int RawTerminal::ReadKey() { return _kbhit() ? _getch() : -1; }

}  // namespace demo
