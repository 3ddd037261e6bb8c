#include "lighting/terminal_view.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace sdk {
namespace {

struct Cell {
    char ch = ' ';
    bool lit = false;
    Rgb colour;
};

struct Block {
    int width = 0;
    std::vector<std::string> lines;  // each exactly `width` visible cells
};

constexpr int kMinBlockWidth = 24;
constexpr int kBlockGap = 2;

// An LED that is off is drawn in a dark grey, so that the device's layout stays visible on a dark screen.
constexpr Rgb kOffColour{40, 40, 40};

std::string Background(Rgb c) {
    if (c == Rgb{}) c = kOffColour;
    return "\x1b[48;2;" + std::to_string(c.r) + ";" + std::to_string(c.g) + ";" + std::to_string(c.b) + "m";
}

// Dark text on light colours, light text on dark ones.
std::string Foreground(const Rgb& c) {
    const double luminance = 0.2126 * c.r + 0.7152 * c.g + 0.0722 * c.b;
    return luminance > 110 ? "\x1b[38;2;0;0;0m" : "\x1b[38;2;230;230;230m";
}

const char kReset[] = "\x1b[0m";

std::string Fit(const std::string& text, int width) {
    if (width <= 0) return {};
    std::string out = text.substr(0, static_cast<std::size_t>(width));
    out.resize(static_cast<std::size_t>(width), ' ');
    return out;
}

int Round(double v) {
    return static_cast<int>(std::floor(v + 0.5));
}

Block RenderDevice(int index, const DeviceDescription& device, const std::vector<Rgb>& colours,
                   const ViewLayout& layout) {
    Block block;
    std::string title("[");
    title.append(std::to_string(index)).append("] ").append(device.model);
    if (device.leds.empty()) {
        block.width =
            std::min<int>(std::max<int>(kMinBlockWidth, static_cast<int>(title.size())), layout.columns);
        block.lines.push_back(Fit(title, block.width));
        block.lines.push_back(Fit("  (no LEDs)", block.width));
        return block;
    }

    double minLeft = device.leds[0].left, minTop = device.leds[0].top;
    double maxRight = minLeft, maxBottom = minTop;
    for (const auto& led : device.leds) {
        minLeft = std::min(minLeft, led.left);
        minTop = std::min(minTop, led.top);
        maxRight = std::max(maxRight, led.left + led.width);
        maxBottom = std::max(maxBottom, led.top + led.height);
    }
    double mmPerColumn = layout.mmPerColumn;
    const int available = std::max(8, layout.columns);
    if ((maxRight - minLeft) / mmPerColumn > available - 1)
        mmPerColumn = (maxRight - minLeft) / (available - 1);

    const int gridWidth = std::max(1, Round((maxRight - minLeft) / mmPerColumn) + 1);
    const int gridHeight = std::max(1, Round((maxBottom - minTop) / layout.mmPerRow));
    std::vector<std::vector<Cell>> grid(static_cast<std::size_t>(gridHeight + 1),
                                        std::vector<Cell>(static_cast<std::size_t>(gridWidth)));
    for (std::size_t i = 0; i < device.leds.size(); ++i) {
        const LedDescription& led = device.leds[i];
        const Rgb colour = i < colours.size() ? colours[i] : Rgb{};
        const int col = Round((led.left - minLeft) / mmPerColumn);
        const int row = Round((led.top - minTop) / layout.mmPerRow);
        const int height = std::max(1, Round(led.height / layout.mmPerRow));
        // Edges snap to cell boundaries and the last column of a wide LED stays blank, so that neighbours
        // remain apart whatever the scale.
        const int end = Round((led.left + led.width - minLeft) / mmPerColumn);
        const int drawn = std::max(1, end - col - 1);
        // A label that does not fit is left out rather than cut mid-word.
        const std::string label = static_cast<int>(led.label.size()) <= drawn ? led.label : std::string();
        const int pad = std::max(0, (drawn - static_cast<int>(label.size())) / 2);
        for (int r = row; r < row + height && r < static_cast<int>(grid.size()); ++r) {
            for (int c = col; c < col + drawn && c < gridWidth; ++c) {
                Cell& cell = grid[static_cast<std::size_t>(r)][static_cast<std::size_t>(c)];
                cell.lit = true;
                cell.colour = colour;
                cell.ch = ' ';
                const int at = c - col - pad;
                if (r == row && at >= 0 && at < static_cast<int>(label.size()))
                    cell.ch = label[static_cast<std::size_t>(at)];
            }
        }
    }
    while (grid.size() > 1 &&
           std::none_of(grid.back().begin(), grid.back().end(), [](const Cell& c) { return c.lit; }))
        grid.pop_back();

    // Wide enough for the title where the terminal allows, so that small devices keep their names.
    block.width =
        std::max(gridWidth, std::min(std::max(kMinBlockWidth, static_cast<int>(title.size())), available));
    block.lines.push_back(Fit(title, block.width));
    for (const auto& cells : grid) {
        std::string line;
        bool inColour = false;
        Rgb current;
        for (const Cell& cell : cells) {
            if (cell.lit && (!inColour || !(cell.colour == current))) {
                line += Background(cell.colour) + Foreground(cell.colour);
                current = cell.colour;
                inColour = true;
            } else if (!cell.lit && inColour) {
                line += kReset;
                inColour = false;
            }
            line += cell.ch;
        }
        if (inColour) line += kReset;
        line += std::string(static_cast<std::size_t>(block.width - gridWidth), ' ');
        block.lines.push_back(std::move(line));
    }
    return block;
}

char Hex(int v) {
    return "0123456789abcdef"[v & 15];
}

std::string HexColour(const Rgb& c) {
    std::string s;
    for (int v : {int(c.r), int(c.g), int(c.b)}) {
        s += Hex(v >> 4);
        s += Hex(v);
    }
    return s;
}

}  // namespace

