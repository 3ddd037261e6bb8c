// veltari-demo: the whole library at work against a running lighting server.
//
// It shakes hands, lists the devices, takes control of the lighting, and then animates the keyboard by
// its LED positions through the colour buffer at a steady frame rate. Key presses from the server light
// their keys at once with asynchronous sets and start rings that spread across the keyboard. Colours
// are read back from the server to draw the keyboard in the terminal. When standard output is not a
// terminal it writes a plain log instead and ends by itself after a few seconds.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli/server_names.h"
#include "effects.h"
#include "keyboard_view.h"
#include "terminal.h"
#include "veltari.h"

namespace demo {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) { g_interrupted.store(true); }

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Options {
    double seconds = -1;  // below 0: until q when interactive, kPipedSeconds otherwise
    int fps = 30;
};

constexpr double kPipedSeconds = 6;

// TEXT cut to WIDTH visible cells: escape sequences take none, a UTF-8 character one. Colours are reset
// where it was cut.
std::string FitToWidth(const std::string& text, int width) {
    std::string out;
    int used = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 0x1b) {
            const size_t end = text.find_first_of("mKHJ", i);
            out.append(text, i, end == std::string::npos ? std::string::npos : end - i + 1);
            if (end == std::string::npos) break;
            i = end;
            continue;
        }
        if ((c & 0xC0) != 0x80) {
            if (used == width) return out + "\x1b[0m";
            ++used;
        }
        out += text[i];
    }
    return out;
}

const char* const kUsage =
    "usage: veltari-demo [--seconds S] [--fps N] [--version]\n"
    "\n"
    "Drives the lighting of a running lighting server: device list, an animated keyboard, key presses\n"
    "lighting up keys, colours read back and drawn in the terminal.\n"
    "\n"
    "  --seconds S   end after S seconds (default: on q or Ctrl-C in a terminal, after 6 s otherwise)\n"
    "  --fps N       frames per second, 1 to 120 (default 30)\n"
    "  --version     print the version and exit\n";

std::optional<Options> ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (arg == "--version") {
            std::printf("veltari-demo %s (Veltari library %s)\n", VELTARI_VERSION_STRING,
                        VELTARI_VERSION_STRING);
            std::exit(0);
        }
        if ((arg == "--seconds" || arg == "--fps") && i + 1 < argc) {
            char* end = nullptr;
            const double value = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(value > 0)) {
                std::fprintf(stderr, "veltari-demo: %s needs a positive number, not '%s'\n", arg.c_str(), argv[i]);
                return std::nullopt;
            }
            if (arg == "--seconds") {
                options.seconds = value;
            } else if (value > 120) {
                std::fprintf(stderr, "veltari-demo: --fps runs from 1 to 120, not '%s'\n", argv[i]);
                return std::nullopt;
            } else {
                options.fps = std::max(1, static_cast<int>(value));
            }
            continue;
        }
        std::fprintf(stderr, "veltari-demo: unknown argument '%s'\n\n%s", arg.c_str(), kUsage);
        return std::nullopt;
    }
    return options;
}

// What the library's threads hand to the main loop. It is never freed: callbacks registered with the
// library may run until the library is unloaded, after main has returned.
struct Shared {
    struct Press {
        int led;
        Clock::time_point when;
    };
    std::mutex mutex;
    std::vector<Press> presses;
    std::set<int> held;
    std::deque<std::string> log;  // newest last
    std::map<int, int> keyLeds;  // key id to LED id
    std::map<int, char> labels;  // LED id to letter
    int keyEvents = 0;

    std::atomic<int> asyncSetsOk{0};
    std::atomic<int> asyncSetsFailed{0};
    std::atomic<int> asyncFlushes{0};
    std::atomic<bool> lastAsyncFlushOk{false};
};

Shared& State() {
    static Shared* shared = new Shared;
    return *shared;
}

void OnAsyncSet(void*, bool result, VeltariError) {
    (result ? State().asyncSetsOk : State().asyncSetsFailed).fetch_add(1);
}

void OnAsyncFlush(void*, bool result, VeltariError) {
    State().lastAsyncFlushOk.store(result);
    State().asyncFlushes.fetch_add(1);
}

// The reference server reports keys by their virtual-key codes: letters and digits by their character.
std::string KeyName(VeltariKeyId key) {
    if ((key >= 'A' && key <= 'Z') || (key >= '0' && key <= '9')) return std::string(1, static_cast<char>(key));
    switch (key) {
        case 8: return "Backspace";
        case 9: return "Tab";
        case 13: return "Enter";
        case 16: return "Shift";
        case 27: return "Esc";
        case 32: return "Space";
        default: return "key " + std::to_string(key);
    }
}

