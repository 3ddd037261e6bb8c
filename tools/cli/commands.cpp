#include "cli/commands.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iomanip>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "cli/arguments.h"
#include "cli/server_names.h"
#include "veltari.h"

namespace cli {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_stop{false};

// A failed step, with everything the user needs to read in message.
struct Failure {
    int exitCode;
    std::string message;
};

std::string Plural(long long n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

class Session {
public:
    Session(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

    int Execute(const Invocation& what) {
        try {
            switch (what.command) {
                case Command::Help: out_ << HelpText(what.helpTopic); return kExitOk;
                case Command::Info: Info(); break;
                case Command::Devices: Devices(); break;
                case Command::Version:
                    out_ << "veltari-cli " << VELTARI_VERSION_STRING << " (Veltari library "
                         << VELTARI_VERSION_STRING << ")\n";
                    return kExitOk;
                case Command::Positions: Positions(what); break;
                case Command::Key: Keys(what); break;
                case Command::Set: Set(what); break;
                case Command::Get: Get(what); break;
                case Command::Control: Control(what); break;
                case Command::Priority: Priority(what); break;
                case Command::Property: Property(what); break;
                case Command::Watch: Watch(what); break;
            }
        } catch (const Failure& failure) {
            err_ << "veltari-cli: " << failure.message << "\n";
            return failure.exitCode;
        }
        return kExitOk;
    }

private:
    // ---- connection and errors ----------------------------------------------------------------------

    void Connect() {
        const auto started = Clock::now();
        details_ = VeltariPerformProtocolHandshake();
        if (details_.serverVersion == nullptr) {
            // Nothing listening fails at once; a server that is there but stopped or busy uses up the wait.
            if (Clock::now() - started >= std::chrono::milliseconds(1500)) {
                throw Failure{
                    kExitServerUnreachable,
                    "the lighting server did not answer: its pipes are there, but it gave no answer "
                    "within 5 seconds (is it stopped, suspended or busy?)"};
            }
            throw Failure{kExitServerUnreachable,
                          "the lighting server is not running: nothing answered on its pipes. Start it (for "
                          "example veltari-server) and try again."};
        }
        if (details_.breakingChanges && !warnedIncompatible_) {
            warnedIncompatible_ = true;
            err_ << "veltari-cli: warning: " << IncompatibleReason() << "; answers may be wrong\n";
        }
    }

    // Why the handshake found the two protocols incompatible: from protocol 10 on the server says so,
    // below that the library judges protocol 8 incompatible on its own.
    std::string IncompatibleReason() const {
        if (details_.serverProtocolVersion >= 10) {
            return "the server (protocol " + std::to_string(details_.serverProtocolVersion) +
                   ") declares breaking changes against this library's protocol " +
                   std::to_string(details_.sdkProtocolVersion);
        }
        return "this library (protocol " + std::to_string(details_.sdkProtocolVersion) +
               ") treats the server's protocol " + std::to_string(details_.serverProtocolVersion) +
               " as incompatible";
    }

    // Turns the last error of a failed call into a message. `what` names the step ("setting colours"),
    // `minProtocol` the protocol the call needs, `badArgument` what the server's "bad argument" means here.
    [[noreturn]] void Fail(const std::string& what, int minProtocol = 0, const std::string& badArgument = {}) {
        FailWith(VeltariGetLastError(), what, minProtocol, badArgument);
    }

    // As Fail, for a call about one device: a bad argument then means the server has no such device.
    [[noreturn]] void FailForDevice(const std::string& what, int minProtocol, int device) {
        const int error = VeltariGetLastError();  // before DeviceUnknown makes calls of its own
        FailWith(error, what, minProtocol, error == VeltariErrorBadArgument ? DeviceUnknown(device) : std::string());
    }

    [[noreturn]] void FailWith(int error, const std::string& what, int minProtocol, const std::string& badArgument) {
        switch (error) {
            case VeltariErrorSuccess:
                throw Failure{kExitRefused, what + " failed: the server refused the request"};
            case VeltariErrorServerUnreachable:
                throw Failure{kExitServerUnreachable,
                              what + " failed: the lighting server stopped answering (it is no longer running, "
                                     "or gave no answer within 5 seconds)"};
            case VeltariErrorServerFailure:
                throw Failure{kExitRefused, what + " failed: the server reported a failure of its own"};
            case VeltariErrorNoHandshake:
                throw Failure{kExitRefused, what + " failed: the library had no protocol handshake yet"};
            case VeltariErrorServerProtocolTooOld:
                throw Failure{kExitProtocolTooOld,
                              what + " needs a newer server: the server speaks protocol " +
                                  std::to_string(details_.serverProtocolVersion) + ", and this needs protocol " +
                                  std::to_string(minProtocol) + " or later"};
            case VeltariErrorBadArgument:
                throw Failure{kExitUsage, what + " failed: " +
                                              (badArgument.empty() ? "the server rejected an argument"
                                                                   : badArgument)};
            default:
                throw Failure{kExitRefused, what + " failed: the server reported " + ServerErrorText(error)};
        }
    }

    std::string DeviceUnknown(int device) {
        std::string text = "the server has no device " + std::to_string(device);
        const int count = VeltariGetDeviceCount();
        if (count >= 0) {
            text += count == 0 ? " (it has no devices)"
                               : " (its devices are 0 to " + std::to_string(count - 1) + ", see: veltari-cli devices)";
        }
        return text;
    }

    // Waits for Ctrl-C or the deadline; notices a server that goes away while waiting.
    void WaitUntilStopped(std::optional<Clock::time_point> deadline) {
        auto nextCheck = Clock::now() + std::chrono::seconds(1);
        while (!g_stop.load() && (!deadline || Clock::now() < *deadline)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (Clock::now() >= nextCheck) {
                nextCheck = Clock::now() + std::chrono::seconds(1);
                if (VeltariGetDeviceCount() < 0) Fail("staying connected");
            }
        }
    }

    void Hold(const Invocation& what) {
        if (!what.hold) return;
        if (what.holdSeconds > 0) {
            out_ << "holding the connection for " << what.holdSeconds << " s (Ctrl-C ends it)" << std::endl;
            WaitUntilStopped(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(what.holdSeconds)));
        } else {
            out_ << "holding the connection until Ctrl-C" << std::endl;
            WaitUntilStopped(std::nullopt);
        }
    }

    // ---- LED helpers -------------------------------------------------------------------------------

    int Resolve(const LedRef& led) {
        if (led.keyName == 0) return led.ledId;
        const int id = VeltariGetLedIdForKeyName(led.keyName);
        if (VeltariGetLastError() != VeltariErrorSuccess) {
            Fail(std::string("looking up key ") + led.keyName, 0, std::string("'") + led.keyName + "' is not a letter key");
        }
        if (id <= 0 || id > 911) {
            throw Failure{kExitUsage, std::string("the server knows no LED for key ") + led.keyName};
        }
        return id;
    }

    std::vector<int> LedsOf(std::optional<int> device) {
        VeltariLedPositions* positions = nullptr;
        if (device) {
            positions = VeltariGetLedPositionsByDeviceIndex(*device);
            if (!positions) FailForDevice("reading the LED positions of device " + std::to_string(*device), 3, *device);
        } else {
            positions = VeltariGetLedPositions();
            if (!positions) Fail("reading the LED positions");
        }
        std::vector<int> ids;
        std::set<int> seen;
        for (int i = 0; i < positions->positionsCount; ++i) {
            if (seen.insert(positions->positions[i].ledId).second) ids.push_back(positions->positions[i].ledId);
        }
        return ids;
    }

    // For a refused colour list: names the LEDs that the server's list of every LED lacks.
    std::string UnknownLeds(const std::vector<VeltariLedColor>& colors) {
        const VeltariLedPositions* all = VeltariGetLedPositions();
        std::set<int> known;
        for (int i = 0; all != nullptr && i < all->positionsCount; ++i) known.insert(all->positions[i].ledId);
        std::vector<int> missing;
        for (const auto& c : colors) {
            if (!known.count(c.ledId)) missing.push_back(c.ledId);
        }
        if (known.empty() || missing.empty()) return "the server does not know one of the LEDs";
        std::string text = missing.size() == 1 ? "the server has no LED " : "the server has no LEDs ";
        for (std::size_t i = 0; i < missing.size(); ++i) {
            text += (i == 0 ? "" : i + 1 == missing.size() ? " and " : ", ") + std::to_string(missing[i]);
        }
        return text + " (see: veltari-cli positions)";
    }

    static void RefuseDuplicates(const std::vector<VeltariLedColor>& colors) {
        std::set<int> seen;
        for (const auto& c : colors) {
            if (!seen.insert(c.ledId).second) {
                throw Failure{kExitUsage, "LED " + std::to_string(c.ledId) + " is given more than once"};
            }
        }
    }

    // ---- commands ----------------------------------------------------------------------------------

    void Info() {
        Connect();
        out_ << "library  version " << details_.sdkVersion << ", protocol " << details_.sdkProtocolVersion << "\n"
             << "server   version " << (*details_.serverVersion ? details_.serverVersion : "(none given)")
             << ", protocol " << details_.serverProtocolVersion << "\n"
             << "compatible: "
             << (details_.breakingChanges ? "no, " + IncompatibleReason() : std::string("yes")) << "\n";
    }

    void Devices() {
        Connect();
        const int count = VeltariGetDeviceCount();
        if (count < 0) Fail("counting the devices");
        out_ << Plural(count, "device", "devices") << "\n";
        for (int index = 0; index < count; ++index) {
            VeltariDeviceInfo* info = VeltariGetDeviceInfo(index);
            if (!info) FailForDevice("reading device " + std::to_string(index), 0, index);
            out_ << "\n" << "device " << index << ": " << DeviceTypeName(info->type) << " \"" << info->model << "\"\n";
            out_ << "  type " << info->type << ", " << Plural(info->ledsCount, "LED", "LEDs")
                 << ", physical layout " << info->physicalLayout << ", logical layout " << info->logicalLayout
                 << ", capabilities 0x" << std::hex << info->capsMask << std::dec << "\n";
            if (info->channelsCount > 0) {
                for (int c = 0; c < info->channelsCount; ++c) {
                    const VeltariChannel& channel = info->channels[c];
                    out_ << "  channel " << c << ": " << Plural(channel.totalLedsCount, "LED", "LEDs");
                    for (int d = 0; d < channel.devicesCount; ++d) {
                        out_ << (d == 0 ? ": " : ", ") << "type " << channel.devices[d].type << " with "
                             << Plural(channel.devices[d].deviceLedCount, "LED", "LEDs");
                    }
                    out_ << "\n";
                }
            }
            Properties(index);
        }
    }

    void Properties(int device) {
        if (details_.serverProtocolVersion < 6) return;
        std::string line;
        for (const auto& property : KnownProperties()) {
            std::string value;
            if (property.id & VeltariPropertyTypeBool) {
                bool b = false;
                if (!VeltariGetBoolPropertyValue(device, static_cast<VeltariDevicePropertyId>(property.id), &b)) continue;
                value = b ? "yes" : "no";
            } else {
                int i = 0;
                if (!VeltariGetInt32PropertyValue(device, static_cast<VeltariDevicePropertyId>(property.id), &i)) continue;
                value = std::to_string(i);
            }
            line += (line.empty() ? "  properties: " : ", ") + std::string(property.name) + " " + value;
        }
        if (!line.empty()) out_ << line << "\n";
    }

    void Positions(const Invocation& what) {
        Connect();
        VeltariLedPositions* positions = nullptr;
        if (what.device) {
            positions = VeltariGetLedPositionsByDeviceIndex(*what.device);
            if (!positions) FailForDevice("reading the LED positions of device " + std::to_string(*what.device), 3, *what.device);
        } else {
            positions = VeltariGetLedPositions();
            if (!positions) Fail("reading the LED positions");
        }
        out_ << Plural(positions->positionsCount, "LED", "LEDs")
             << (what.device ? " on device " + std::to_string(*what.device) : std::string(" in the default list"))
             << "\n";
        if (positions->positionsCount == 0) return;
        out_ << "   LED      top     left   height    width\n";
        for (int i = 0; i < positions->positionsCount; ++i) {
            const VeltariLedPosition& p = positions->positions[i];
            out_ << std::setw(6) << p.ledId << std::fixed << std::setprecision(1) << std::setw(9) << p.top
                 << std::setw(9) << p.left << std::setw(9) << p.height << std::setw(9) << p.width << "\n";
        }
        out_ << std::defaultfloat;
    }

    void Keys(const Invocation& what) {
        Connect();
        for (const auto& led : what.leds) {
            const int id = VeltariGetLedIdForKeyName(led.keyName);
            if (VeltariGetLastError() != VeltariErrorSuccess) Fail(std::string("looking up key ") + led.keyName);
            if (id == 0) {
                out_ << led.keyName << ": no LED\n";
            } else {
                out_ << led.keyName << ": LED " << id << "\n";
            }
        }
    }

    void Set(const Invocation& what) {
        Connect();
        if (what.priority) SetPriority(*what.priority);
        if (what.requestControl) RequestControl();
        // The colour buffer came with protocol 5; older servers get the same LEDs by id in one request.
        const bool buffered = details_.serverProtocolVersion >= 5;

        if (what.fill) {
            std::vector<int> devices;
            if (what.device) {
                devices.push_back(*what.device);
            } else {
                const int count = VeltariGetDeviceCount();
                if (count < 0) Fail("counting the devices");
                for (int i = 0; i < count; ++i) devices.push_back(i);
            }
            std::vector<VeltariLedColor> direct;
            std::set<int> seen;
            int total = 0;
            if (!buffered && !what.device && details_.serverProtocolVersion < 3) {
                // No positions per device before protocol 3: every LED the server lists.
                for (int id : LedsOf(std::nullopt)) direct.push_back({id, what.fill->r, what.fill->g, what.fill->b});
                total = static_cast<int>(direct.size());
            }
            for (int device : devices) {
                if (total > 0 && !buffered) break;
                std::vector<VeltariLedColor> colors;
                for (int id : LedsOf(device)) colors.push_back({id, what.fill->r, what.fill->g, what.fill->b});
                if (colors.empty()) {
                    if (what.device) throw Failure{kExitRefused, "device " + std::to_string(device) + " lists no LEDs"};
                    continue;
                }
                if (buffered) {
                    Buffer(device, colors);
                } else {
                    for (const auto& c : colors) {
                        if (seen.insert(c.ledId).second) direct.push_back(c);
                    }
                }
                total += static_cast<int>(colors.size());
            }
            if (buffered) {
                Flush();
            } else {
                SetById(direct);
            }
            out_ << "set " << Plural(total, "LED", "LEDs") << " on " << Plural(static_cast<long long>(devices.size()), "device", "devices")
                 << " to " << DescribeColor(*what.fill) << "\n";
        } else {
            std::vector<VeltariLedColor> colors;
            for (const auto& a : what.assignments) colors.push_back({Resolve(a.led), a.color.r, a.color.g, a.color.b});
            RefuseDuplicates(colors);
            if (what.device && buffered) {
                Buffer(*what.device, colors);
                Flush();
            } else {
                SetById(colors);
            }
            for (size_t i = 0; i < colors.size(); ++i) {
                out_ << "LED " << colors[i].ledId << " set to " << DescribeColor(what.assignments[i].color) << "\n";
            }
        }
        if (!what.hold) {
            err_ << "veltari-cli: note: a server may show an application's colours only while it stays connected "
                    "(the reference server does), and this tool has now disconnected; add --hold to keep them on\n";
        }
        Hold(what);
    }

    void SetById(const std::vector<VeltariLedColor>& colors) {
        if (colors.empty()) throw Failure{kExitRefused, "the server lists no LEDs to set"};
        if (!VeltariSetLedsColors(static_cast<int>(colors.size()), colors.data())) {
            const int error = VeltariGetLastError();  // before UnknownLeds makes calls of its own
            FailWith(error, "setting colours", 0, error == VeltariErrorBadArgument ? UnknownLeds(colors) : std::string());
        }
    }

    void Buffer(int device, const std::vector<VeltariLedColor>& colors) {
        if (!VeltariSetLedsColorsBufferByDeviceIndex(device, static_cast<int>(colors.size()), colors.data())) {
            Fail("buffering colours for device " + std::to_string(device), 5, "a colour was out of range");
        }
    }

    void Flush() {
        if (!VeltariSetLedsColorsFlushBuffer()) Fail("sending the colours", 5, "the server does not know a device or LED given");
    }

    void SetPriority(int priority) {
        if (!VeltariSetLayerPriority(priority)) Fail("setting the layer priority", 4, "priority " + std::to_string(priority) + " is out of range");
        out_ << "layer priority set to " << priority << "\n";
    }

    void RequestControl() {
        if (!VeltariRequestControl(VeltariAccessModeLightingControl)) {
            if (VeltariGetLastError() == VeltariErrorSuccess) {
                throw Failure{kExitRefused, "requesting control failed: the server refused it (another application "
                                            "may hold control of the lighting)"};
            }
            Fail("requesting control");
        }
        out_ << "control of the lighting granted\n";
    }

    void Get(const Invocation& what) {
        Connect();
        std::vector<VeltariLedColor> colors;
        std::vector<char> keys;
        if (what.leds.empty()) {
            for (int id : LedsOf(what.device)) colors.push_back({id, 0, 0, 0});
            keys.resize(colors.size(), 0);
            if (colors.empty()) {
                out_ << "no LEDs listed" << (what.device ? " for device " + std::to_string(*what.device) : std::string()) << "\n";
                return;
            }
        } else {
            for (const auto& led : what.leds) {
                colors.push_back({Resolve(led), 0, 0, 0});
                keys.push_back(led.keyName);
            }
            RefuseDuplicates(colors);
        }
        const int n = static_cast<int>(colors.size());
        if (what.device) {
            if (!VeltariGetLedsColorsByDeviceIndex(*what.device, n, colors.data())) {
                Fail("reading the colours of device " + std::to_string(*what.device), 5,
                     "the server gave no colours (does device " + std::to_string(*what.device) + " have these LEDs?)");
            }
        } else if (!VeltariGetLedsColors(n, colors.data())) {
            Fail("reading colours", 4, "the server gave no colours for these LEDs");
        }
        for (int i = 0; i < n; ++i) {
            out_ << "LED " << std::setw(3) << colors[i].ledId;
            if (keys[i] != 0) out_ << " (" << keys[i] << ")";
            out_ << "  " << DescribeColor({colors[i].r, colors[i].g, colors[i].b}) << "\n";
        }
    }

    void Control(const Invocation& what) {
        Connect();
        if (what.action == ControlAction::Request) {
            RequestControl();
        } else {
            if (!VeltariReleaseControl(VeltariAccessModeLightingControl)) Fail("releasing control", 2);
            out_ << "control of the lighting released\n";
        }
        Hold(what);
    }

    void Priority(const Invocation& what) {
        Connect();
        SetPriority(*what.priority);
        Hold(what);
    }

    void Property(const Invocation& what) {
        Connect();
        const int device = *what.device;
        const auto id = static_cast<VeltariDevicePropertyId>(what.propertyId);
        std::ostringstream name;
        name << "property 0x" << std::hex << what.propertyId << std::dec;
        if (const char* known = PropertyName(what.propertyId)) name << " (" << known << ")";
        const std::string context = "reading " + name.str() + " of device " + std::to_string(device);
        // A bad argument means no such device, or a device without the property.
        auto fail = [&] {
            const int error = VeltariGetLastError();
            const int count = error == VeltariErrorBadArgument ? VeltariGetDeviceCount() : -1;
            FailWith(error, context, 6,
                     count >= 0 && device >= count
                         ? DeviceUnknown(device)
                         : "device " + std::to_string(device) + " does not have " + name.str());
        };
        if (what.propertyId & VeltariPropertyTypeInt32) {
            int value = 0;
            if (!VeltariGetInt32PropertyValue(device, id, &value)) fail();
            out_ << "device " << device << " " << name.str() << ": " << value << "\n";
        } else {
            bool value = false;
            if (!VeltariGetBoolPropertyValue(device, id, &value)) fail();
            out_ << "device " << device << " " << name.str() << ": " << (value ? "true" : "false") << "\n";
        }
    }

    struct KeyEvent {
        VeltariKeyId key;
        bool pressed;
    };

    struct EventQueue {
        std::mutex mutex;
        std::condition_variable cv;
        std::deque<KeyEvent> events;
    };

    static void OnKey(void* context, VeltariKeyId key, bool pressed) {
        auto* queue = static_cast<EventQueue*>(context);
        {
            std::lock_guard lock(queue->mutex);
            queue->events.push_back({key, pressed});
        }
        queue->cv.notify_one();
    }

    void Watch(const Invocation& what) {
        Connect();
        // Never destroyed: registrations last until the library is unloaded, after static destructors.
        static EventQueue& queue = *new EventQueue;
        if (!VeltariRegisterKeypressCallback(&OnKey, &queue)) Fail("asking for key presses", 4);
        out_ << "watching key presses";
        if (what.count > 0) out_ << ", " << Plural(what.count, "event", "events");
        if (what.seconds > 0) out_ << ", " << what.seconds << " s";
        out_ << " (Ctrl-C ends)" << std::endl;
        const auto start = Clock::now();
        const std::optional<Clock::time_point> deadline =
            what.seconds > 0 ? std::optional(start + std::chrono::duration_cast<Clock::duration>(
                                                         std::chrono::duration<double>(what.seconds)))
                             : std::nullopt;
        auto nextCheck = start + std::chrono::seconds(1);
        int seen = 0;
        while (!g_stop.load() && (what.count == 0 || seen < what.count) && (!deadline || Clock::now() < *deadline)) {
            std::deque<KeyEvent> batch;
            {
                std::unique_lock lock(queue.mutex);
                queue.cv.wait_for(lock, std::chrono::milliseconds(50), [] { return !queue.events.empty(); });
                batch.swap(queue.events);
            }
            for (const auto& e : batch) {
                if (what.count > 0 && seen >= what.count) break;
                ++seen;
                const double t = std::chrono::duration<double>(Clock::now() - start).count();
                char stamp[32];
                std::snprintf(stamp, sizeof stamp, "%8.3f", t);
                const char* name = VendorKeyName(e.key);
                out_ << stamp << "  key " << (name ? std::string(name) + " (" + std::to_string(e.key) + ")" : std::to_string(e.key))
                     << " " << (e.pressed ? "down" : "up") << std::endl;
            }
            if (Clock::now() >= nextCheck) {
                nextCheck = Clock::now() + std::chrono::seconds(1);
                if (VeltariGetDeviceCount() < 0) Fail("watching key presses");
            }
        }
        out_ << Plural(seen, "event", "events") << " seen\n";
    }

    std::ostream& out_;
    std::ostream& err_;
    VeltariProtocolDetails details_{};
    bool warnedIncompatible_ = false;
};

}  // namespace

void RequestStop() { g_stop.store(true); }

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    ParseResult parsed = ParseArguments(args);
    if (!parsed.invocation) {
        err << "veltari-cli: " << parsed.error << "\n";
        return kExitUsage;
    }
    g_stop.store(false);
    return Session(out, err).Execute(*parsed.invocation);
}

}  // namespace cli
