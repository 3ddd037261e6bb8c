#include "web/web_view.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "web/listen_socket.h"
#include "web/web_access.h"
#include "web/web_assets.h"

namespace sdk {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kTokenHeader[] = "X-Veltari-Token";
constexpr int kHttpThreads = 8;

// Browsers read standard JSON; names and identities may hold any byte a client sent.
void AppendString(std::string& out, std::string_view text) {
    out += '"';
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += ch;
        }
    }
    out += '"';
}

void AppendNumber(std::string& out, double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    out += text;
}

std::string HexColour(const Rgb& c) {
    char text[8];
    std::snprintf(text, sizeof text, "%02x%02x%02x", c.r, c.g, c.b);
    return text;
}

std::string DevicesJson(const DeviceCatalog& catalog, const ServerIdentity& identity) {
    std::string out = "{\"server\":";
    AppendString(out, identity.version);
    out += ",\"protocol\":" + std::to_string(identity.protocolVersion) + ",\"devices\":[";
    for (std::size_t d = 0; d < catalog.Devices().size(); ++d) {
        const DeviceDescription& device = catalog.Devices()[d];
        if (d > 0) out += ',';
        out += "{\"index\":" + std::to_string(d) + ",\"type\":" + std::to_string(device.type) + ",\"model\":";
        AppendString(out, device.model);
        out += ",\"physicalLayout\":" + std::to_string(device.physicalLayout) +
               ",\"logicalLayout\":" + std::to_string(device.logicalLayout) +
               ",\"capsMask\":" + std::to_string(device.capsMask) + ",\"properties\":[";
        for (std::size_t p = 0; p < device.properties.size(); ++p) {
            const PropertyDescription& property = device.properties[p];
            if (p > 0) out += ',';
            out += "{\"id\":" + std::to_string(property.id) + ",\"name\":";
            AppendString(out, property.name);
            out += property.kind == PropertyKind::kBool
                       ? std::string(",\"value\":") + (property.value != 0 ? "true" : "false")
                       : ",\"value\":" + std::to_string(property.value);
            out += '}';
        }
        out += "],\"channels\":[";
        for (std::size_t c = 0; c < device.channels.size(); ++c) {
            if (c > 0) out += ',';
            out += '[';
            const auto& members = device.channels[c].devices;
            for (std::size_t m = 0; m < members.size(); ++m) {
                if (m > 0) out += ',';
                out += "{\"type\":" + std::to_string(members[m].type) +
                       ",\"ledCount\":" + std::to_string(members[m].ledCount) + '}';
            }
            out += ']';
        }
        out += "],\"leds\":[";
        for (std::size_t l = 0; l < device.leds.size(); ++l) {
            const LedDescription& led = device.leds[l];
            if (l > 0) out += ',';
            out += "{\"id\":" + std::to_string(led.ledId) + ",\"left\":";
            AppendNumber(out, led.left);
            out += ",\"top\":";
            AppendNumber(out, led.top);
            out += ",\"width\":";
            AppendNumber(out, led.width);
            out += ",\"height\":";
            AppendNumber(out, led.height);
            if (!led.key.empty()) {
                out += ",\"key\":";
                AppendString(out, led.key);
                out += ",\"vendorKey\":" + std::to_string(led.vendorKey);
            }
            if (!led.label.empty()) {
                out += ",\"label\":";
                AppendString(out, led.label);
            }
            out += '}';
        }
        out += "]}";
    }
    out += "]}";
    return out;
}

std::string StatusJson(const LightingServer::Snapshot& snapshot) {
    std::string out = "{\"keyListeners\":" + std::to_string(snapshot.keyListenerCount) + ",\"control\":";
    out += snapshot.controlHolder ? std::to_string(*snapshot.controlHolder) : "null";
    out += ",\"clients\":[";
    for (std::size_t i = 0; i < snapshot.clients.size(); ++i) {
        const auto& client = snapshot.clients[i];
        if (i > 0) out += ',';
        out += "{\"id\":" + std::to_string(client.id) + ",\"identity\":";
        AppendString(out, client.identity);
        out += ",\"priority\":" + std::to_string(client.priority) +
               ",\"keys\":" + (client.keyListener ? "true" : "false") + '}';
    }
    out += "]}";
    return out;
}