// Runs on a library thread for every key event the server reports.
void OnKey(void*, VeltariKeyId key, bool pressed) {
    Shared& s = State();
    int led = -1;
    std::string name;
    {
        std::lock_guard lock(s.mutex);
        ++s.keyEvents;
        if (auto found = s.keyLeds.find(key); found != s.keyLeds.end()) led = found->second;
        name = KeyName(key);
        if (led >= 0) {
            if (pressed) {
                s.held.insert(led);
                s.presses.push_back({led, Clock::now()});
            } else {
                s.held.erase(led);
            }
        }
        s.log.push_back(name + (pressed ? " down" : " up"));
        while (s.log.size() > 12) s.log.pop_front();
    }
    if (pressed && led >= 0) {
        // Light the key now rather than at the next frame.
        const VeltariLedColor white = {led, 255, 255, 255};
        VeltariSetLedsColorsAsync(1, &white, &OnAsyncSet, nullptr);
    }
}

struct Device {
    int index = 0;
    VeltariDeviceInfo* info = nullptr;
    std::vector<LedBox> leds;
    std::vector<Rgb> readBack;
};

class Demo {
public:
    explicit Demo(const Options& options) : options_(options), interactive_(StdoutIsTerminal()) {}

    int Run() {
        if (!Connect()) {
            std::printf(
                "No lighting server is running: the handshake got no answer on the server's pipes.\n"
                "Start one in another terminal with: veltari-server\n"
                "(from a source tree, `make demo` builds both and starts the server for you).\n");
            return 3;
        }
        if (!Tour()) return 1;
        Animate();
        Finish();
        return 0;
    }

private:
    // ---- setting up --------------------------------------------------------------------------------

    bool Connect() {
        details_ = VeltariPerformProtocolHandshake();
        return details_.serverVersion != nullptr;
    }

    static const char* ErrorName(int error) {
        switch (error) {
            case VeltariErrorSuccess: return "success";
            case VeltariErrorServerUnreachable: return "server unreachable";
            case VeltariErrorServerFailure: return "server failure";
            case VeltariErrorNoHandshake: return "no handshake";
            case VeltariErrorServerProtocolTooOld: return "server protocol too old";
            case VeltariErrorBadArgument: return "bad argument";
            default: return "server's own error code";
        }
    }

