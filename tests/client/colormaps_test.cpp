#include <vivaclient/colormaps.h>

#include <gtest/gtest.h>

using namespace vivaclient;

namespace {

bool Same(Rgb a, Rgb b)
{
    return a.r == b.r && a.g == b.g && a.b == b.b;
}

const Colormap& Named(const char* name)
{
    static Colormap palette;
    const ColormapInfo* info = FindColormap(name);
    EXPECT_NE(info, nullptr) << name;
    palette = info ? info->build() : Colormap{};
    return palette;
}

}  // namespace

TEST(Colormap, WhiteHotAndBlackHotAreGreyRampsInOppositeDirections)
{
    const Colormap white = Named("white-hot");
    const Colormap black = Named("black-hot");
    EXPECT_TRUE(Same(white[0], Rgb{0, 0, 0}));
    EXPECT_TRUE(Same(white[255], Rgb{255, 255, 255}));
    EXPECT_TRUE(Same(black[0], Rgb{255, 255, 255}));
    EXPECT_TRUE(Same(black[255], Rgb{0, 0, 0}));
    for (int i = 1; i < 256; ++i) {
        EXPECT_GT(Luminance(white[i]), Luminance(white[i - 1])) << i;
        EXPECT_LT(Luminance(black[i]), Luminance(black[i - 1])) << i;
        EXPECT_TRUE(white[i].r == white[i].g && white[i].g == white[i].b) << "grey at " << i;
    }
}

TEST(Colormap, IronGoesFromBlackToWhiteGettingBrighterAndRainbowFromBlueToRed)
{
    const Colormap iron = Named("iron");
    EXPECT_TRUE(Same(iron[0], Rgb{0, 0, 0}));
    EXPECT_TRUE(Same(iron[255], Rgb{255, 255, 255}));
    for (int i = 1; i < 256; ++i)
        EXPECT_GE(Luminance(iron[i]) + 1.0, Luminance(iron[i - 1])) << "iron darkens at " << i;

    const Colormap rainbow = Named("rainbow");
    EXPECT_TRUE(Same(rainbow[0], Rgb{0, 0, 255}));
    EXPECT_TRUE(Same(rainbow[255], Rgb{255, 0, 0}));
    // Full saturation throughout: one channel is always at its maximum.
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(std::max({rainbow[i].r, rainbow[i].g, rainbow[i].b}), 255) << i;
}

TEST(Colormap, EveryAdvertisedNameIsFoundAndOthersAreNot)
{
    for (const char* name : {"white-hot", "black-hot", "iron", "rainbow"})
        EXPECT_NE(ColormapNames().find(name), std::string::npos) << name;
    for (const ColormapInfo& p : Colormaps())
        EXPECT_EQ(FindColormap(p.name), &p);
    EXPECT_EQ(FindColormap("Iron"), nullptr);
    EXPECT_EQ(FindColormap(""), nullptr);
}

TEST(Colormap, ColorizeStretchesThePlaneFromMinimumToMaximum)
{
    const Colormap& grey = Named("white-hot");
    const int16_t plane[4] = {-50, 0, 300, 300};
    const std::vector<uint8_t> rgb = Colorize(plane, 2, 2, grey);
    ASSERT_EQ(rgb.size(), 12u);
    EXPECT_EQ(rgb[0], 0);    // minimum -> entry 0
    EXPECT_EQ(rgb[3], 36);   // 50 of 350 -> entry 36
    EXPECT_EQ(rgb[6], 255);  // maximum -> entry 255
    EXPECT_EQ(rgb[9], 255);

    const uint16_t wide[3] = {65535, 0, 32768};  // full unsigned range
    const std::vector<uint8_t> w = Colorize(wide, 3, 1, grey);
    EXPECT_EQ(w[0], 255);
    EXPECT_EQ(w[3], 0);
    EXPECT_EQ(w[6], 128);

    const uint16_t flat[2] = {700, 700};  // nothing to stretch
    const std::vector<uint8_t> f = Colorize(flat, 2, 1, grey);
    EXPECT_EQ(f, std::vector<uint8_t>(6, 0));
}
