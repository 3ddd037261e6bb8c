#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>
#include <string>
#include <vector>

#include "lighting/device_data.h"
#include "lighting/lighting_server.h"
#include "lighting/server_options.h"
#include "web/web_access.h"
#include "web/web_view.h"

namespace sdk {
namespace {

TEST(WebAccessTest, OnlyLoopbackNamesOnThisPortAndTheRunsTokenPass) {
    for (const char* host : {"127.0.0.1:8080", "127.0.0.1", "localhost:8080", "LocalHost", "127.1.2.3:8080",
                             "[::1]:8080", "[::1]"})
        EXPECT_TRUE(IsLoopbackHost(host, 8080)) << host;
    for (const char* host :
         {"", "attacker.example:8080", "127.0.0.1.attacker.example", "localhost.:8080", "127.0.0.1:8081",
          "127.0.0.1:", "127.0.0.1:80x", "128.0.0.1", "127.0.0.256", "127.0.0", "127.0.0.1.1", "[::2]:8080",
          "[::1", "0.0.0.0:8080", "localhost:8080:1"})
        EXPECT_FALSE(IsLoopbackHost(host, 8080)) << host;
    EXPECT_TRUE(IsLoopbackOrigin("http://127.0.0.1:8080", 8080));
    EXPECT_TRUE(IsLoopbackOrigin("http://localhost:8080", 8080));
    for (const char* origin :
         {"null", "https://127.0.0.1:8080", "http://attacker.example:8080", "127.0.0.1:8080"})
        EXPECT_FALSE(IsLoopbackOrigin(origin, 8080)) << origin;

    const std::string token = MakeAccessToken();
    EXPECT_EQ(token.size(), 32u);
    EXPECT_NE(token, MakeAccessToken());
    EXPECT_TRUE(TokenMatches(token, token));
    EXPECT_FALSE(TokenMatches("", token));
    EXPECT_FALSE(TokenMatches(token.substr(0, 31), token));
    EXPECT_FALSE(TokenMatches(token + "0", token));
    EXPECT_FALSE(TokenMatches("", ""));

    EXPECT_EQ(ParseServerOptions({}).options.webPort, -1);
    EXPECT_EQ(ParseServerOptions({"--web"}).options.webPort, 0);
    EXPECT_EQ(ParseServerOptions({"--web=8080"}).options.webPort, 8080);
    EXPECT_NE(ParseServerOptions({"--web=0"}).error, "");
    EXPECT_NE(ParseServerOptions({"--web=http"}).error, "");
}

TEST(WebViewTest, ServesThePageAndPressesKeysOnlyForTheTokenAndALoopbackHost) {
    LightingServer server(std::move(*LoadDeviceCatalog(BuiltInDeviceData()).catalog), ServerIdentity{});
    std::mutex mutex;
    std::vector<std::string> keys;
    server.SetTraceSink([&](const TraceEvent& event) {
        std::lock_guard<std::mutex> lock(mutex);
        if (event.kind == TraceEvent::Kind::kKey)
            keys.push_back(event.text.substr(0, event.text.find(" ->")));
    });
    WebView web(server);
    std::string error;
    ASSERT_TRUE(web.Start(0, error)) << error;
    EXPECT_EQ(web.Url(), "http://127.0.0.1:" + std::to_string(web.Port()) + "/?token=" + web.Token());
    WebView second(server);
    EXPECT_FALSE(second.Start(web.Port(), error)) << "a second view shares port " << web.Port();

    httplib::Client client("127.0.0.1", web.Port());
    const auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("/page.js"), std::string::npos);
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'none'"),
              std::string::npos);
    EXPECT_EQ(client.Get("/page.js")->status, 200);
    EXPECT_EQ(client.Get("/", {{"Host", "attacker.example"}})->status, 403);

    const std::string press = "/api/key?vendorKey=65&pressed=true";
    const httplib::Headers withToken = {{"X-Veltari-Token", web.Token()}};
    EXPECT_EQ(client.Post(press.c_str())->status, 403);
    EXPECT_EQ(client.Post(press.c_str(), {{"X-Veltari-Token", std::string(32, '0')}}, "", "")->status, 403);
    EXPECT_EQ(
        client.Post(press.c_str(), {{"X-Veltari-Token", web.Token()}, {"Host", "attacker.example"}}, "", "")
            ->status,
        403);
    EXPECT_EQ(client
                  .Post(press.c_str(),
                        {{"X-Veltari-Token", web.Token()}, {"Origin", "http://attacker.example"}}, "", "")
                  ->status,
              403);
    EXPECT_EQ(client.Post("/api/key?vendorKey=9999&pressed=true", withToken, "", "")->status, 400);
    EXPECT_EQ(client.Post("/api/key?vendorKey=65&pressed=maybe", withToken, "", "")->status, 400);
    EXPECT_EQ(client.Post(press.c_str(), withToken, "", "")->status, 204);
    EXPECT_EQ(client.Post("/api/key?vendorKey=65&pressed=false", withToken, "", "")->status, 204);
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(keys, (std::vector<std::string>{"A down", "A up"}));
    }

    // The event stream needs the token; its first event describes the devices.
    EXPECT_EQ(client.Get("/api/events?token=0")->status, 403);
    std::string events;
    client.Get(("/api/events?token=" + web.Token()).c_str(), [&](const char* data, std::size_t size) {
        events.append(data, size);
        return events.find("event: leds") == std::string::npos;
    });
    EXPECT_EQ(events.rfind("event: devices\ndata: {", 0), 0u) << events.substr(0, 40);
    EXPECT_NE(events.find("\"model\":\"Veltari Virtual K104 Keyboard\""), std::string::npos);
    EXPECT_NE(events.find("event: status\ndata: {\"keyListeners\":0,\"control\":null,\"clients\":[]}"),
              std::string::npos);
    EXPECT_NE(events.find("event: leds\ndata: [[1,\"000000\"]"), std::string::npos);
    web.Stop();
}

}  // namespace
}  // namespace sdk