    bool Tour() {
        std::printf("Handshake\n");
        std::printf("  library  %s, protocol %d\n", details_.sdkVersion, details_.sdkProtocolVersion);
        std::printf("  server   %s, protocol %d%s\n", details_.serverVersion, details_.serverProtocolVersion,
                    details_.breakingChanges ? " (declares breaking changes)" : "");
        if (details_.serverProtocolVersion < 5) {
            std::printf("This demo needs a server of protocol 5 or later for the colour buffer.\n");
            return false;
        }

        const int count = VeltariGetDeviceCount();
        std::printf("\nDevices: %d\n", count);
        for (int i = 0; i < count; ++i) {
            Device device;
            device.index = i;
            device.info = VeltariGetDeviceInfo(i);
            if (!device.info) continue;
            std::printf("  %d  %-14s %-40s %3d LEDs", i, cli::DeviceTypeName(device.info->type), device.info->model,
                        device.info->ledsCount);
            for (int c = 0; c < device.info->channelsCount; ++c) {
                std::printf("%s%d", c == 0 ? ", channels of " : "+", device.info->channels[c].totalLedsCount);
            }
            std::printf("\n");
            PrintProperties(i);
            if (VeltariLedPositions* positions = VeltariGetLedPositionsByDeviceIndex(i)) {
                for (int p = 0; p < positions->positionsCount; ++p) {
                    const VeltariLedPosition& pos = positions->positions[p];
                    device.leds.push_back({pos.ledId, pos.top, pos.left, pos.height, pos.width, 0});
                }
            }
            devices_.push_back(device);
        }

        // The keyboard is the device that holds the LED of the A key.
        const int ledA = VeltariGetLedIdForKeyName('A');
        for (size_t d = 0; d < devices_.size() && keyboard_ < 0; ++d) {
            for (const auto& led : devices_[d].leds) {
                if (led.ledId == ledA) keyboard_ = static_cast<int>(d);
            }
        }
        if (keyboard_ < 0) {
            std::printf("\nNo device holds the LED of the A key, so there is no keyboard to animate.\n");
            return false;
        }
        Device& keyboard = devices_[static_cast<size_t>(keyboard_)];

        std::printf("\nLetter keys (VeltariGetLedIdForKeyName):");
        {
            std::lock_guard lock(State().mutex);
            for (char letter = 'A'; letter <= 'Z'; ++letter) {
                const int id = VeltariGetLedIdForKeyName(letter);
                if (id <= 0) continue;
                State().labels[id] = letter;
                State().keyLeds[letter] = id;
                if (letter <= 'F') std::printf(" %c=%d", letter, id);
            }
            for (auto& led : keyboard.leds) {
                auto label = State().labels.find(led.ledId);
                if (label != State().labels.end()) led.label = label->second;
            }
        }
        std::printf(" ...\n");

        const VeltariLedPositions* defaults = VeltariGetLedPositions();
        std::printf("LED positions: %d on the keyboard (device %d); the default list has %d\n",
                    static_cast<int>(keyboard.leds.size()), keyboard.index, defaults ? defaults->positionsCount : -1);

        // One synchronous set and read-back of the default list: the letters of the name in white.
        std::vector<VeltariLedColor> word;
        for (char letter : std::string("VELTARI")) {
            const int id = VeltariGetLedIdForKeyName(letter);
            if (id > 0 && std::none_of(word.begin(), word.end(), [id](auto& c) { return c.ledId == id; })) {
                word.push_back({id, 255, 255, 255});
            }
        }
        const bool setOk = !word.empty() && VeltariSetLedsColors(static_cast<int>(word.size()), word.data());
        std::vector<VeltariLedColor> check = word;
        for (auto& c : check) c.r = c.g = c.b = 0;
        const bool getOk = setOk && VeltariGetLedsColors(static_cast<int>(check.size()), check.data());
        const int white = static_cast<int>(std::count_if(check.begin(), check.end(), [](auto& c) {
            return c.r == 255 && c.g == 255 && c.b == 255;
        }));
        std::printf("Set V,E,L,T,A,R,I white: %s; read back: %s, %d of %d white\n", setOk ? "ok" : "failed",
                    getOk ? "ok" : ErrorName(VeltariGetLastError()), white, static_cast<int>(check.size()));

        TakeLighting(true);
        return true;
    }

    void PrintProperties(int device) {
        if (details_.serverProtocolVersion < 6) return;
        std::string line;
        for (const auto& property : cli::KnownProperties()) {
            char value[32];
            const auto id = static_cast<VeltariDevicePropertyId>(property.id);
            if (property.id & VeltariPropertyTypeBool) {
                bool b = false;
                if (!VeltariGetBoolPropertyValue(device, id, &b)) continue;
                std::snprintf(value, sizeof value, "%s", b ? "yes" : "no");
            } else {
                int n = 0;
                if (!VeltariGetInt32PropertyValue(device, id, &n)) continue;
                std::snprintf(value, sizeof value, "%d", n);
            }
            line += (line.empty() ? "" : ", ") + std::string(property.name) + " " + value;
        }
        if (!line.empty()) std::printf("     %s\n", line.c_str());
    }

    // Control, layer priority and key presses: asked for at the start and again after a reconnect.
    void TakeLighting(bool verbose) {
        const bool control = VeltariRequestControl(VeltariAccessModeLightingControl);
        const bool priority = VeltariSetLayerPriority(200);
        const bool keys = VeltariRegisterKeypressCallback(&OnKey, nullptr);
        if (verbose) {
            std::printf("Request control: %s; layer priority 200: %s; key-press callback: %s\n",
                        control ? "granted" : "refused", priority ? "set" : "refused",
                        keys ? "registered" : ErrorName(VeltariGetLastError()));
        }
    }

    // ---- the animation -----------------------------------------------------------------------------

