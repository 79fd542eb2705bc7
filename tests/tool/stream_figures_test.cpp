// Regions, alarms and the state folder: the pieces of stream and of every
// command that need no camera.
#include "../support/ScratchDir.h"
#include "alarm.h"
#include "regions.h"
#include "client.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <vector>

using namespace vivatool;

TEST(Regions, ParsedWithOrWithoutANameAndCheckedAgainstTheFrame)
{
    std::string error;
    auto r = ParseRegion("plate=10,20,30,40", 1, error);
    ASSERT_TRUE(r) << error;
    EXPECT_EQ(r->name, "plate");
    EXPECT_EQ(r->x + r->y + r->width + r->height, 100);
    r = ParseRegion("0,0,256,192", 3, error);
    ASSERT_TRUE(r) << error;
    EXPECT_EQ(r->name, "roi3");
    EXPECT_EQ(CheckRegion(*r, 256, 192), "");
    EXPECT_EQ(CheckRegion(*r, 255, 192), "region roi3 (0,0 256x192) does not fit in the 255x192 frame");
    for (const char* bad : {"", "1,2,3", "1,2,3,4,5", "a,2,3,4", "1,2,0,4", "1,-2,3,4", "=1,2,3,4", "a b=1,2,3,4",
                            "1,,3,4"})
        EXPECT_FALSE(ParseRegion(bad, 1, error)) << bad;
}

TEST(Regions, FiguresCoverExactlyTheRegion)
{
    // 5 x 4 plane; the region (1,1) 3x2 holds 10..15, everything else is
    // far hotter or colder so that a region off by one shows.
    std::vector<int16_t> plane(20, 900);
    plane[0] = -900;
    const int16_t inside[6] = {12, 10, 15, 11, 14, 13};
    for (int i = 0; i < 6; ++i)
        plane[static_cast<size_t>((1 + i / 3) * 5 + 1 + i % 3)] = inside[i];
    const RegionFigures f = MeasureRegion(plane.data(), 5, Region{"r", 1, 1, 3, 2});
    EXPECT_EQ(f.min, 10);
    EXPECT_EQ(f.max, 15);
    EXPECT_DOUBLE_EQ(f.mean, 12.5);
}

TEST(Alarm, RaisedOncePerCrossingAndNoiseInsideTheHysteresisDoesNotFlapIt)
{
    Alarm above(AlarmRule{AlarmKind::Above, 800, 10});
    std::vector<AlarmChange> changes;
    // Rises past 80.0, jitters around it within 1 degree, falls, rises again.
    for (int v : {790, 800, 801, 795, 805, 791, 802, 790, 789, 799, 800, 801, 850})
        changes.push_back(above.Feed(v));
    const std::vector<AlarmChange> expected = {
        AlarmChange::None, AlarmChange::None,    AlarmChange::Raised, AlarmChange::None, AlarmChange::None,
        AlarmChange::None, AlarmChange::None,    AlarmChange::Cleared, AlarmChange::None, AlarmChange::None,
        AlarmChange::None, AlarmChange::Raised,  AlarmChange::None};
    EXPECT_EQ(changes, expected);

    Alarm below(AlarmRule{AlarmKind::Below, 200, 0});
    EXPECT_EQ(below.Feed(150), AlarmChange::Raised);  // the first value may raise it at once
    EXPECT_EQ(below.Feed(199), AlarmChange::None);
    EXPECT_EQ(below.Feed(200), AlarmChange::Cleared);  // no hysteresis: back at the threshold
    EXPECT_FALSE(below.raised());
}

TEST(StateFolder, LibraryRunsThereWhileTheUsersPathsKeepTheirMeaning)
{
    ScratchDir scratch;
    const std::string before = std::getenv("XDG_STATE_HOME") ? std::getenv("XDG_STATE_HOME") : "";
    setenv("XDG_STATE_HOME", (scratch.path() + "/xdg").c_str(), 1);
    EXPECT_EQ(StateDirectory(), scratch.path() + "/xdg/vivazuzoz");
    {
        StateDirectoryScope scope;
        EXPECT_EQ(scope.error(), "");
        std::ofstream("VIVAZUZOZ.log") << "x";
        EXPECT_EQ(UserPath("pic.png"), scratch.path() + "/pic.png");
        EXPECT_EQ(UserPath("/abs/pic.png"), "/abs/pic.png");
        EXPECT_EQ(AsTyped("cannot write " + UserPath("a/b.png") + ": denied", UserPath("a/b.png"), "a/b.png"),
                  "cannot write a/b.png: denied");
    }
    EXPECT_TRUE(std::ifstream(scratch.path() + "/xdg/vivazuzoz/VIVAZUZOZ.log").good());
    EXPECT_FALSE(std::ifstream("VIVAZUZOZ.log").good()) << "back in the user's folder";

    // Without XDG_STATE_HOME the folder is under HOME; a relative setting
    // of either is ignored, as the XDG rules say.
    setenv("XDG_STATE_HOME", "relative", 1);
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(StateDirectory(), "/home/someone/.local/state/vivazuzoz");
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_STATE_HOME", before.c_str(), 1);
}
