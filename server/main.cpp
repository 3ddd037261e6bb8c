// veltari-server: the reference lighting server. Serves virtual devices over the rendezvous and private
// pipes until it is interrupted; see --help.
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lighting/console.h"
#include "lighting/device_data.h"
#include "lighting/key_script.h"
#include "lighting/lighting_server.h"
#include "lighting/server_options.h"
#include "lighting/terminal_view.h"
#include "pipes/pipe_host.h"
#include "transport/bootstrap.h"
#include "transport/frame_channel.h"
#include "veltari_version.h"
#include "web/web_view.h"

namespace {

using namespace sdk;

constexpr char kProgram[] = "veltari-server";
// Longest text of one message that the trace prints; the rest is summarised.
constexpr std::size_t kTraceLimit = 4096;

// Messages may hold anything a client sent; keep the terminal safe from control bytes.
std::string Printable(const std::string& text) {
    std::string out;
    const std::size_t shown = std::min(text.size(), kTraceLimit);
    for (std::size_t i = 0; i < shown; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            static const char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    if (shown < text.size()) out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

// Lines for the user: to the view's status area while the colour view owns the screen, else to stderr.
class Log {
public:
    void Attach(TerminalView* view) {
        std::lock_guard<std::mutex> lock(mutex_);
        view_ = view;
    }
    void Line(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (view_ != nullptr) {
            view_->AddEvent(text);
            return;
        }
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
    }

private:
    std::mutex mutex_;
    TerminalView* view_ = nullptr;
};

std::string ClientTag(const TraceEvent& event) {
    return "client " + std::to_string(event.client) + " (" + Printable(event.identity) + ")";
}

void PlayLine(const std::string& line, const DeviceCatalog& catalog, KeyScriptRunner& runner, Log& log) {
    if (line == "quit" || line == "exit") {
        RequestShutdown();
        return;
    }
    const KeyScript script = ParseKeyScript(line, catalog);
    if (!script.error.empty()) {
        log.Line("key script: " + script.error);
        return;
    }
    runner.Play(script.steps);
}

int Run(const ServerOptions& options) {
    if (const std::string why = UsePipeRuntimeDirectory(options.runtimeDir); !why.empty()) {
        std::fprintf(stderr, "%s: %s cannot be used: %s\n", kProgram,
                     options.runtimeDir.empty() ? "XDG_RUNTIME_DIR" : "--runtime-dir", why.c_str());
        return 2;
    }

    DeviceDataResult data = options.devicesFile.empty() ? LoadDeviceCatalog(BuiltInDeviceData())
                                                        : LoadDeviceCatalogFile(options.devicesFile);
    if (!data.catalog) {
        std::fprintf(stderr, "%s: the device data is not usable: %s\n", kProgram, data.error.c_str());
        return 1;
    }

    KeyScript startScript;
    if (!options.keyScript.empty()) {
        startScript = ParseKeyScript(options.keyScript, *data.catalog);
        if (!startScript.error.empty()) {
            std::fprintf(stderr, "%s: --keys: %s\n", kProgram, startScript.error.c_str());
            return 2;
        }
    }
    KeyScript autoScript;
    if (!options.autoTypeText.empty()) {
        autoScript = ParseKeyScript("type:\"" + options.autoTypeText + "\" wait:1000", *data.catalog);
        if (!autoScript.error.empty()) {
            std::fprintf(stderr, "%s: --auto-type: %s\n", kProgram, autoScript.error.c_str());
            return 2;
        }
    }

    InstallShutdownHandlers();
    LightingServer server(std::move(*data.catalog), options.identity);
    Log log;

    const bool terminal = StdoutIsTerminal();
    const bool showView =
        options.view == ViewMode::kOn || (options.view == ViewMode::kAuto && terminal && !options.verbose);
    const bool colourView = showView && terminal && EnableTerminalEscapes();

    std::atomic<bool> keysUnheard{false};
    server.SetTraceSink([&](const TraceEvent& event) {
        switch (event.kind) {
            case TraceEvent::Kind::kConnected:
                log.Line(ClientTag(event) + " connected");
                break;
            case TraceEvent::Kind::kDisconnected:
                log.Line(ClientTag(event) + " disconnected: " + event.text);
                break;
            case TraceEvent::Kind::kRequest:
                if (options.verbose) log.Line(ClientTag(event) + " -> " + Printable(event.text));
                break;
            case TraceEvent::Kind::kResponse:
                if (options.verbose) log.Line(ClientTag(event) + " <- " + Printable(event.text));
                break;
            case TraceEvent::Kind::kNotification:
                if (options.verbose) log.Line(ClientTag(event) + " <~ " + Printable(event.text));
                break;
            case TraceEvent::Kind::kKey: {
                // Said once while no client listens, instead of on every simulated key.
                const bool unheard = event.text.size() >= 14 &&
                                     event.text.compare(event.text.size() - 14, 14, "-> 0 client(s)") == 0;
                if (unheard) {
                    if (!keysUnheard.exchange(true))
                        log.Line("key presses reach no client yet: none has registered for them");
                    break;
                }
                keysUnheard = false;
                if (options.verbose || colourView) log.Line("key " + event.text);
                break;
            }
        }
    });

    KeyScriptRunner runner([&server](int vendorKey, bool pressed) { server.PressKey(vendorKey, pressed); },
                           options.keyIntervalMs);
    if (!startScript.steps.empty()) {
        server.SetFirstKeyListenerHook(
            [&runner, &startScript, &options] { runner.Play(startScript.steps, options.loopKeyScript); });
    }

    PipeHost host([&server](PipeSession& session) {
        server.ServeClient(session.identity, *session.requests, *session.responses, *session.notifications);
    });
    const std::wstring rendezvous = ServerPipeBaseName();
    if (!host.Start()) {
        // Tell a live server apart from a place where pipes cannot be made.
        const std::shared_ptr<FrameChannel> probe =
            OpenFrameChannel(rendezvous + L"_in", PipeEnd::kWrite, 200);
        if (probe) {
            std::fprintf(stderr,
                         "%s: another lighting server is already serving the rendezvous pipes at %s.\n"
                         "Stop it first%s.\n",
                         kProgram, PipeLocation(rendezvous + L"_in").c_str(), PipeIsolationHint().c_str());
        } else {
            std::fprintf(stderr, "%s: cannot create the rendezvous pipes at %s%s.\n", kProgram,
                         PipeLocation(rendezvous + L"_in").c_str(),
                         PipeIsolationHint().empty()
                             ? ""
                             : " (check that the directory is yours and writable only by "
                               "you, or use --runtime-dir)");
        }
        return 3;
    }

    const std::string banner = std::string(kProgram) + " " + options.identity.version + ", protocol " +
                               std::to_string(options.identity.protocolVersion) +
                               (options.identity.breakingChanges ? " (breaking changes)" : "") + ", " +
                               std::to_string(server.Catalog().DeviceCount()) + " devices";
    std::fprintf(stderr, "%s\nServing %s (Ctrl+C to stop)\n", banner.c_str(),
                 PipeLocation(rendezvous + L"_in").c_str());
    if (options.readStdin && autoScript.steps.empty()) {
        std::fprintf(
            stderr,
            "Key presses: type a key script here and press Enter (A B Space, or type:hello), or start "
            "with --auto-type TEXT; \"quit\" stops the server.\n");
    }
    std::fflush(stderr);

    WebView web(server);
    if (options.webPort >= 0) {
        std::string error;
        if (!web.Start(options.webPort, error)) {
            std::fprintf(stderr, "%s: --web: %s\n", kProgram, error.c_str());
            host.Stop();
            server.Stop();
            return 3;
        }
        std::fprintf(stderr, "Web view: %s\n", web.Url().c_str());
        std::fflush(stderr);
    }

    std::unique_ptr<TerminalView> view;
    if (showView) {
        TerminalView::Options viewOptions;
        viewOptions.ansi = colourView;
        viewOptions.columns = TerminalColumns;
        viewOptions.rows = TerminalRows;
        viewOptions.title = banner;
        view = std::make_unique<TerminalView>(server, viewOptions, stdout);
        view->Start();
        if (colourView) log.Attach(view.get());
        if (colourView && !web.Url().empty()) log.Line("Web view: " + web.Url());
    }

    if (!autoScript.steps.empty()) runner.Play(autoScript.steps, /*repeat=*/true);

    std::atomic<bool> stopping{false};
    std::thread input;
    if (options.readStdin) {
        input = std::thread([&] {
            std::string line;
            while (!stopping.load()) {
                const LineStatus status = ReadInputLine(line, 200);
                if (status == LineStatus::kEnd) break;
                if (status == LineStatus::kLine && !line.empty())
                    PlayLine(line, server.Catalog(), runner, log);
            }
        });
    }

    while (!WaitForShutdown(1000)) {
    }

    stopping = true;
    if (input.joinable()) input.join();
    runner.Stop();
    web.Stop();
    host.Stop();  // the rendezvous and private pipes go away with their files
    server.Stop();
    log.Attach(nullptr);
    if (view) view->Stop();
    std::fprintf(stderr, "%s stopped\n", kProgram);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    const ParsedOptions parsed = ParseServerOptions(args);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "%s: %s\n", kProgram, parsed.error.c_str());
        return 2;
    }
    const ServerOptions& options = parsed.options;
    if (options.help) {
        std::fputs(ServerHelpText(kProgram).c_str(), stdout);
        return 0;
    }
    if (options.showVersion) {
        std::printf("%s %s (Veltari library %s); reports server version %s, protocol %d\n", kProgram,
                    VELTARI_VERSION_STRING, VELTARI_VERSION_STRING, options.identity.version.c_str(),
                    options.identity.protocolVersion);
        return 0;
    }
    if (options.dumpDevices) {
        const std::string_view text = BuiltInDeviceData();
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    }
    return Run(options);
}
