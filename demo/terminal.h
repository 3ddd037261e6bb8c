// The little the demo needs from a terminal: is it one, how wide, 24-bit colour, and single key presses.
#pragma once

namespace demo {

// True when standard output goes to a terminal (not a pipe or a file).
bool StdoutIsTerminal();

// Width and height of the terminal in character cells; 80 and 24 when they cannot be told.
int TerminalColumns();
int TerminalRows();

// While alive, key presses are read one at a time without echo or Enter, and escape sequences for
// colour are understood. The terminal is restored when it is destroyed.
class RawTerminal {
public:
    RawTerminal();
    ~RawTerminal();
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

    // The next key typed, or -1 when none is waiting. Never blocks.
    int ReadKey();

private:
    struct Saved;
    Saved* saved_;
};

}  // namespace demo
