// The command protocol as the camera sees it: request bytes, time-outs,
// reply checks and value decoding, on a scripted port.
#include "../support/wire_camera.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

namespace {

constexpr int kUntouched = -777;

struct Sent {
    std::string what;
    std::function<void(WireCamera&)> call;
    Bytes request;
    int timeoutMs;
};

}  // namespace

TEST(CameraCommands, ChecksumIsTheWrappingByteSum)
{
    unsigned char palette[] = {0xAA, 0x04, 0x01, 0x42, 0x00};
    unsigned char formula[] = {0xAA, 0x05, 0x07, 0x62, 0x00, 0x00};
    EXPECT_EQ(UVCDevCtrl::VEL_AAL_CKSUM(palette, 5), 0xF1);
    EXPECT_EQ(UVCDevCtrl::VEL_AAL_CKSUM(formula, 6), 0x18);
    EXPECT_EQ(UVCDevCtrl::VEL_AAL_CKSUM(palette, 0), 0);
    EXPECT_EQ(UVCDevCtrl::VEL_AAL_CKSUM(palette, -3), 0);
}

TEST(CameraCommands, EveryCommandSendsItsFrameAndWaitsItsTimeout)
{
    int i = 0;
    float f = 0;
    const std::vector<Sent> cases = {
        {"shutter", [](WireCamera& c) { c.CorrectShutter(); }, {0xAA, 0x05, 0x01, 0x11, 0x02, 0x01, 0xC4, 0xEB, 0xAA}, 10000},
        {"get palette", [&](WireCamera& c) { c.GetPalleteType(&i); }, {0xAA, 0x04, 0x01, 0x42, 0x00, 0xF1, 0xEB, 0xAA}, 1000},
        {"set palette 259", [](WireCamera& c) { c.SetPalleteType(259); }, Request({0x01, 0x42, 0x02, 0x03}), 1000},
        {"get level", [&](WireCamera& c) { c.GetTempLevel(&i); }, Request({0x07, 0x01, 0x00}), 100000},
        {"set level 2", [](WireCamera& c) { c.SetTempLevel(2); }, {0xAA, 0x05, 0x07, 0x01, 0x01, 0x03, 0xBB, 0xEB, 0xAA}, 100000},
        {"set level 1", [](WireCamera& c) { c.SetTempLevel(1); }, Request({0x07, 0x01, 0x01, 0x01}), 100000},
        {"fpa temp", [&](WireCamera& c) { c.GetFPATemp(&f); }, Request({0x01, 0xC3, 0x00}), 1000},
        {"camera temp", [&](WireCamera& c) { c.GetCameraTemp(&f); }, Request({0x01, 0x7C, 0x00}), 1000},
        {"get unit", [&](WireCamera& c) { c.GetTempUnit(&i); }, Request({0x07, 0x02, 0x00}), 1000},
        {"set unit 258", [](WireCamera& c) { c.SetTempUnit(258); }, Request({0x07, 0x02, 0x01, 0x02}), 1000},
        {"get image level", [&](WireCamera& c) { c.GetImageLevel(&i); }, Request({0x01, 0x19, 0x00}), 1000},
        {"set image level", [](WireCamera& c) { c.SetImageLevel(7); }, Request({0x01, 0x19, 0x01, 0x07}), 1000},
        {"capabilities", [](WireCamera& c) { c.GetDevFunc(); }, {0xAA, 0x04, 0x01, 0x12, 0x00, 0xC1, 0xEB, 0xAA}, 1000},
        {"formula level 0", [](WireCamera& c) { c.GetTempFormula(); }, {0xAA, 0x05, 0x07, 0x62, 0x00, 0x00, 0x18, 0xEB, 0xAA}, 1000},
        {"formula level 2", [](WireCamera& c) { c.m_tempLevel = 2; c.GetTempFormula(); }, Request({0x07, 0x62, 0x00, 0x02}), 1000},
        {"get atmos", [&](WireCamera& c) { c.GetAtmosTemp(&f); }, Request({0x07, 0x10, 0x00}), 1000},
        {"get distance", [&](WireCamera& c) { c.GetDistance(&f); }, Request({0x07, 0x13, 0x00}), 1000},
        {"get emissivity", [&](WireCamera& c) { c.GetEmissivity(&f); }, Request({0x07, 0x12, 0x00}), 1000},
        {"get reflected", [&](WireCamera& c) { c.GetReflectedTemp(&f); }, Request({0x07, 0x0F, 0x00}), 1000},
        {"get transmittance", [&](WireCamera& c) { c.GetTransmittance(&f); }, Request({0x07, 0x11, 0x00}), 1000},
        {"set atmos -10", [](WireCamera& c) { c.SetAtmosTemp(-100000); }, Request({0x07, 0x10, 0x01, 0x60, 0x79, 0xFE, 0xFF}), 1000},
        {"get detail", [&](WireCamera& c) { c.GetDetail(0, &i); }, Request({0x01, 0x1E, 0x00}), 1000},
        {"get detail alt", [&](WireCamera& c) { c.GetDetail(1, &i); }, {0xAA, 0x04, 0x01, 0x38, 0x00, 0xE7, 0xEB, 0xAA}, 1000},
        {"set detail", [](WireCamera& c) { c.SetDetail(0, 0x1FF); }, Request({0x01, 0x1E, 0x02, 0xFF}), 1000},
        {"set detail alt", [](WireCamera& c) { c.SetDetail(5, 4); }, Request({0x01, 0x38, 0x02, 0x04}), 1000},
        {"get spatial", [&](WireCamera& c) { c.GetSpatialDenoising(0, &i); }, Request({0x01, 0x1D, 0x00}), 1000},
        {"set spatial alt", [](WireCamera& c) { c.SetSpatialDenoising(1, 9); }, Request({0x01, 0x39, 0x02, 0x09}), 1000},
        {"get contrast alt", [&](WireCamera& c) { c.GetContrast(1, &i); }, Request({0x01, 0x37, 0x00}), 1000},
        {"set contrast 300", [](WireCamera& c) { c.SetContrast(0, 300); }, {0xAA, 0x06, 0x01, 0x24, 0x01, 0x2C, 0x01, 0x03, 0xEB, 0xAA}, 1000},
        {"set contrast alt", [](WireCamera& c) { c.SetContrast(1, 0x12345); }, Request({0x01, 0x37, 0x01, 0x45, 0x23}), 1000},
        {"get brightness", [&](WireCamera& c) { c.GetBrightness(0, &i); }, Request({0x01, 0x26, 0x00}), 1000},
        {"set brightness 300", [](WireCamera& c) { c.SetBrightness(0, 300); }, Request({0x01, 0x26, 0x01, 0x2C}), 1000},
        {"set brightness alt", [](WireCamera& c) { c.SetBrightness(1, 3); }, Request({0x01, 0x36, 0x01, 0x03}), 1000},
        {"get time", [&](WireCamera& c) { c.GetTimeDenoising(0, &i); }, Request({0x01, 0x05, 0x00}), 1000},
        {"set time alt", [](WireCamera& c) { c.SetTimeDenoising(1, 2); }, Request({0x01, 0x3A, 0x01, 0x02}), 1000},
        {"get range", [&](WireCamera& c) { c.GetDynamicRange(0, &i); }, Request({0x01, 0x21, 0x00}), 1000},
        {"set range", [](WireCamera& c) { c.SetDynamicRange(0, 1); }, Request({0x01, 0x21, 0x01, 0x01}), 1000},
    };
    for (const Sent& s : cases) {
        WireCamera camera;
        camera.Stream(FRAME_MODE_IMAGE_TEMP);
        s.call(camera);
        ASSERT_EQ(camera.written.size(), 1u) << s.what;
        EXPECT_EQ(camera.written[0], s.request) << s.what;
        ASSERT_EQ(camera.reads.size(), 1u) << s.what;
        EXPECT_EQ(camera.reads[0].timeoutMs, s.timeoutMs) << s.what;
        EXPECT_EQ(camera.reads[0].len, 512) << s.what;
    }
}

