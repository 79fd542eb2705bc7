// Summary figures of frames: snapshot statistics and the stream status line.
#include "plane_stats.h"
#include "progress.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace vivatool;

TEST(PlaneStats, FindsRangeMeanAndTheFirstHottestPixel)
{
    // 4 x 3, hottest value 451 at (2, 1) and again at (3, 2).
    const int16_t plane[12] = {200, 210, 220, 230,  //
                               -15, 240, 451, 250,  //
                               260, 270, 280, 451};
    const PlaneStats s = ComputeStats(plane, 4, 3);
    EXPECT_EQ(s.min, -15);
    EXPECT_EQ(s.max, 451);
    EXPECT_DOUBLE_EQ(s.mean, (860.0 + 926.0 + 1261.0) / 12.0);
    EXPECT_EQ(s.hottestX, 2);
    EXPECT_EQ(s.hottestY, 1);

    const int16_t cold[2] = {-300, -200};  // all below zero
    EXPECT_EQ(ComputeStats(cold, 2, 1).max, -200);
    EXPECT_EQ(ComputeStats(cold, 2, 1).hottestX, 1);
}

TEST(StreamStatus, DescribesFramesRateAndRange)
{
    StreamFigures f;
    f.frames = 250;
    f.seconds = 10.04;
    f.rate = 24.96;
    f.withTemp = true;
    f.min = 201;
    f.max = 453;
    EXPECT_EQ(DescribeStream(f), "250 frames in 10.0 s, 25.0 fps, 20.1 to 45.3 degrees");
    f.withTemp = false;
    EXPECT_EQ(DescribeStream(f), "250 frames in 10.0 s, 25.0 fps, no temperatures on this stream");
    f.frames = 1;
    f.withTemp = true;
    f.rate = 0;
    EXPECT_EQ(DescribeStream(f), "1 frame in 10.0 s, 0.0 fps, 20.1 to 45.3 degrees");
}

TEST(StreamStatus, RewritesOneLineOnATerminalAndPrintsLinesOtherwise)
{
    auto capture = [](bool terminal) {
        FILE* f = std::tmpfile();
        {
            ProgressLine line(f, terminal);
            line.Update("frames 10");
            line.Update("frames 9");
        }  // the destructor ends an open line
        std::rewind(f);
        char buffer[256] = {};
        const size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
        std::fclose(f);
        return std::string(buffer, n);
    };
    // The shorter text blanks out what is left of the longer one.
    EXPECT_EQ(capture(true), "\rframes 10\rframes 9 \n");
    EXPECT_EQ(capture(false), "frames 10\nframes 9\n");
}
