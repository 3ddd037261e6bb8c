#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <utility>
#include <vector>

#include "lighting/device_data.h"
#include "lighting/key_script.h"

namespace sdk {
namespace {

using Kind = KeyStep::Kind;

class KeyScriptTest : public ::testing::Test {
protected:
    KeyScriptTest() : catalog_(*LoadDeviceCatalog(BuiltInDeviceData()).catalog) {}
    int Vk(const char* name) { return *catalog_.VendorKeyForName(name); }
    DeviceCatalog catalog_;
};

TEST_F(KeyScriptTest, TapsHoldsWaitsAndNumbers) {
    const KeyScript script = ParseKeyScript("a, +LeftShift  -leftshift wait:25 #300 +#0x20", catalog_);
    ASSERT_EQ(script.error, "");
    const std::vector<KeyStep> expected = {
        {Kind::kPress, Vk("A"), 0},
        {Kind::kRelease, Vk("A"), 0},
        {Kind::kPress, Vk("LeftShift"), 0},
        {Kind::kRelease, Vk("LeftShift"), 0},
        {Kind::kWait, 0, 25},
        {Kind::kPress, 300, 0},
        {Kind::kRelease, 300, 0},
        {Kind::kPress, 0x20, 0},
    };
    EXPECT_EQ(script.steps, expected);
}

TEST_F(KeyScriptTest, TypeUsesShiftForCapitalsAndKeepsQuotedSpaces) {
    const KeyScript script = ParseKeyScript("type:\"Hi 1\"", catalog_);
    ASSERT_EQ(script.error, "");
    const int shift = Vk("LeftShift");
    const std::vector<KeyStep> expected = {
        {Kind::kPress, shift, 0},       {Kind::kPress, Vk("H"), 0},       {Kind::kRelease, Vk("H"), 0},
        {Kind::kRelease, shift, 0},     {Kind::kPress, Vk("I"), 0},       {Kind::kRelease, Vk("I"), 0},
        {Kind::kPress, Vk("Space"), 0}, {Kind::kRelease, Vk("Space"), 0}, {Kind::kPress, Vk("1"), 0},
        {Kind::kRelease, Vk("1"), 0},
    };
    EXPECT_EQ(script.steps, expected);
}

TEST_F(KeyScriptTest, RefusesWholeScriptsWithAnyBadStep) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"A NoSuchKey", "no key is named \"NoSuchKey\""},
        {"wait:soon", "milliseconds"},
        {"#x1", "vendor key number"},
        {"+", "names no key"},
        {"type:\"open", "quote"},
        {"type:Gr\xc3\xbc\xc3\x9f"
         "e",
         "no key types the character '\xc3\xbc'"},
    };
    for (const auto& c : cases) {
        const KeyScript script = ParseKeyScript(c.text, catalog_);
        EXPECT_TRUE(script.steps.empty()) << c.text;
        EXPECT_NE(script.error.find(c.expected), std::string::npos) << c.text << " -> " << script.error;
    }
    EXPECT_TRUE(ParseKeyScript("  ,, ", catalog_).steps.empty());
    EXPECT_EQ(ParseKeyScript("  ,, ", catalog_).error, "");
}

struct Recorder {
    std::mutex mutex;
    std::vector<std::pair<int, bool>> events;
    void operator()(int key, bool pressed) {
        std::lock_guard<std::mutex> lock(mutex);
        events.emplace_back(key, pressed);
    }
    std::vector<std::pair<int, bool>> Take() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
};

TEST(KeyScriptRunnerTest, PlaysQueuedScriptsInOrder) {
    Recorder recorder;
    KeyScriptRunner runner([&](int k, bool p) { recorder(k, p); }, 1);
    runner.Play({{Kind::kPress, 1, 0}, {Kind::kWait, 0, 5}, {Kind::kRelease, 1, 0}});
    runner.Play({{Kind::kPress, 2, 0}});
    ASSERT_TRUE(runner.WaitIdle(10000));
    EXPECT_EQ(recorder.Take(), (std::vector<std::pair<int, bool>>{{1, true}, {1, false}, {2, true}}));
}

TEST(KeyScriptRunnerTest, RepeatsUntilStoppedAndStopCutsWaitsShort) {
    Recorder recorder;
    auto runner = std::make_unique<KeyScriptRunner>([&](int k, bool p) { recorder(k, p); }, 1);
    runner->Play({{Kind::kPress, 7, 0}, {Kind::kRelease, 7, 0}}, true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (recorder.Take().size() < 6 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    runner->Play({{Kind::kWait, 0, 60 * 60 * 1000}});
    const auto stopStarted = std::chrono::steady_clock::now();
    runner.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - stopStarted, std::chrono::seconds(30));
    const auto events = recorder.Take();
    ASSERT_GE(events.size(), 6u);
    for (std::size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i], std::make_pair(7, i % 2 == 0)) << i;
}

}  // namespace
}  // namespace sdk