std::string RenderColourView(const DeviceCatalog& catalog, const std::vector<std::vector<Rgb>>& colours,
                             const ViewLayout& layout) {
    static const std::vector<Rgb> kNone;
    std::vector<Block> blocks;
    for (int i = 0; i < catalog.DeviceCount(); ++i) {
        const auto index = static_cast<std::size_t>(i);
        blocks.push_back(RenderDevice(i, catalog.Devices()[index],
                                      index < colours.size() ? colours[index] : kNone, layout));
    }

    // Pack blocks left to right into rows of the available width.
    std::string out;
    std::size_t first = 0;
    while (first < blocks.size()) {
        std::size_t last = first + 1;
        int used = blocks[first].width;
        while (last < blocks.size() && used + kBlockGap + blocks[last].width <= layout.columns) {
            used += kBlockGap + blocks[last].width;
            ++last;
        }
        std::size_t height = 0;
        for (std::size_t b = first; b < last; ++b) height = std::max(height, blocks[b].lines.size());
        for (std::size_t line = 0; line < height; ++line) {
            std::string text;
            for (std::size_t b = first; b < last; ++b) {
                if (b > first) text += std::string(kBlockGap, ' ');
                const Block& block = blocks[b];
                text += line < block.lines.size() ? block.lines[line]
                                                  : std::string(static_cast<std::size_t>(block.width), ' ');
            }
            while (!text.empty() && text.back() == ' ') text.pop_back();
            out += text + "\n";
        }
        out += "\n";
        first = last;
    }
    return out;
}

std::string RenderPlainView(const DeviceCatalog& catalog, const std::vector<std::vector<Rgb>>& colours,
                            int columns) {
    std::string out;
    for (int i = 0; i < catalog.DeviceCount(); ++i) {
        const DeviceDescription& device = catalog.Devices()[static_cast<std::size_t>(i)];
        out.append("[").append(std::to_string(i)).append("] ").append(device.model).append(":");
        const auto& deviceColours = static_cast<std::size_t>(i) < colours.size()
                                        ? colours[static_cast<std::size_t>(i)]
                                        : std::vector<Rgb>();
        std::string line = " ";
        bool any = false;
        for (std::size_t l = 0; l < device.leds.size() && l < deviceColours.size(); ++l) {
            if (deviceColours[l] == Rgb{}) continue;
            any = true;
            const LedDescription& led = device.leds[l];
            std::string item(" ");
            if (led.label.empty()) {
                item.append("#").append(std::to_string(led.ledId));
            } else {
                item.append(led.label);
            }
            item.append("=").append(HexColour(deviceColours[l]));
            if (static_cast<int>(line.size() + item.size()) > columns && line.size() > 1) {
                out.append(line).append("\n");
                line.assign(1, ' ');
            }
            line += item;
        }
        if (!any) line += " all dark";
        out += line + "\n";
    }
    return out;
}

