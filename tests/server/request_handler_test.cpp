#include <gtest/gtest.h>

#include "lighting/device_data.h"
#include "lighting/request_handler.h"

namespace sdk {
namespace {

class RequestHandlerTest : public ::testing::Test {
protected:
    RequestHandlerTest() : catalog_(*LoadDeviceCatalog(BuiltInDeviceData()).catalog) {}

    // Sends a request text as client `client` and returns the response text.
    std::string Send(const std::string& request, ClientId client = 1) {
        RequestEffects effects;
        RequestHandler handler(catalog_, lighting_, identity_);
        std::string text = handler.Handle(client, Json::Parse(request), effects).ToText();
        last_ = effects;
        return text;
    }
    Json SendJson(const std::string& request, ClientId client = 1) {
        return Json::Parse(Send(request, client));
    }

    int KeyLed(char c) { return catalog_.LedIdForKeyName(c); }

    DeviceCatalog catalog_;
    LightingState lighting_;
    ServerIdentity identity_;
    RequestEffects last_;
};

TEST_F(RequestHandlerTest, HandshakeReportsTheConfiguredIdentity) {
    EXPECT_EQ(Send(R"({"method":"VeltraiHandshakeMethod","params":{"sdkProtocolVersion":9}})"),
              R"({"serverVersion":"1.0.0","serverProtocolVersion":9,"breakingChanges":false})");
    identity_ = ServerIdentity{"7.1", 12, true};
    EXPECT_EQ(Send(R"({"method":"VeltraiHandshakeMethod","params":{"sdkProtocolVersion":3}})"),
              R"({"serverVersion":"7.1","serverProtocolVersion":12,"breakingChanges":true})");
}

TEST_F(RequestHandlerTest, DeviceCountAndInfo) {
    EXPECT_EQ(Send(R"({"method":"VeltariGetDeviceCount"})"), R"({"errorCode":0,"result":4})");
    const Json keyboard = SendJson(R"({"method":"VeltariGetDeviceInfo","params":{"deviceIndex":0}})");
    EXPECT_EQ(keyboard.Get("errorCode").AsInt(), 0);
    EXPECT_EQ(keyboard.Get("result").Get("type").AsInt(), 1);
    EXPECT_EQ(keyboard.Get("result").Get("model").AsString(), catalog_.Device(0)->model);
    EXPECT_EQ(keyboard.Get("result").Get("ledsCount").AsInt(),
              static_cast<int>(catalog_.Device(0)->leds.size()));
    EXPECT_FALSE(keyboard.Get("result").HasMember("channels"));

    const Json controller = SendJson(R"({"method":"VeltariGetDeviceInfo","params":{"deviceIndex":3}})");
    const Json channels = controller.Get("result").Get("channels");
    ASSERT_EQ(channels.Size(), 2);
    EXPECT_EQ(channels.Get(0).Get("totalLedsCount").AsInt(), catalog_.Device(3)->channels[0].TotalLedCount());
    EXPECT_EQ(channels.Get(1).Get("devices").Get(0).Get("deviceLedCount").AsInt(),
              catalog_.Device(3)->channels[1].devices[0].ledCount);

    for (const char* bad : {R"({"deviceIndex":4})", R"({"deviceIndex":-1})", R"({"deviceIndex":0.5})",
                            R"({"deviceIndex":"0"})", R"({})"}) {
        EXPECT_EQ(Send(std::string(R"({"method":"VeltariGetDeviceInfo","params":)") + bad + "}"),
                  R"({"errorCode":5,"result":null})")
            << bad;
    }
    EXPECT_EQ(Send(R"({"method":"VeltariGetDeviceInfo"})"), R"({"errorCode":5,"result":null})");
}

TEST_F(RequestHandlerTest, PositionsPerDeviceAreLocalAndTheFullListIsOnTheDesk) {
    const Json mine =
        SendJson(R"({"method":"VeltariGetLedPositionsByDeviceIndex","params":{"deviceIndex":1}})");
    const DeviceDescription& mouse = *catalog_.Device(1);
    ASSERT_EQ(mine.Get("result").Size(), static_cast<int>(mouse.leds.size()));
    EXPECT_EQ(mine.Get("errorCode").AsInt(), 0);
    const Json first = mine.Get("result").Get(0);
    EXPECT_EQ(first.Get("ledId").AsInt(), mouse.leds[0].ledId);
    EXPECT_DOUBLE_EQ(first.Get("top").AsDouble(), mouse.leds[0].top);
    EXPECT_DOUBLE_EQ(first.Get("width").AsDouble(), mouse.leds[0].width);

    const Json all = SendJson(R"({"method":"VeltariGetLedPositions"})");
    std::size_t total = 0;
    for (const auto& d : catalog_.Devices()) total += d.leds.size();
    ASSERT_EQ(all.Get("result").Size(), static_cast<int>(total));
    const int offset = static_cast<int>(catalog_.Device(0)->leds.size());
    const Json mouseOnDesk = all.Get("result").Get(offset);
    EXPECT_EQ(mouseOnDesk.Get("ledId").AsInt(), mouse.leds[0].ledId);
    EXPECT_NEAR(mouseOnDesk.Get("left").AsDouble(), mouse.placementLeft + mouse.leds[0].left, 1e-9);

    EXPECT_EQ(Send(R"({"method":"VeltariGetLedPositionsByDeviceIndex","params":{"deviceIndex":9}})"),
              R"({"errorCode":5,"result":null})");
}

TEST_F(RequestHandlerTest, KeyNamesForLettersOfBothCases) {
    const int q = KeyLed('Q');
    ASSERT_NE(q, 0);
    EXPECT_EQ(
        SendJson(R"({"method":"VeltariGetLedIdForKeyName","params":{"keyName":81}})").Get("result").AsInt(),
        q);
    EXPECT_EQ(
        SendJson(R"({"method":"VeltariGetLedIdForKeyName","params":{"keyName":113}})").Get("result").AsInt(),
        q);
    EXPECT_EQ(Send(R"({"method":"VeltariGetLedIdForKeyName","params":{"keyName":200}})"),
              R"({"errorCode":5,"result":0})");
    EXPECT_EQ(Send(R"({"method":"VeltariGetLedIdForKeyName"})"), R"({"errorCode":5,"result":0})");
}

TEST_F(RequestHandlerTest, ColoursAreRememberedPerLedAndReadBack) {
    const int a = KeyLed('A'), b = KeyLed('B');
    const std::string set = "{\"method\":\"VeltariSetLedsColors\",\"params\":{\"ledsColors\":\"" +
                            std::to_string(a) + ",255,0,0#" + std::to_string(b) + ",0,128,0\"}}";
    EXPECT_EQ(Send(set), R"({"errorCode":0,"result":true})");
    EXPECT_TRUE(last_.lightingChanged);
    // The get echoes the ids in the caller's order, whatever colours it sent.
    const std::string get = "{\"method\":\"VeltariGetLedsColors\",\"params\":{\"ledsColors\":\"" +
                            std::to_string(b) + ",-1,-1,-1#" + std::to_string(a) + ",0,0,0#1,0,0,0\"}}";
    EXPECT_EQ(SendJson(get).Get("ledsColors").AsString(),
              std::to_string(b) + ",0,128,0#" + std::to_string(a) + ",255,0,0#1,0,0,0");
    const std::string byDevice =
        "{\"method\":\"VeltariGetLedsColorsByDeviceIndex\",\"params\":{\"deviceIndex\":0,"
        "\"ledsColors\":\"" +
        std::to_string(a) + ",0,0,0\"}}";
    EXPECT_EQ(Send(byDevice), "{\"errorCode\":0,\"ledsColors\":\"" + std::to_string(a) + ",255,0,0\"}");
}

TEST_F(RequestHandlerTest, ARefusedColourListChangesNothing) {
    const int a = KeyLed('A');
    const std::string prefix =
        "{\"method\":\"VeltariSetLedsColors\",\"params\":{\"ledsColors\":\"" + std::to_string(a) + ",1,2,3#";
    for (const char* tail : {"900,1,1,1", "0,1,1,1", "912,1,1,1", "2,256,0,0", "2,0,-1,0", "2,0,0", "x"}) {
        EXPECT_EQ(Send(prefix + tail + "\"}}"), R"({"errorCode":5,"result":false})") << tail;
    }
    EXPECT_EQ(lighting_.Visible(a), Rgb{});
    EXPECT_FALSE(last_.lightingChanged);
    EXPECT_EQ(Send(R"({"method":"VeltariSetLedsColors","params":{"ledsColors":5}})"),
              R"({"errorCode":5,"result":false})");
    EXPECT_EQ(Send(R"({"method":"VeltariSetLedsColors"})"), R"({"errorCode":5,"result":false})");
}

TEST_F(RequestHandlerTest, GetsOfUnknownLedsOrDevicesGiveNoColours) {
    const int mouseLed = catalog_.Device(1)->leds[0].ledId;
    const std::string expected = R"({"errorCode":5,"ledsColors":null})";
    EXPECT_EQ(Send(R"({"method":"VeltariGetLedsColors","params":{"ledsColors":"900,0,0,0"}})"), expected);
    EXPECT_EQ(Send(R"({"method":"VeltariGetLedsColors","params":{"ledsColors":"1,0,0"}})"), expected);
    EXPECT_EQ(Send(R"({"method":"VeltariGetLedsColors"})"), expected);
    EXPECT_EQ(Send("{\"method\":\"VeltariGetLedsColorsByDeviceIndex\",\"params\":{\"deviceIndex\":0,"
                   "\"ledsColors\":\"" +
                   std::to_string(mouseLed) + ",0,0,0\"}}"),
              expected);
    EXPECT_EQ(
        Send(
            R"({"method":"VeltariGetLedsColorsByDeviceIndex","params":{"deviceIndex":7,"ledsColors":"1,0,0,0"}})"),
        expected);
}

TEST_F(RequestHandlerTest, FlushAppliesEachDevicesListOrNothingAtAll) {
    const int a = KeyLed('A');
    const int mouseLed = catalog_.Device(1)->leds[0].ledId;
    const std::string good =
        "{\"method\":\"VeltariSetLedsColorsFlushBuffer\",\"params\":{\"ledsColorsByDeviceIndex\":["
        "{\"deviceIndex\":0,\"ledColors\":\"" +
        std::to_string(a) +
        ",0,0,255\"},"
        "{\"deviceIndex\":1,\"ledColors\":\"" +
        std::to_string(mouseLed) + ",1,2,3\"}]}}";
    EXPECT_EQ(Send(good, 4), R"({"errorCode":0,"result":true})");
    EXPECT_EQ(lighting_.Visible(a), (Rgb{0, 0, 255}));
    EXPECT_EQ(lighting_.LayerColour(4, mouseLed), (Rgb{1, 2, 3}));

    // The second entry names an LED of another device: the first entry must not be applied either.
    const std::string wrongDevice =
        "{\"method\":\"VeltariSetLedsColorsFlushBuffer\",\"params\":{\"ledsColorsByDeviceIndex\":["
        "{\"deviceIndex\":0,\"ledColors\":\"" +
        std::to_string(a) +
        ",9,9,9\"},"
        "{\"deviceIndex\":0,\"ledColors\":\"" +
        std::to_string(mouseLed) + ",1,1,1\"}]}}";
    EXPECT_EQ(Send(wrongDevice, 4), R"({"errorCode":5,"result":false})");
    EXPECT_EQ(lighting_.Visible(a), (Rgb{0, 0, 255}));

    for (const char* params : {R"({"ledsColorsByDeviceIndex":[{"deviceIndex":8,"ledColors":""}]})",
                               R"({"ledsColorsByDeviceIndex":[{"deviceIndex":0,"ledsColors":"1,0,0,0"}]})",
                               R"({"ledsColorsByDeviceIndex":[5]})", R"({"ledsColorsByDeviceIndex":"x"})"}) {
        EXPECT_EQ(
            Send(std::string(R"({"method":"VeltariSetLedsColorsFlushBuffer","params":)") + params + "}"),
            R"({"errorCode":5,"result":false})")
            << params;
    }
    // An empty buffer arrives as null.
    EXPECT_EQ(
        Send(R"({"method":"VeltariSetLedsColorsFlushBuffer","params":{"ledsColorsByDeviceIndex":null}})"),
        R"({"errorCode":0,"result":true})");
}

TEST_F(RequestHandlerTest, ControlAndLayersBetweenClients) {
    const int a = KeyLed('A');
    const std::string setRed = "{\"method\":\"VeltariSetLedsColors\",\"params\":{\"ledsColors\":\"" +
                               std::to_string(a) + ",255,0,0\"}}";
    const std::string setBlue = "{\"method\":\"VeltariSetLedsColors\",\"params\":{\"ledsColors\":\"" +
                                std::to_string(a) + ",0,0,255\"}}";
    const std::string acquire = R"({"method":"InternalAquireAccessMode","params":{"accessMode":0}})";
    const std::string release = R"({"method":"VeltraiReleaseControlMethod","params":{"accessMode":0}})";

    EXPECT_EQ(Send(R"({"method":"VeltariSetLayerPriority","params":{"layerPriority":200}})", 1),
              R"({"errorCode":0,"result":true})");
    Send(setRed, 1);
    Send(setBlue, 2);
    EXPECT_EQ(lighting_.Visible(a), (Rgb{255, 0, 0}));

    EXPECT_EQ(Send(acquire, 2), R"({"errorCode":0,"result":true})");
    EXPECT_EQ(lighting_.Visible(a), (Rgb{0, 0, 255}));
    EXPECT_EQ(Send(acquire, 1), R"({"errorCode":101,"result":false})");
    EXPECT_EQ(Send(release, 2), R"({"errorCode":0,"result":true})");
    EXPECT_EQ(lighting_.Visible(a), (Rgb{255, 0, 0}));
    EXPECT_EQ(lighting_.LayerColour(2, a), std::nullopt);
    EXPECT_EQ(Send(release, 1), R"({"errorCode":0,"result":true})");
    EXPECT_EQ(lighting_.Visible(a), Rgb{});

    for (const char* params : {R"({"accessMode":1})", R"({})"}) {
        EXPECT_EQ(Send(std::string(R"({"method":"InternalAquireAccessMode","params":)") + params + "}"),
                  R"({"errorCode":5,"result":false})");
        EXPECT_EQ(Send(std::string(R"({"method":"VeltraiReleaseControlMethod","params":)") + params + "}"),
                  R"({"errorCode":5,"result":false})");
    }
    for (const char* priority : {"256", "-1", "1.5", "\"3\""}) {
        EXPECT_EQ(Send(std::string(R"({"method":"VeltariSetLayerPriority","params":{"layerPriority":)") +
                       priority + "}}"),
                  R"({"errorCode":5,"result":false})")
            << priority;
    }
}

TEST_F(RequestHandlerTest, PropertiesCarryAResultOnlyWhenFound) {
    EXPECT_EQ(
        Send(R"({"method":"VeltariGetBoolPropertyValue","params":{"deviceIndex":2,"propertyId":4098}})"),
        R"({"errorCode":0,"result":true})");
    EXPECT_EQ(
        Send(R"({"method":"VeltariGetInt32PropertyValue","params":{"deviceIndex":1,"propertyId":8196}})"),
        R"({"errorCode":0,"result":1600})");
    for (const char* params : {R"({"deviceIndex":2,"propertyId":8195})",  // an int32 property, asked as bool
                               R"({"deviceIndex":0,"propertyId":4098})",  // not a keyboard property
                               R"({"deviceIndex":9,"propertyId":4097})", R"({"deviceIndex":0})"}) {
        EXPECT_EQ(Send(std::string(R"({"method":"VeltariGetBoolPropertyValue","params":)") + params + "}"),
                  R"({"errorCode":5})")
            << params;
    }
    EXPECT_EQ(
        Send(R"({"method":"VeltariGetInt32PropertyValue","params":{"deviceIndex":2,"propertyId":4098}})"),
        R"({"errorCode":5})");
}

TEST_F(RequestHandlerTest, KeypressRegistrationIsReportedAsAnEffect) {
    EXPECT_EQ(Send(R"({"method":"VeltariRegisterKeypressCallback"})"), R"({"errorCode":0})");
    EXPECT_TRUE(last_.registeredForKeys);
    Send(R"({"method":"VeltariGetDeviceCount"})");
    EXPECT_FALSE(last_.registeredForKeys);
}

TEST_F(RequestHandlerTest, AnOlderProtocolDoesNotKnowNewerMethods) {
    identity_.protocolVersion = 3;
    EXPECT_EQ(Send(R"({"method":"VeltariGetLedsColors","params":{"ledsColors":"1,0,0,0"}})"),
              R"({"errorCode":100})");
    EXPECT_EQ(Send(R"({"method":"VeltariRegisterKeypressCallback"})"), R"({"errorCode":100})");
    EXPECT_FALSE(last_.registeredForKeys);
    EXPECT_EQ(SendJson(R"({"method":"VeltariGetLedPositionsByDeviceIndex","params":{"deviceIndex":0}})")
                  .Get("errorCode")
                  .AsInt(),
              0);
    identity_.protocolVersion = 1;
    EXPECT_EQ(Send(R"({"method":"VeltraiReleaseControlMethod","params":{"accessMode":0}})"),
              R"({"errorCode":100})");
    EXPECT_EQ(Send(R"({"method":"VeltariGetDeviceCount"})"), R"({"errorCode":0,"result":4})");
    EXPECT_EQ(MethodMinimumProtocol("VeltariGetBoolPropertyValue"), 6);
    EXPECT_EQ(MethodMinimumProtocol("VeltariSetLedsColorsFlushBuffer"), 5);
}

TEST_F(RequestHandlerTest, MalformedAndUnknownRequests) {
    EXPECT_EQ(Send(R"({"method":"NoSuchMethod"})"), R"({"errorCode":100})");
    EXPECT_EQ(Send(R"({"method":"veltarigetdevicecount"})"), R"({"errorCode":100})");
    EXPECT_EQ(Send(R"({"params":{}})"), R"({"errorCode":102})");
    EXPECT_EQ(Send(R"({"method":5})"), R"({"errorCode":102})");
    EXPECT_EQ(Send(R"([1,2])"), R"({"errorCode":102})");
    EXPECT_EQ(Send(R"("text")"), R"({"errorCode":102})");
}

}  // namespace
}  // namespace sdk
