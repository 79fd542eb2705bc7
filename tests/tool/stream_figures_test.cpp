// Regions, alarms and the state folder: the pieces of stream and of every
// command that need no camera.
#include "../support/scratch_dir.h"
#include "alarm.h"
#include "regions.h"
#include <vivaclient/state_dir.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <vector>

using namespace vivaclient;

using namespace vivatool;

namespace {

// The region parsed from `text`, or nothing with `error` set.
std::optional<Region> ParseRegion(const std::string& text, int ordinal, std::string& error)
{
    Region region;
    error = vivatool::ParseRegion(text, ordinal, region);
    return error.empty() ? std::optional<Region>(region) : std::nullopt;
}

}  // namespace

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
    const RegionFigures f = MeasureRegion(plane.data(), 5, Region{"r", 1, 1, 3, 2, 0, {}});
    EXPECT_EQ(f.min, 10);
    EXPECT_EQ(f.max, 15);
    EXPECT_DOUBLE_EQ(f.mean, 12.5);
}

TEST(Regions, OwnEmissivityCorrectsByTheBroadbandFormulaAndTheCamerasOwnChangesNothing)
{
    std::string error;
    auto r = ParseRegion("panel=10,10,40,30,emissivity=0.5", 1, error);
    ASSERT_TRUE(r) << error;
    EXPECT_EQ(r->name, "panel");
    EXPECT_EQ(r->height, 30);
    EXPECT_DOUBLE_EQ(r->emissivity, 0.5);
    r = ParseRegion("1,2,3,4,emissivity=1", 2, error);
    ASSERT_TRUE(r) << error;
    EXPECT_EQ(r->name, "roi2");
    EXPECT_EQ(r->emissivity, 1.0);
    for (const char* bad :
         {"1,2,3,4,emissivity=0", "1,2,3,4,emissivity=1.5", "1,2,3,4,emissivity=x", "1,2,3,4,emissivity="})
        EXPECT_FALSE(ParseRegion(bad, 1, error)) << bad;

    // By hand: camera emissivity 0.95, reflected 25 C (298.15 K), reading
    // 110 C (383.15 K), region emissivity 0.5:
    //   T^4 = (0.95 * 383.15^4 - 0.45 * 298.15^4) / 0.5
    //       = (2.047387e10 - 3.555918e9) / 0.5 = 3.383590e10;  T = 428.891 K = 155.74 C
    CameraRadiometry camera{0.95, 25.0, vivaclient::DeclaredUnit(0, "")};
    EXPECT_NEAR(CorrectEmissivity(110.0, 0.5, camera), 155.74, 0.01);
    // A perfect emitter where the camera assumed 0.95 is a little colder:
    //   T^4 = 0.95 * 383.15^4 + 0.05 * 298.15^4 = 2.086899e10;  T = 380.08 K = 106.93 C
    EXPECT_NEAR(CorrectEmissivity(110.0, 1.0, camera), 106.93, 0.01);
    // At the reflected temperature emissivity does not matter.
    EXPECT_NEAR(CorrectEmissivity(25.0, 0.3, camera), 25.0, 1e-9);
    // The same in Fahrenheit: 230 F and 77 F are 110 C and 25 C.
    CameraRadiometry fahrenheit{0.95, 77.0, vivaclient::DeclaredUnit(1, "1=F")};
    EXPECT_NEAR(CorrectEmissivity(230.0, 0.5, fahrenheit), 155.74 * 9 / 5 + 32, 0.02);

    // The camera's own emissivity changes no value of the whole range.
    Region same{"same", 0, 0, 1, 1, 0.95, {}};
    ASSERT_EQ(PrepareEmissivity(same, camera), "");
    for (int raw = -32768; raw <= 32767; ++raw)
        ASSERT_EQ((*same.corrected)[static_cast<size_t>(raw + 32768)], raw) << raw;

    // Region figures go through the correction, the hottest pixel stays put.
    std::vector<int16_t> plane(4 * 3, 250);
    plane[1 * 4 + 2] = 1100;
    Region panel{"panel", 1, 1, 3, 2, 0.5, {}};
    ASSERT_EQ(PrepareEmissivity(panel, camera), "");
    const RegionFigures figures = MeasureRegion(plane.data(), 4, panel);
    EXPECT_EQ(figures.max, 1557);
    EXPECT_EQ(figures.min, 250);
    EXPECT_EQ(figures.hottestX, 2);
    EXPECT_EQ(figures.hottestY, 1);
    EXPECT_NEAR(figures.mean, (1557 + 5 * 250) / 6.0, 1e-9);

    // Without a declared unit there is no kelvin to compute in.
    Region unknown{"u", 0, 0, 1, 1, 0.5, {}};
    CameraRadiometry undeclared{0.95, 25.0, vivaclient::DeclaredUnit(2, "")};
    EXPECT_NE(PrepareEmissivity(unknown, undeclared).find("unit 2 is not declared"), std::string::npos);
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