TEST(CameraCommands, RepliesAreJudgedOnHeadEchoStatusAndAcknowledgement)
{
    struct Case {
        std::string what;
        Bytes reply;
        int expect;
        int palette;  // what the query leaves in its output
    };
    const std::vector<Case> queries = {
        {"good, checksum and tail wrong", {0x55, 0x09, 0x42, 0x33, 0x05, 0x00, 0x12, 0x34}, 0, 5},
        {"wrong head", {0x54, 0x00, 0x42, 0x33, 0x05}, 1, kUntouched},
        {"wrong echo", Reply01(0x43, {0x05}), 1, kUntouched},
        {"wrong status", Reply01(0x42, {0x05}, 0x45), 1, kUntouched},
        {"empty", {}, 1, kUntouched},
        {"first piece of a split reply, data missing", {0x55, 0x00, 0x42, 0x33}, 0, 0},
        {"first piece too short for the status", {0x55, 0x00, 0x42}, 1, kUntouched},
    };
    for (const Case& c : queries) {
        WireCamera camera;
        camera.replies.push_back(c.reply);
        int palette = kUntouched;
        EXPECT_EQ(camera.GetPalleteType(&palette), c.expect) << c.what;
        EXPECT_EQ(palette, c.palette) << c.what;
    }

    const std::vector<std::pair<Bytes, int>> settings = {
        {Reply07(0x02, {0x01}), 0},
        {Reply07(0x02, {0x00}), 1},        // answered, but not acknowledged
        {Reply07(0x02, {}), 1},            // split before the acknowledgement
        {Reply01(0x02, {0x33, 0x01}), 1},  // group 01 layout for a group 07 command
        {Reply07(0x03, {0x01}), 1},
    };
    for (const auto& s : settings) {
        WireCamera camera;
        camera.Stream(FRAME_MODE_IMAGE_TEMP);
        camera.replies.push_back(s.first);
        EXPECT_EQ(camera.SetTempUnit(1), s.second);
    }

    WireCamera negative;
    negative.readCount = -1;
    negative.replies.push_back(Reply01(0x42, {0x05}));
    int palette = kUntouched;
    EXPECT_EQ(negative.GetPalleteType(&palette), OZL_USB_FAILURE);
    EXPECT_EQ(palette, kUntouched);

    WireCamera unwritable;
    unwritable.writeResult = OZL_USB_FAILURE;
    EXPECT_EQ(unwritable.CorrectShutter(), OZL_USB_FAILURE);
    EXPECT_TRUE(unwritable.reads.empty());
}