    void Animate() {
        const double seconds = options_.seconds > 0 ? options_.seconds : (interactive_ ? 0 : kPipedSeconds);
        const auto frame = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / options_.fps));
        Device& keyboard = devices_[static_cast<size_t>(keyboard_)];
        const Wave wave(keyboard.leds);
        std::unique_ptr<KeyboardView> view;
        std::unique_ptr<RawTerminal> terminal;
        if (interactive_) {
            std::printf("\nStarting the animation: press q to quit.\n");
            std::fflush(stdout);
            std::this_thread::sleep_for(std::chrono::seconds(2));
            terminal = std::make_unique<RawTerminal>();
            view = std::make_unique<KeyboardView>(keyboard.leds, TerminalColumns() - 1);
            std::fputs("\x1b[?1049h\x1b[?25l\x1b[2J", stdout);
        } else {
            std::printf("\nAnimating for %.0f s at %d frames per second (standard output is not a terminal).\n",
                        seconds, options_.fps);
        }
        for (auto& device : devices_) device.readBack.assign(device.leds.size(), Rgb{});

        start_ = Clock::now();
        auto next = start_;
        auto nextLog = start_ + std::chrono::seconds(1);
        size_t logged = 0;
        while (!g_interrupted.load()) {
            const auto now = Clock::now();
            const double t = Seconds(now - start_);
            if (seconds > 0 && t >= seconds) break;
            if (terminal) {
                const int key = terminal->ReadKey();
                if (key == 'q' || key == 'Q' || key == 27) break;
            }
            if (connected_) {
                DrawFrame(t, wave);
            } else if (now >= nextReconnect_) {
                Reconnect();
            }
            ++frames_;
            if (view) {
                Show(*view, t);
            } else if (now >= nextLog) {
                nextLog += std::chrono::seconds(1);
                LogSecond(t, logged);
            }
            next += frame;
            if (next < Clock::now() - frame) next = Clock::now();  // fell behind: do not rush to catch up
            std::this_thread::sleep_until(next);
        }
        elapsed_ = Seconds(Clock::now() - start_);
        if (interactive_) std::fputs("\x1b[0m\x1b[?25h\x1b[?1049l", stdout);
        if (!interactive_) LogKeys(logged);
    }

    std::vector<Ripple> Ripples(Clock::time_point now, const std::vector<LedBox>& leds, std::set<int>& held) {
        std::vector<Ripple> ripples;
        std::lock_guard lock(State().mutex);
        auto& presses = State().presses;
        presses.erase(std::remove_if(presses.begin(), presses.end(),
                                     [now](auto& p) { return Seconds(now - p.when) > Wave::kRippleLife; }),
                      presses.end());
        for (const auto& press : presses) {
            for (const auto& led : leds) {
                if (led.ledId == press.led) {
                    ripples.push_back({led.left + led.width / 2, led.top + led.height / 2, Seconds(now - press.when)});
                }
            }
        }
        held = State().held;
        return ripples;
    }

    void DrawFrame(double t, const Wave& wave) {
        Device& keyboard = devices_[static_cast<size_t>(keyboard_)];
        std::set<int> held;
        const std::vector<Ripple> ripples = Ripples(Clock::now(), keyboard.leds, held);
        std::vector<Rgb> colors = wave.Frame(t, ripples);
        for (size_t i = 0; i < keyboard.leds.size(); ++i) {
            if (held.count(keyboard.leds[i].ledId) != 0) colors[i] = {255, 255, 255};
        }
        bool ok = Buffer(keyboard, colors);
        for (auto& device : devices_) {
            if (device.index != keyboard.index && !device.leds.empty()) {
                ok = ok && Buffer(device, Chase(static_cast<int>(device.leds.size()), t));
            }
        }
        const auto sent = Clock::now();
        if (ok && VeltariSetLedsColorsFlushBuffer()) {
            ++flushes_;
            flushTime_ += Seconds(Clock::now() - sent);
        } else if (!ok || VeltariGetLastError() == VeltariErrorServerUnreachable) {
            Lost();
            return;
        } else {
            ++flushesRefused_;
        }
        // Read back what the server now shows: every frame in a terminal, a few times a second otherwise.
        if (interactive_ || frames_ % 10 == 0) {
            for (auto& device : devices_) {
                if (device.leds.empty() || (device.index != keyboard.index && frames_ % 3 != 0)) continue;
                std::vector<VeltariLedColor> read;
                for (const auto& led : device.leds) read.push_back({led.ledId, 0, 0, 0});
                if (VeltariGetLedsColorsByDeviceIndex(device.index, static_cast<int>(read.size()), read.data())) {
                    ++readBacks_;
                    for (size_t i = 0; i < read.size(); ++i) device.readBack[i] = {read[i].r, read[i].g, read[i].b};
                } else if (VeltariGetLastError() == VeltariErrorServerUnreachable) {
                    Lost();
                    return;
                }
            }
        }
    }

    bool Buffer(const Device& device, const std::vector<Rgb>& colors) {
        std::vector<VeltariLedColor> list;
        std::set<int> seen;
        for (size_t i = 0; i < device.leds.size() && i < colors.size(); ++i) {
            if (seen.insert(device.leds[i].ledId).second) {
                list.push_back({device.leds[i].ledId, colors[i].r, colors[i].g, colors[i].b});
            }
        }
        return VeltariSetLedsColorsBufferByDeviceIndex(device.index, static_cast<int>(list.size()), list.data());
    }

    void Lost() {
        if (connected_) {
            connected_ = false;
            ++losses_;
            Note("lighting server lost; performing the handshake again every second");
        }
        nextReconnect_ = Clock::now() + std::chrono::seconds(1);
    }

    void Reconnect() {
        nextReconnect_ = Clock::now() + std::chrono::seconds(1);
        if (!Connect()) return;
        connected_ = true;
        TakeLighting(false);
        Note("reconnected to the lighting server");
    }

    void Note(const std::string& text) {
        std::lock_guard lock(State().mutex);
        State().log.push_back(text);
        while (State().log.size() > 12) State().log.pop_front();
        notes_.push_back(text);
    }

    void Show(const KeyboardView& view, double t) {
        std::string screen;
        char line[256];
        std::snprintf(line, sizeof line,
                      "\x1b[1mVeltari demo\x1b[0m  library %s (protocol %d)  server %s (protocol %d)  %s\x1b[K\n\x1b[K\n",
                      details_.sdkVersion, details_.sdkProtocolVersion,
                      details_.serverVersion ? details_.serverVersion : "-", details_.serverProtocolVersion,
                      connected_ ? "" : "\x1b[31mserver lost, retrying\x1b[0m");
        screen += line;
        const Device& keyboard = devices_[static_cast<size_t>(keyboard_)];
        std::snprintf(line, sizeof line, "%s \"%s\", device %d, %d LEDs, colours as read back from the server:\x1b[K\n",
                      cli::DeviceTypeName(keyboard.info->type), keyboard.info->model, keyboard.index,
                      static_cast<int>(keyboard.leds.size()));
        screen += line;
        screen += view.Render(keyboard.readBack);
        screen += "\x1b[K\n";
        for (const auto& device : devices_) {
            if (device.index == keyboard.index || device.leds.empty()) continue;
            std::snprintf(line, sizeof line, "%-15s ", cli::DeviceTypeName(device.info->type));
            screen += line;
            for (size_t i = 0; i < device.readBack.size() && i < 60; ++i) {
                const Rgb& c = device.readBack[i];
                std::snprintf(line, sizeof line, "\x1b[38;2;%d;%d;%dm\xe2\x96\x88", c.r, c.g, c.b);
                screen += line;
            }
            screen += "\x1b[0m\x1b[K\n";
        }
        std::snprintf(line, sizeof line,
                      "\x1b[K\n%.1f s  %d frames  %d flushes (%.2f ms each)  %d read-backs  %d key events  "
                      "%d async sets ok\x1b[K\n",
                      t, frames_, flushes_, flushes_ ? 1000 * flushTime_ / flushes_ : 0.0, readBacks_, KeyEvents(),
                      State().asyncSetsOk.load());
        screen += line;
        screen += "keys: ";
        {
            std::lock_guard lock(State().mutex);
            for (const auto& entry : State().log) screen += entry + "  ";
        }
        screen += "\x1b[K\n\x1b[Kq or Ctrl-C quits\x1b[K";
        // Every line within the terminal's width, and no line feed after the last one, so that nothing
        // wraps or scrolls the header away on a small terminal.
        const int width = std::max(20, TerminalColumns() - 1);
        std::vector<std::string> lines;
        for (size_t start = 0; start <= screen.size();) {
            const size_t end = std::min(screen.find('\n', start), screen.size());
            lines.push_back(FitToWidth(screen.substr(start, end - start), width));
            start = end + 1;
        }
        // Too tall for the terminal: the spacing lines go first.
        const size_t rows = static_cast<size_t>(std::max(4, TerminalRows()));
        for (size_t i = lines.size(); i-- > 0 && lines.size() > rows;) {
            if (lines[i].empty() || lines[i] == "\x1b[K") lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
        }
        if (lines.size() > rows) lines.erase(lines.begin() + 1, lines.begin() + static_cast<std::ptrdiff_t>(1 + lines.size() - rows));
        std::string fitted = "\x1b[H";
        for (size_t i = 0; i < lines.size(); ++i) fitted += lines[i] + (i + 1 < lines.size() ? "\x1b[K\n" : "\x1b[K");
        fitted += "\x1b[J";
        std::fputs(fitted.c_str(), stdout);
        std::fflush(stdout);
    }

    int KeyEvents() {
        std::lock_guard lock(State().mutex);
        return State().keyEvents;
    }

    void LogSecond(double t, size_t& logged) {
        LogKeys(logged);
        const Device& keyboard = devices_[static_cast<size_t>(keyboard_)];
        std::string sample;
        for (size_t i = 0; i < keyboard.leds.size(); ++i) {
            if (keyboard.leds[i].label == 'A' || keyboard.leds[i].label == 'L') {
                char text[48];
                std::snprintf(text, sizeof text, " %c=#%02X%02X%02X", keyboard.leds[i].label, keyboard.readBack[i].r,
                              keyboard.readBack[i].g, keyboard.readBack[i].b);
                sample += text;
            }
        }
        std::printf("%5.1f s  %3d frames, %3d flushes (%.2f ms each), %d read-backs, %d key events, %d async sets ok;"
                    " read back%s%s\n",
                    t, frames_, flushes_, flushes_ ? 1000 * flushTime_ / flushes_ : 0.0, readBacks_, KeyEvents(),
                    State().asyncSetsOk.load(), sample.c_str(), connected_ ? "" : "  (server lost)");
        std::fflush(stdout);
    }

    // Key events and notes that arrived since the last call, one line each.
    void LogKeys(size_t& logged) {
        std::vector<std::string> lines;
        {
            std::lock_guard lock(State().mutex);
            const size_t total = static_cast<size_t>(State().keyEvents) + notes_.size();
            const size_t fresh = std::min(total - logged, State().log.size());
            for (size_t i = State().log.size() - fresh; i < State().log.size(); ++i) lines.push_back(State().log[i]);
            logged = total;
        }
        if (lines.empty()) return;
        std::string text = "         events:";
        for (const auto& line : lines) text += " " + line + ";";
        std::printf("%s\n", text.c_str());
    }

    // ---- the end -----------------------------------------------------------------------------------

    void Finish() {
        if (connected_) {
            // Dark again, through the asynchronous flush; its callback says when the server has it.
            const int before = State().asyncFlushes.load();
            for (const auto& device : devices_) {
                if (!device.leds.empty()) Buffer(device, std::vector<Rgb>(device.leds.size()));
            }
            const bool queued = VeltariSetLedsColorsFlushBufferAsync(&OnAsyncFlush, nullptr);
            const auto deadline = Clock::now() + std::chrono::seconds(2);
            while (queued && State().asyncFlushes.load() == before && Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            const bool flushed = State().asyncFlushes.load() != before && State().lastAsyncFlushOk.load();
            const bool released = VeltariReleaseControl(VeltariAccessModeLightingControl);
            std::printf("\nLights off (asynchronous flush): %s; control released: %s\n", flushed ? "done" : "failed",
                        released ? "yes" : ErrorName(VeltariGetLastError()));
        }
        std::printf("Ran %.1f s: %d frames (%.1f per second), %d flushes averaging %.2f ms, %d read-backs, "
                    "%d key events, %d asynchronous sets (%d failed)",
                    elapsed_, frames_, elapsed_ > 0 ? frames_ / elapsed_ : 0.0, flushes_,
                    flushes_ ? 1000 * flushTime_ / flushes_ : 0.0, readBacks_, KeyEvents(),
                    State().asyncSetsOk.load() + State().asyncSetsFailed.load(), State().asyncSetsFailed.load());
        if (losses_ > 0) std::printf(", server lost %d times", losses_);
        std::printf(".\n");
    }

    Options options_;
    bool interactive_;
    VeltariProtocolDetails details_{};
    std::vector<Device> devices_;
    int keyboard_ = -1;
    bool connected_ = true;
    Clock::time_point start_;
    Clock::time_point nextReconnect_;
    std::vector<std::string> notes_;
    int frames_ = 0;
    int flushes_ = 0;
    int flushesRefused_ = 0;
    double flushTime_ = 0;
    int readBacks_ = 0;
    int losses_ = 0;
    double elapsed_ = 0;
};

}  // namespace
}  // namespace demo

int main(int argc, char** argv) {
    const auto options = demo::ParseOptions(argc, argv);
    if (!options) return 2;
    std::signal(SIGINT, demo::OnInterrupt);
    std::signal(SIGTERM, demo::OnInterrupt);
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    demo::Demo app(*options);
    const int status = app.Run();
    std::fflush(stdout);
    return status;
}