TerminalView::TerminalView(const LightingServer& server, Options options, std::FILE* out)
    : server_(server), options_(std::move(options)), out_(out) {}

TerminalView::~TerminalView() {
    Stop();
}

void TerminalView::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_) return;
    started_ = true;
    if (options_.ansi) {
        // Alternate screen, cursor hidden: the user's scrollback is left as it was.
        std::fputs("\x1b[?1049h\x1b[?25l", out_);
        std::fflush(out_);
    }
    thread_ = std::thread([this] { Run(); });
}

void TerminalView::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!started_ || stopping_) return;
        stopping_ = true;
        wake_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
    if (options_.ansi) {
        std::fputs("\x1b[?25h\x1b[?1049l", out_);
        std::fflush(out_);
    }
}

void TerminalView::AddEvent(std::string line) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(line));
    while (events_.size() > 8) events_.pop_front();
    eventsChanged_ = true;
    wake_.notify_all();
}

void TerminalView::Run() {
    using Clock = std::chrono::steady_clock;
    std::uint64_t drawnChanges = ~std::uint64_t{0};
    int drawnColumns = -1;
    std::size_t drawnClients = ~std::size_t{0};
    auto lastDraw = Clock::now() - std::chrono::hours(1);
    const auto plainPeriod = std::chrono::seconds(1);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, std::chrono::milliseconds(options_.refreshMs));
        if (stopping_) break;
        const bool eventsChanged = eventsChanged_;
        lock.unlock();
        const auto snapshot = server_.TakeSnapshot();
        const int columns = options_.columns ? options_.columns() : 0;
        bool due = snapshot.changeCount != drawnChanges || snapshot.clientCount != drawnClients;
        if (options_.ansi) due = due || eventsChanged || columns != drawnColumns;
        if (!options_.ansi && Clock::now() - lastDraw < plainPeriod) due = false;
        if (due) {
            Draw(snapshot);
            drawnChanges = snapshot.changeCount;
            drawnClients = snapshot.clientCount;
            drawnColumns = columns;
            lastDraw = Clock::now();
        }
        lock.lock();
        if (due) eventsChanged_ = false;
    }
}

void TerminalView::Draw(const LightingServer::Snapshot& snapshot) {
    const int columns = options_.columns ? options_.columns() : 0;
    const int width = columns > 0 ? columns : 100;
    std::string status =
        options_.title + "  |  clients: " + std::to_string(snapshot.clientCount) +
        "  key listeners: " + std::to_string(snapshot.keyListenerCount) + "  control: " +
        (snapshot.controlHolder ? "client " + std::to_string(*snapshot.controlHolder) : "none");
    if (!options_.ansi) {
        const std::string text =
            "--- " + status + "\n" + RenderPlainView(server_.Catalog(), snapshot.colours, width);
        std::fputs(text.c_str(), out_);
        std::fflush(out_);
        return;
    }
    ViewLayout layout;
    layout.columns = width;
    std::vector<std::string> lines{Fit(status, width), ""};
    const std::string view = RenderColourView(server_.Catalog(), snapshot.colours, layout);
    for (std::size_t start = 0; start < view.size();) {
        const std::size_t end = view.find('\n', start);
        lines.push_back(view.substr(start, end - start));
        start = end == std::string::npos ? view.size() : end + 1;
    }
    std::vector<std::string> events;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& event : events_) events.push_back(Fit(event, width));
    }
    // A frame taller than the terminal would scroll the status line away: the view gives up its last
    // lines first, keeping up to three recent events below it.
    const std::size_t rows = options_.rows ? static_cast<std::size_t>(std::max(0, options_.rows())) : 0;
    if (rows > 2 && lines.size() + events.size() > rows) {
        const std::size_t kept = std::min<std::size_t>(events.size(), std::min<std::size_t>(3, rows - 2));
        events.erase(events.begin(), events.end() - static_cast<std::ptrdiff_t>(kept));
        lines.resize(std::min(lines.size(), rows - kept));
    }
    lines.insert(lines.end(), events.begin(), events.end());
    std::string frame = "\x1b[H";
    for (std::size_t i = 0; i < lines.size(); ++i) {
        // No line feed after the last line of a full screen, which would scroll it.
        frame += lines[i] + "\x1b[K" + (i + 1 < lines.size() || rows == 0 || lines.size() < rows ? "\n" : "");
    }
    frame += "\x1b[J";
    std::fputs(frame.c_str(), out_);
    std::fflush(out_);
}

}  // namespace sdk
