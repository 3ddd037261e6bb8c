#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "terminal.h"

namespace demo {

struct RawTerminal::Saved {
    termios original{};
    bool active = false;
};

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

int TerminalColumns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

int TerminalRows() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0) return size.ws_row;
    return 24;
}

RawTerminal::RawTerminal() : saved_(new Saved) {
    if (isatty(STDIN_FILENO) != 1 || tcgetattr(STDIN_FILENO, &saved_->original) != 0) return;
    termios raw = saved_->original;
    // Keep ISIG so that Ctrl-C still arrives as a signal.
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    saved_->active = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
}

RawTerminal::~RawTerminal() {
    if (saved_->active) tcsetattr(STDIN_FILENO, TCSANOW, &saved_->original);
    delete saved_;
}

int RawTerminal::ReadKey() {
    if (!saved_->active) return -1;
    unsigned char c = 0;
    return read(STDIN_FILENO, &c, 1) == 1 ? c : -1;
}

}  // namespace demo
