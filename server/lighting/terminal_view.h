// Shows every device's current colours, each LED drawn where it sits, in 24-bit colour on a terminal; or,
// where escape codes make no sense (a file, a pipe), as plain lines of LED colours.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lighting/device_catalog.h"
#include "lighting/lighting_server.h"

namespace sdk {

struct ViewLayout {
    // Width available, in character cells.
    int columns = 100;
    // Millimetres per character cell at full size; a device wider than the columns is scaled down.
    double mmPerColumn = 19.05 / 4;
    double mmPerRow = 19.05;
};

// The devices as coloured blocks, packed side by side where they fit. Lines end with "\n"; escape codes
// reset the colours at the end of every line.
std::string RenderColourView(const DeviceCatalog& catalog, const std::vector<std::vector<Rgb>>& colours,
                             const ViewLayout& layout);

// The same content without escape codes: per device, the LEDs that are lit as label=rrggbb.
std::string RenderPlainView(const DeviceCatalog& catalog, const std::vector<std::vector<Rgb>>& colours,
                            int columns);

// Redraws the view on its own thread whenever the colours change, at most every refresh period. On a
// terminal it draws on the alternate screen, with a status area of recent events; otherwise it prints the
// plain view, at most once per second.
class TerminalView {
public:
    struct Options {
        bool ansi = true;
        int refreshMs = 50;
        std::function<int()> columns;  // terminal width, 0 when unknown
        std::function<int()> rows;     // terminal height, 0 when unknown
        std::string title;
    };

    TerminalView(const LightingServer& server, Options options, std::FILE* out);
    ~TerminalView();
    TerminalView(const TerminalView&) = delete;
    TerminalView& operator=(const TerminalView&) = delete;

    void Start();
    // Restores the terminal.
    void Stop();
    // A line for the status area (colour view only).
    void AddEvent(std::string line);

private:
    void Run();
    void Draw(const LightingServer::Snapshot& snapshot);

    const LightingServer& server_;
    Options options_;
    std::FILE* out_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::string> events_;
    bool eventsChanged_ = false;
    bool stopping_ = false;
    bool started_ = false;
    std::thread thread_;
};

}  // namespace sdk