TEST(CameraCommands, QueriesDecodeTheirValues)
{
    WireCamera c;
    c.Stream(FRAME_MODE_IMAGE_TEMP);
    float f = 0;
    int v = 0;
    c.replies = {Reply01(0xC3, {0xC4, 0x09}), Reply01(0x7C, {0x38, 0xFF}), Reply07(0x01, {0x03}),
                 Reply07(0x01, {0x02}), Reply07(0x01, {0x01}), Reply07(0x02, {0xFE}), Reply01(0x19, {0x80})};
    EXPECT_EQ(c.GetFPATemp(&f), 0);
    EXPECT_FLOAT_EQ(f, 25.0f);
    EXPECT_EQ(c.GetCameraTemp(&f), 0);
    EXPECT_FLOAT_EQ(f, -2.0f);
    for (int level : {2, 2, 1}) {
        EXPECT_EQ(c.GetTempLevel(&v), 0);
        EXPECT_EQ(v, level);
    }
    EXPECT_EQ(c.GetTempUnit(&v), 0);
    EXPECT_EQ(v, 0xFE);
    EXPECT_EQ(c.GetImageLevel(&v), 0);
    EXPECT_EQ(v, 0x80);

    c.replies = {Reply07(0x62, {0x64, 0x00, 0x18, 0xFC})};
    c.GetTempFormula();
    EXPECT_EQ(c.m_tempScale, 100);
    EXPECT_EQ(c.m_tempOffset, -1000);
    c.replies = {Reply07(0x62, {0xFF, 0xFF, 0xFF, 0x7F})};
    c.GetTempFormula();
    EXPECT_EQ(c.m_tempScale, 65535);
    EXPECT_EQ(c.m_tempOffset, 32767);
    c.replies = {Reply07(0x61, {0x01, 0x00, 0x00, 0x00})};
    c.GetTempFormula();
    EXPECT_EQ(c.m_tempScale, 65535);

    c.replies = {Reply07(0x10, {0x90, 0xD0, 0x03, 0x00}), Reply07(0x10, {0x60, 0x79, 0xFE, 0xFF})};
    EXPECT_EQ(c.GetAtmosTemp(&f), 0);
    EXPECT_FLOAT_EQ(f, 25.0f);
    EXPECT_EQ(c.GetAtmosTemp(&f), 0);
    EXPECT_FLOAT_EQ(f, -10.0f);

    c.replies = {Reply01(0x24, {0x2C, 0x01}), Reply01(0x26, {0x2C, 0x01})};
    EXPECT_EQ(c.GetContrast(0, &v), 0);
    EXPECT_EQ(v, 300);
    EXPECT_EQ(c.GetBrightness(0, &v), 0);
    EXPECT_EQ(v, 0x2C);
}