// The LEDs whose colour differs from what the page was last sent, as [id,"rrggbb"] pairs; every LED when
// nothing was sent yet. Updates `sent`.
std::string ColourChanges(const DeviceCatalog& catalog, const std::vector<std::vector<Rgb>>& colours,
                          std::vector<std::vector<Rgb>>& sent) {
    const bool all = sent.size() != colours.size();
    std::string out;
    for (std::size_t d = 0; d < colours.size(); ++d) {
        const auto& leds = catalog.Devices()[d].leds;
        for (std::size_t l = 0; l < colours[d].size() && l < leds.size(); ++l) {
            if (!all && sent[d][l] == colours[d][l]) continue;
            out += out.empty() ? "[" : ",";
            out += "[" + std::to_string(leds[l].ledId) + ",\"" + HexColour(colours[d][l]) + "\"]";
        }
    }
    sent = colours;
    return out.empty() ? out : out + "]";
}

std::string Event(const char* name, const std::string& data) {
    return std::string("event: ") + name + "\ndata: " + data + "\n\n";
}

struct Page {
    std::uint64_t seenGeneration = 0;
    bool replaced = false;
    bool started = false;
    Clock::time_point lastSent;
    std::vector<std::vector<Rgb>> colours;
    std::string status;
};

}  // namespace

struct WebView::Impl {
    explicit Impl(LightingServer& s) : server(s) {}

    LightingServer& server;
    httplib::Server http;
    std::thread listener;
    std::string token;
    int port = 0;

    std::mutex mutex;
    std::condition_variable wake;
    std::uint64_t generation = 1;
    bool stopping = false;
    std::deque<std::shared_ptr<Page>> pages;

    void Changed() {
        std::lock_guard<std::mutex> lock(mutex);
        ++generation;
        if (!pages.empty()) wake.notify_all();
    }

    std::shared_ptr<Page> OpenPage() {
        auto page = std::make_shared<Page>();
        std::lock_guard<std::mutex> lock(mutex);
        if (static_cast<int>(pages.size()) >= kMaxPages) {
            pages.front()->replaced = true;
            pages.pop_front();
            wake.notify_all();
        }
        pages.push_back(page);
        return page;
    }

