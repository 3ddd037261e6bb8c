#include <gtest/gtest.h>

#include "lighting/colour_list.h"
#include "lighting/lighting_state.h"

namespace sdk {
namespace {

TEST(ServerColourList, ReadsWhatTheLibraryWrites) {
    const auto colours = ParseColourList("12,255,0,0#13,0,128,0");
    ASSERT_TRUE(colours.has_value());
    EXPECT_EQ(*colours, (std::vector<LedColour>{{12, 255, 0, 0}, {13, 0, 128, 0}}));
    EXPECT_EQ(FormatColourList(*colours), "12,255,0,0#13,0,128,0");
    EXPECT_EQ(ParseColourList("")->size(), 0u);
    EXPECT_EQ(FormatColourList({}), "");
}

TEST(ServerColourList, KeepsNegativeAndLargeFieldsForTheCallerToJudge) {
    const auto colours = ParseColourList("7,-1,256,2147483647#8,-2147483648,0,0#");
    ASSERT_TRUE(colours.has_value());
    ASSERT_EQ(colours->size(), 2u);
    EXPECT_EQ((*colours)[0], (LedColour{7, -1, 256, 2147483647}));
    EXPECT_EQ((*colours)[1].r, -2147483647 - 1);
}

TEST(ServerColourList, RefusesMalformedText) {
    for (const char* text :
         {"1,2,3", "1,2,3,4,", "1,2,3,4##5,1,1,1", "a,1,2,3", "1;2;3;4", " 1,2,3,4", "1,2,3,4 ", "#",
          "1,2,3,2147483648", "1,2,3,-2147483649", "1,+2,3,4", "1,2,3,4#5", "-,1,2,3"}) {
        EXPECT_FALSE(ParseColourList(text).has_value()) << text;
    }
}

TEST(LayerArbitration, UnsetLedsAreDarkAndEachClientPaintsItsOwnLayer) {
    LightingState state;
    EXPECT_EQ(state.Visible(5), Rgb{});
    state.SetColour(1, 5, {255, 0, 0});
    state.SetColour(2, 6, {0, 255, 0});
    EXPECT_EQ(state.Visible(5), (Rgb{255, 0, 0}));
    EXPECT_EQ(state.Visible(6), (Rgb{0, 255, 0}));
    EXPECT_EQ(state.LayerColour(2, 5), std::nullopt);
    EXPECT_EQ(state.Visible(0), Rgb{});
    EXPECT_EQ(state.Visible(912), Rgb{});
}

TEST(LayerArbitration, HigherPriorityWinsWhateverTheOrderAndTiesGoToTheLatest) {
    LightingState state;
    state.SetPriority(1, 10);
    state.SetColour(1, 5, {1, 1, 1});
    state.SetColour(2, 5, {2, 2, 2});  // priority 0, later
    EXPECT_EQ(state.Visible(5), (Rgb{1, 1, 1}));
    state.SetPriority(2, 10);
    EXPECT_EQ(state.Visible(5), (Rgb{2, 2, 2}));  // tie: the later setting
    state.SetColour(1, 5, {3, 3, 3});
    EXPECT_EQ(state.Visible(5), (Rgb{3, 3, 3}));
    state.SetPriority(2, 255);
    EXPECT_EQ(state.Visible(5), (Rgb{2, 2, 2}));
    EXPECT_EQ(state.VisibleOwner(5), ClientId{2});
    // A priority set before any colour applies to the layer once it exists.
    state.SetPriority(3, 200);
    state.SetColour(3, 5, {4, 4, 4});
    EXPECT_EQ(state.Visible(5), (Rgb{2, 2, 2}));
    EXPECT_EQ(state.Priority(3), 200);
}

TEST(LayerArbitration, ControlShowsOnlyTheHoldersColours) {
    LightingState state;
    state.SetPriority(1, 255);
    state.SetColour(1, 5, {9, 9, 9});
    state.SetColour(1, 6, {9, 9, 9});
    state.SetColour(2, 5, {7, 7, 7});
    EXPECT_TRUE(state.RequestControl(2));
    EXPECT_TRUE(state.RequestControl(2));  // again by the holder
    EXPECT_FALSE(state.RequestControl(1));
    EXPECT_EQ(state.ControlHolder(), ClientId{2});
    EXPECT_EQ(state.Visible(5), (Rgb{7, 7, 7}));
    EXPECT_EQ(state.Visible(6), Rgb{});  // the holder did not set it
    state.ReleaseControl(2);
    EXPECT_EQ(state.ControlHolder(), std::nullopt);
    EXPECT_EQ(state.Visible(5), (Rgb{9, 9, 9}));
    EXPECT_EQ(state.Visible(6), (Rgb{9, 9, 9}));
    EXPECT_TRUE(state.RequestControl(1));
}

TEST(LayerArbitration, ReleasingOrLeavingRemovesTheLayer) {
    LightingState state;
    state.SetColour(1, 5, {1, 0, 0});
    state.SetColour(2, 5, {2, 0, 0});
    state.ReleaseControl(2);  // without holding control
    EXPECT_EQ(state.Visible(5), (Rgb{1, 0, 0}));
    EXPECT_EQ(state.LayerColour(2, 5), std::nullopt);
    state.SetPriority(1, 50);
    EXPECT_TRUE(state.RequestControl(1));
    const auto before = state.ChangeCount();
    state.RemoveClient(1);
    EXPECT_GT(state.ChangeCount(), before);
    EXPECT_EQ(state.Visible(5), Rgb{});
    EXPECT_EQ(state.ControlHolder(), std::nullopt);
    EXPECT_EQ(state.Priority(1), kDefaultLayerPriority);
}

}  // namespace
}  // namespace sdk