TEST(CameraCommands, CapabilityReportSetsFlagsBitByBitWithoutStatusCheck)
{
    auto report = [](uint8_t byte7, uint8_t byte15, uint8_t status) {
        Bytes r(16, 0);
        r[0] = 0x55;
        r[2] = 0x12;
        r[3] = status;
        r[7] = byte7;
        r[15] = byte15;
        return r;
    };
    WireCamera c;
    c.m_devFunc.dynamicRangeAlt = true;
    c.replies.push_back(report(0x7E, 0x3E, 0x45));
    c.GetDevFunc();
    const auto& d = c.m_devFunc;
    EXPECT_TRUE(d.detail && d.spatialDenoising && d.contrast && d.brightness && d.timeDenoising && d.dynamicRange);
    EXPECT_TRUE(d.detailAlt && d.spatialDenoisingAlt && d.contrastAlt && d.brightnessAlt && d.timeDenoisingAlt);

    c.replies.push_back(report(0x81, 0x41, 0x33));
    c.GetDevFunc();
    EXPECT_FALSE(d.detail || d.spatialDenoising || d.contrast || d.brightness || d.timeDenoising || d.dynamicRange);
    EXPECT_FALSE(d.detailAlt || d.spatialDenoisingAlt || d.contrastAlt || d.brightnessAlt || d.timeDenoisingAlt);
    EXPECT_TRUE(d.dynamicRangeAlt);  // no bit reports it

    // Single bits land on their own flags (byte 15: bit 1 brightness, 2 contrast).
    c.replies.push_back(report(0x08, 0x06, 0x33));
    c.GetDevFunc();
    EXPECT_TRUE(d.contrast && d.brightnessAlt && d.contrastAlt);
    EXPECT_FALSE(d.detail || d.brightness || d.detailAlt);

    c.replies.push_back(Reply01(0x13));  // another command's reply keeps the flags
    c.GetDevFunc();
    EXPECT_TRUE(d.contrast);
}