    void ClosePage(const std::shared_ptr<Page>& page) {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = pages.begin(); it != pages.end(); ++it) {
            if (*it == page) {
                pages.erase(it);
                break;
            }
        }
    }

    // Blocks until there is something new for the page, at most kMaxUpdatesPerSecond times a second.
    // False once the page is to end; `out` then holds its last words, if any.
    bool NextEvents(Page& page, std::string& out) {
        const auto period = std::chrono::microseconds(1000000 / kMaxUpdatesPerSecond);
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (page.started) {
                    wake.wait(lock,
                              [&] { return stopping || page.replaced || generation != page.seenGeneration; });
                    wake.wait_until(lock, page.lastSent + period, [&] { return stopping || page.replaced; });
                }
                if (page.replaced) out = Event("replaced", "{}");
                if (stopping || page.replaced) return false;
                page.seenGeneration = generation;
            }
            const LightingServer::Snapshot snapshot = server.TakeSnapshot();
            if (!page.started) {
                out += Event("devices", DevicesJson(server.Catalog(), server.Identity()));
                page.started = true;
            }
            std::string status = StatusJson(snapshot);
            if (status != page.status) {
                out += Event("status", status);
                page.status = std::move(status);
            }
            const std::string changes = ColourChanges(server.Catalog(), snapshot.colours, page.colours);
            if (!changes.empty()) out += Event("leds", changes);
            if (!out.empty()) {
                page.lastSent = Clock::now();
                return true;
            }
        }
    }

    bool Allowed(const httplib::Request& request) const {
        if (!IsLoopbackHost(request.get_header_value("Host"), port)) return false;
        return !request.has_header("Origin") || IsLoopbackOrigin(request.get_header_value("Origin"), port);
    }

    void Routes() {
        http.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
            response.set_header("Cache-Control", "no-store");
            response.set_header("X-Content-Type-Options", "nosniff");
            response.set_header("Referrer-Policy", "no-referrer");
            if (Allowed(request)) return httplib::Server::HandlerResponse::Unhandled;
            response.status = 403;
            response.set_content("This view answers only to http://127.0.0.1 or http://localhost.\n",
                                 "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        });
        for (const WebAsset& asset : WebAssets()) {
            const std::string path = asset.path;
            http.Get(path, [asset](const httplib::Request&, httplib::Response& response) {
                response.set_header("Content-Security-Policy",
                                    "default-src 'none'; script-src 'self'; style-src 'self'; "
                                    "connect-src 'self'; img-src 'self' data:; base-uri 'none'; "
                                    "form-action 'none'; frame-ancestors 'none'");
                response.set_content(asset.content.data(), asset.content.size(), asset.type);
            });
        }
        http.Get("/api/events", [this](const httplib::Request& request, httplib::Response& response) {
            if (!TokenMatches(request.get_param_value("token"), token)) {
                response.status = 403;
                response.set_content("The access token is missing or wrong.\n", "text/plain");
                return;
            }
            auto page = OpenPage();
            response.set_chunked_content_provider(
                "text/event-stream",
                [this, page](std::size_t, httplib::DataSink& sink) {
                    std::string events;
                    const bool more = NextEvents(*page, events);
                    if (!events.empty() && !sink.write(events.data(), events.size())) return false;
                    if (!more) sink.done();
                    return true;
                },
                [this, page](bool) { ClosePage(page); });
        });
        http.Post("/api/key", [this](const httplib::Request& request, httplib::Response& response) {
            if (!TokenMatches(request.get_header_value(kTokenHeader), token)) {
                response.status = 403;
                response.set_content("The access token is missing or wrong.\n", "text/plain");
                return;
            }
            const std::string key = request.get_param_value("vendorKey");
            const std::string pressed = request.get_param_value("pressed");
            int vendorKey = -1;
            if (!key.empty() && key.size() <= 6 && key.find_first_not_of("0123456789") == std::string::npos)
                vendorKey = std::stoi(key);
            if (vendorKey < 0 || server.Catalog().KeyNameForVendorKey(vendorKey).empty() ||
                (pressed != "true" && pressed != "false")) {
                response.status = 400;
                response.set_content("Expected vendorKey=<a key of the devices>&pressed=true|false.\n",
                                     "text/plain");
                return;
            }
            server.PressKey(vendorKey, pressed == "true");
            response.status = 204;
        });
    }
};

WebView::WebView(LightingServer& server) : impl_(std::make_unique<Impl>(server)) {}

WebView::~WebView() {
    Stop();
}

bool WebView::Start(int port, std::string& error) {
    Impl& impl = *impl_;
    if (impl.listener.joinable()) return true;
    impl.token = MakeAccessToken();
    impl.http.new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
    // One request per connection: an idle kept-alive connection would be watched by polling.
    impl.http.set_keep_alive_max_count(1);
    impl.http.set_keep_alive_timeout(2);
    impl.http.set_write_timeout(5);
    impl.http.set_payload_max_length(4096);
    impl.http.set_socket_options(
        [](auto socket) { MakeListenSocketExclusive(static_cast<std::uintptr_t>(socket)); });
    impl.Routes();
    impl.port = port == 0 ? impl.http.bind_to_any_port("127.0.0.1") : port;
    if (impl.port <= 0 || (port != 0 && !impl.http.bind_to_port("127.0.0.1", port))) {
        error = port == 0 ? "no free port on 127.0.0.1"
                          : "port " + std::to_string(port) + " on 127.0.0.1 is not free";
        impl.port = 0;
        return false;
    }
    impl.server.SetChangeObserver([&impl] { impl.Changed(); });
    impl.listener = std::thread([&impl] { impl.http.listen_after_bind(); });
    // A stop that came before the listening loop began would go unnoticed by it.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!impl.http.is_running() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

std::string WebView::Url() const {
    if (impl_->port == 0) return {};
    return "http://127.0.0.1:" + std::to_string(impl_->port) + "/?token=" + impl_->token;
}

int WebView::Port() const {
    return impl_->port;
}

const std::string& WebView::Token() const {
    return impl_->token;
}

void WebView::Stop() {
    Impl& impl = *impl_;
    if (!impl.listener.joinable()) return;
    impl.server.SetChangeObserver(nullptr);
    {
        std::lock_guard<std::mutex> lock(impl.mutex);
        impl.stopping = true;
        impl.wake.notify_all();
    }
    impl.http.stop();
    impl.listener.join();
}

}  // namespace sdk
