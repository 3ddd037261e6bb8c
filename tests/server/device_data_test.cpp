#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>

#include "lighting/device_data.h"
#ifdef VELTARI_HAVE_SERVER_NAMES
#include "cli/server_names.h"
#endif

namespace sdk {
namespace {

DeviceCatalog BuiltIn() {
    DeviceDataResult result = LoadDeviceCatalog(BuiltInDeviceData());
    EXPECT_EQ(result.error, "");
    return result.catalog.value_or(DeviceCatalog());
}

TEST(BuiltInDevices, AreAKeyboardMouseHeadsetAndStripController) {
    const DeviceCatalog catalog = BuiltIn();
    ASSERT_EQ(catalog.DeviceCount(), 4);
    const std::vector<int> types = {catalog.Device(0)->type, catalog.Device(1)->type, catalog.Device(2)->type,
                                    catalog.Device(3)->type};
    EXPECT_EQ(types, (std::vector<int>{1, 2, 3, 4}));
    for (const auto& device : catalog.Devices()) {
        EXPECT_FALSE(device.model.empty());
        EXPECT_FALSE(device.leds.empty());
        EXPECT_NE(device.capsMask, 0);
        bool hasBool = false, hasInt = false;
        for (const auto& p : device.properties) {
            hasBool = hasBool || (p.kind == PropertyKind::kBool && (p.id & kPropertyFlagBool) != 0);
            hasInt = hasInt || (p.kind == PropertyKind::kInt32 && (p.id & kPropertyFlagInt32) != 0);
        }
        EXPECT_TRUE(hasBool && hasInt) << device.model;
    }
}

TEST(BuiltInDevices, LedIdsAreUniqueAndWithinRange) {
    const DeviceCatalog catalog = BuiltIn();
    std::set<int> ids;
    for (const auto& device : catalog.Devices()) {
        for (const auto& led : device.leds) {
            EXPECT_GE(led.ledId, 1);
            EXPECT_LE(led.ledId, 911);
            EXPECT_TRUE(ids.insert(led.ledId).second) << led.ledId;
            EXPECT_GT(led.width, 0);
            EXPECT_GT(led.height, 0);
        }
    }
}

TEST(BuiltInDevices, KeyboardHasEveryLetterAtAFullSizeLayoutPosition) {
    const DeviceCatalog catalog = BuiltIn();
    const DeviceDescription& keyboard = *catalog.Device(0);
    EXPECT_GE(keyboard.leds.size(), 104u);
    for (char c = 'A'; c <= 'Z'; ++c) {
        const int upper = catalog.LedIdForKeyName(c);
        EXPECT_NE(upper, 0) << c;
        EXPECT_EQ(catalog.LedIdForKeyName(c - 'A' + 'a'), upper) << c;
        ASSERT_TRUE(catalog.FindLed(upper).has_value());
        EXPECT_EQ(catalog.FindLed(upper)->device, 0);
    }
    // Q W E R T Y on one row, 19.05 mm apart; A below Q, shifted right by a quarter key.
    const LedDescription* q = catalog.Led(catalog.LedIdForKeyName('Q'));
    const LedDescription* w = catalog.Led(catalog.LedIdForKeyName('W'));
    const LedDescription* a = catalog.Led(catalog.LedIdForKeyName('A'));
    ASSERT_TRUE(q && w && a);
    EXPECT_DOUBLE_EQ(q->top, w->top);
    EXPECT_NEAR(w->left - q->left, 19.05, 0.011);
    EXPECT_NEAR(a->top - q->top, 19.05, 0.011);
    EXPECT_NEAR(a->left - q->left, 19.05 / 4, 0.011);
    // Positions keep their fractions.
    EXPECT_NE(q->left, std::floor(q->left));
    EXPECT_NE(catalog.LedIdForKeyName('1'), 0);
    EXPECT_EQ(catalog.LedIdForKeyName('~'), 0);
}

TEST(BuiltInDevices, StripControllerChannelsCarryItsLeds) {
    const DeviceCatalog catalog = BuiltIn();
    const DeviceDescription& controller = *catalog.Device(3);
    ASSERT_EQ(controller.channels.size(), 2u);
    int total = 0;
    for (const auto& channel : controller.channels) {
        EXPECT_FALSE(channel.devices.empty());
        total += channel.TotalLedCount();
    }
    EXPECT_EQ(total, static_cast<int>(controller.leds.size()));
}

TEST(BuiltInDevices, KeyNamesResolveToVendorKeysBothWays) {
    const DeviceCatalog catalog = BuiltIn();
    EXPECT_EQ(catalog.VendorKeyForName("a"), catalog.VendorKeyForName("A"));
    ASSERT_TRUE(catalog.VendorKeyForName("space").has_value());
    EXPECT_EQ(catalog.KeyNameForVendorKey(*catalog.VendorKeyForName("Space")), "Space");
    EXPECT_FALSE(catalog.VendorKeyForName("NoSuchKey").has_value());
    EXPECT_EQ(catalog.KeyNameForVendorKey(-42), "");
#ifdef VELTARI_HAVE_SERVER_NAMES
    // veltari-cli watch names keys from its own table of these codes; it must agree with the devices.
    for (const auto& device : catalog.Devices()) {
        for (const auto& led : device.leds) {
            if (led.key.empty()) continue;
            const char* name = cli::VendorKeyName(led.vendorKey);
            EXPECT_EQ(name ? std::string(name) : std::string(), led.key) << led.vendorKey;
        }
    }
#endif
}

TEST(BuiltInDevices, MatchTheDefaultFileInTheSourceTree) {
    // The built-in copy is generated from this file; both must describe the same devices.
    std::string path = __FILE__;
    path = path.substr(0, path.find_last_of("/\\")) + "/../../server/devices/default.json";
    const DeviceDataResult fromFile = LoadDeviceCatalogFile(path);
    ASSERT_EQ(fromFile.error, "");
    const DeviceCatalog builtIn = BuiltIn();
    ASSERT_EQ(fromFile.catalog->DeviceCount(), builtIn.DeviceCount());
    for (int d = 0; d < builtIn.DeviceCount(); ++d)
        EXPECT_EQ(fromFile.catalog->Device(d)->leds.size(), builtIn.Device(d)->leds.size());
}

std::string OneDevice(const std::string& deviceMembers) {
    return R"({"devices":[{"type":1,"model":"M",)" + deviceMembers + "}]}";
}

TEST(DeviceDataLoader, AcceptsAMinimalDeviceAndHexPropertyIds) {
    const auto result = LoadDeviceCatalog(OneDevice(
        R"("leds":[{"ledId":5,"top":1.5,"left":2.25,"height":3,"width":4,"key":"Q","vendorKey":81}],)"
        R"("properties":[{"id":"0x1001","type":"bool","value":true},{"id":8194,"type":"int32","value":-7}])"));
    ASSERT_EQ(result.error, "");
    const DeviceDescription& device = *result.catalog->Device(0);
    EXPECT_EQ(device.leds[0].label, "Q");
    EXPECT_DOUBLE_EQ(device.leds[0].left, 2.25);
    ASSERT_NE(device.FindProperty(0x1001), nullptr);
    EXPECT_EQ(device.FindProperty(0x1001)->value, 1);
    EXPECT_EQ(device.FindProperty(8194)->value, -7);
    EXPECT_EQ(result.catalog->LedIdForKeyName('q'), 5);
}

TEST(DeviceDataLoader, RefusesFaultyDataAndSaysWhere) {
    const struct {
        std::string text;
        std::string expected;
    } cases[] = {
        {"not json", "line 1, column 1: expected a value, found 'n'"},
        {"{\n \"devices\": [1,]\n}", "line 2, column 16: expected a value, found ']'"},
        {"{\"devices\": [", "line 1, column 14: expected a value, found the end of the file"},
        {" \n", "the file is empty"},
        {"{}", "no devices"},
        {"[1]", "not a JSON object"},
        {R"({"device":[]})", "no devices"},
        {R"({"devices":[{"type":1,"model":"K\\n"}]})", "must not contain a backslash"},
        {OneDevice(R"("leds":[{"ledId":912,"top":0,"left":0,"height":1,"width":1}])"), "devices[0].leds[0]"},
        {OneDevice(R"("leds":[{"ledId":0,"top":0,"left":0,"height":1,"width":1}])"), "outside 1 to 911"},
        {OneDevice(R"("leds":[{"ledId":1,"top":0,"left":0,"height":1,"width":1},)"
                   R"({"ledId":1,"top":0,"left":0,"height":1,"width":1}])"),
         "used twice"},
        {OneDevice(R"("leds":[{"ledId":1,"top":"x","left":0,"height":1,"width":1}])"),
         "\"top\" must be a number"},
        {OneDevice(R"("leds":[{"ledId":1.5,"top":0,"left":0,"height":1,"width":1}])"), "whole number"},
        {OneDevice(R"("leds":[{"ledId":1,"top":0,"left":0,"height":1,"width":1,"key":"A"}])"), "vendorKey"},
        {OneDevice(R"("properties":[{"id":8193,"type":"bool","value":true}])"), "flag 0x1000"},
        {OneDevice(R"("properties":[{"id":4097,"type":"int32","value":1}])"), "flag 0x2000"},
        {OneDevice(R"("properties":[{"id":12289,"type":"bool","value":true}])"), "flag 0x1000"},
        {OneDevice(R"("properties":[{"id":4097,"type":"bool","value":1}])"), "true or false"},
        {OneDevice(
             R"("properties":[{"id":4097,"type":"bool","value":true},{"id":4097,"type":"bool","value":true}])"),
         "appears twice"},
        {OneDevice(R"("leds":[{"ledId":1,"top":0,"left":0,"height":1,"width":1}],)"
                   R"("channels":[{"devices":[{"type":1,"deviceLedCount":2}]}])"),
         "carry 2 LEDs but the device lists 1"},
        {R"({"devices":[{"type":1}]})", "\"model\" must be a string"},
    };
    for (const auto& c : cases) {
        const auto result = LoadDeviceCatalog(c.text);
        EXPECT_FALSE(result.catalog.has_value()) << c.text;
        EXPECT_NE(result.error.find(c.expected), std::string::npos) << c.text << " -> " << result.error;
    }
}

TEST(DeviceDataLoader, RefusesAKeyUsedTwiceAcrossDevices) {
    const auto result = LoadDeviceCatalog(
        R"({"devices":[{"type":1,"model":"a","leds":[{"ledId":1,"top":0,"left":0,"height":1,"width":1,"key":"X","vendorKey":1}]},)"
        R"({"type":1,"model":"b","leds":[{"ledId":2,"top":0,"left":0,"height":1,"width":1,"key":"x","vendorKey":2}]}]})");
    EXPECT_NE(result.error.find("key \"x\" is used twice"), std::string::npos) << result.error;
}

TEST(DeviceDataLoader, ReportsAFileThatCannotBeOpened) {
    const auto result = LoadDeviceCatalogFile("/nonexistent/dir/devices.json");
    EXPECT_FALSE(result.catalog.has_value());
    EXPECT_NE(result.error.find("cannot be opened"), std::string::npos);
    const auto directory = LoadDeviceCatalogFile("/");
    EXPECT_NE(directory.error.find("/: is a directory"), std::string::npos) << directory.error;
}

}  // namespace
}  // namespace sdk