TEST(CameraCommands, EnvironmentTravelsScaledInFieldOrderAndStopsAtFirstFailure)
{
    WireCamera c;
    c.Stream(FRAME_MODE_IMAGE_TEMP);
    const float kMax = std::numeric_limits<float>::max();
    OZL_USB_ENV_PARAM set = {-10.0f, 0.00005f, 0.95f, -0.00005f, kMax};
    for (uint8_t code : {0x10, 0x13, 0x12, 0x0F, 0x11})
        c.replies.push_back(Reply07(code, {0x01}));
    EXPECT_EQ(c.SetEnvParam(&set), 0);
    ASSERT_EQ(c.written.size(), 5u);
    EXPECT_EQ(c.written[0], Request({0x07, 0x10, 0x01, 0x60, 0x79, 0xFE, 0xFF}));
    EXPECT_EQ(c.written[1], Request({0x07, 0x13, 0x01, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(c.written[2], Bytes({0xAA, 0x08, 0x07, 0x12, 0x01, 0x1C, 0x25, 0x00, 0x00, 0x0D, 0xEB, 0xAA}));
    EXPECT_EQ(c.written[3], Request({0x07, 0x0F, 0x01, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(c.written[4], Request({0x07, 0x11, 0x01, 0xFF, 0xFF, 0xFF, 0x7F}));

    // Saturation at the low end and NaN, then a distance write that is not
    // acknowledged: nothing after it is sent.
    c.written.clear();
    set = {-kMax, std::nanf(""), 1, 1, 1};
    c.replies = {Reply07(0x10, {0x01}), Reply07(0x13, {0x00})};
    EXPECT_EQ(c.SetEnvParam(&set), OZL_USB_FAILURE);
    ASSERT_EQ(c.written.size(), 2u);
    EXPECT_EQ(c.written[0], Request({0x07, 0x10, 0x01, 0x00, 0x00, 0x00, 0x80}));
    EXPECT_EQ(c.written[1], Request({0x07, 0x13, 0x01, 0x00, 0x00, 0x00, 0x00}));

    // A read that fails at emissivity fills the fields before it only.
    c.written.clear();
    OZL_USB_ENV_PARAM got = {-1, -1, -1, -1, -1};
    c.replies = {Reply07(0x10, {0x90, 0xD0, 0x03, 0x00}), Reply07(0x13, {0x10, 0x27, 0x00, 0x00}), Reply07(0x11)};
    EXPECT_EQ(c.GetEnvParam(&got), OZL_USB_FAILURE);
    EXPECT_EQ(c.written.size(), 3u);
    EXPECT_FLOAT_EQ(got.atmosTemp, 25.0f);
    EXPECT_FLOAT_EQ(got.distance, 1.0f);
    EXPECT_EQ(got.emissivity, -1);
    EXPECT_EQ(got.transmittance, -1);
}

TEST(CameraCommands, TuningDispatchPrefersPrimaryThenAlternateElseRefuses)
{
    WireCamera c;
    int v = kUntouched;
    EXPECT_EQ(c.GetImageParam(0, &v), OZL_USB_NOT_SUPPORTED);  // no report read yet
    EXPECT_EQ(c.GetImageParam(6, &v), OZL_USB_FAILURE);
    EXPECT_EQ(c.SetImageParam(-1, 0), OZL_USB_FAILURE);
    EXPECT_TRUE(c.written.empty());

    c.m_devFunc.detailAlt = true;
    c.replies.push_back(Reply01(0x38, {0x07}));
    EXPECT_EQ(c.GetImageParam(0, &v), 0);
    EXPECT_EQ(v, 7);
    c.m_devFunc.detail = true;
    c.replies.push_back(Reply01(0x38, {0x07}));  // the other code of the same parameter
    v = kUntouched;
    EXPECT_EQ(c.GetImageParam(0, &v), OZL_USB_FAILURE);
    EXPECT_EQ(v, kUntouched);
    ASSERT_EQ(c.written.size(), 2u);
    EXPECT_EQ(c.written[0][3], 0x38);
    EXPECT_EQ(c.written[1][3], 0x1E);

    c.written.clear();
    c.m_devFunc.contrast = true;
    c.m_devFunc.brightnessAlt = true;
    c.m_devFunc.dynamicRangeAlt = true;  // dynamic range has no alternate code
    c.replies = {Reply01(0x24, {0x01}), Reply01(0x36, {0x01})};
    EXPECT_EQ(c.SetImageParam(2, 300), 0);
    EXPECT_EQ(c.SetImageParam(3, 300), 0);
    EXPECT_EQ(c.SetImageParam(5, 1), OZL_USB_NOT_SUPPORTED);
    EXPECT_EQ(c.SetImageParam(1, 1), OZL_USB_NOT_SUPPORTED);
    ASSERT_EQ(c.written.size(), 2u);
    EXPECT_EQ(c.written[0], Bytes({0xAA, 0x06, 0x01, 0x24, 0x01, 0x2C, 0x01, 0x03, 0xEB, 0xAA}));
    EXPECT_EQ(c.written[1], Request({0x01, 0x36, 0x01, 0x2C}));
}

TEST(CameraCommands, GatesAndNullOutputsRefuseWithoutSending)
{
    for (int mode : {FRAME_MODE_NONE, FRAME_MODE_IMAGE}) {
        WireCamera c;
        c.Stream(mode);
        int v = kUntouched;
        OZL_USB_ENV_PARAM env = {1, 2, 3, 4, 5};
        EXPECT_EQ(c.GetTempLevel(&v), OZL_USB_NOT_SUPPORTED);
        EXPECT_EQ(c.SetTempLevel(1), OZL_USB_NOT_SUPPORTED);
        EXPECT_EQ(c.GetTempUnit(&v), OZL_USB_NOT_SUPPORTED);
        EXPECT_EQ(c.SetTempUnit(1), OZL_USB_NOT_SUPPORTED);
        EXPECT_EQ(c.GetEnvParam(&env), OZL_USB_NOT_SUPPORTED);
        EXPECT_EQ(c.SetEnvParam(&env), OZL_USB_NOT_SUPPORTED);
        EXPECT_EQ(c.StartPullTemp([](unsigned long, OZL_USB_TEMP_INFO_CB*, void*) {}, nullptr), OZL_USB_NOT_SUPPORTED);
        EXPECT_EQ(c.StopPullTemp(), OZL_USB_NOT_SUPPORTED);
        // The gate answers before the output is looked at.
        EXPECT_EQ(c.GetTempUnit(nullptr), OZL_USB_NOT_SUPPORTED);
        EXPECT_EQ(c.GetTempLevel(nullptr), OZL_USB_NOT_SUPPORTED);
        EXPECT_EQ(c.GetEnvParam(nullptr), OZL_USB_NOT_SUPPORTED);
        EXPECT_EQ(c.SetEnvParam(nullptr), OZL_USB_NOT_SUPPORTED);
        EXPECT_EQ(v, kUntouched);
        EXPECT_EQ(env.atmosTemp, 1);
        EXPECT_TRUE(c.written.empty());
    }

    WireCamera c;
    c.Stream(FRAME_MODE_IMAGE_TEMP);
    c.m_devFunc.detail = true;
    int w = kUntouched;
    EXPECT_EQ(c.GetFPASize(&w, nullptr), OZL_USB_INVALID_PARAM);
    EXPECT_EQ(w, kUntouched);
    for (auto call : std::vector<std::function<int()>>{
             [&] { return c.GetPalleteType(nullptr); }, [&] { return c.GetTempLevel(nullptr); },
             [&] { return c.GetFPATemp(nullptr); }, [&] { return c.GetCameraTemp(nullptr); },
             [&] { return c.GetTempUnit(nullptr); }, [&] { return c.GetImageLevel(nullptr); },
             [&] { return c.GetEnvParam(nullptr); }, [&] { return c.SetEnvParam(nullptr); },
             [&] { return c.GetImageParam(0, nullptr); }, [&] { return c.GetDetail(0, nullptr); },
             [&] { return c.GetAtmosTemp(nullptr); }})
        EXPECT_EQ(call(), OZL_USB_INVALID_PARAM);
    EXPECT_TRUE(c.written.empty());

    int h = kUntouched;
    EXPECT_EQ(c.GetFPASize(&w, &h), 0);
    EXPECT_EQ(w, 256);
    EXPECT_EQ(h, 192);
}
