#include <vivaclient/result_text.h>
#include <vivaclient/settings.h>
#include "json.h"

#include <VIVAZUZOZ.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <set>

using namespace vivaclient;

using namespace vivatool;

TEST(Settings, EveryLibrarySettingHasItsNameAndOnlyQueriesAreReadOnly)
{
    const std::set<std::string> writable = {"palette",       "temp-level",     "temp-unit",         "image-level",
                                            "atmos-temp",    "distance",       "emissivity",        "reflected-temp",
                                            "transmittance", "detail",         "spatial-denoising", "contrast",
                                            "brightness",    "time-denoising", "dynamic-range"};
    const std::set<std::string> readOnly = {"fpa-temp", "camera-temp", "fpa-size"};
    std::set<std::string> seen;
    for (const Setting& s : Settings()) {
        EXPECT_TRUE(seen.insert(s.name).second) << "twice: " << s.name;
        EXPECT_EQ(FindSetting(s.name), &s);
        EXPECT_EQ(s.readOnly(), readOnly.count(s.name) == 1) << s.name;
        EXPECT_GT(std::string(s.label).size(), 3u) << "no label for people: " << s.name;
        // Every temperature says its unit.
        if (std::string(s.name).find("temp") != std::string::npos && s.name != std::string("temp-level") &&
            s.name != std::string("temp-unit")) {
            EXPECT_STREQ(s.unit, "\u00b0C") << s.name;
        }
    }
    for (const auto& name : writable)
        EXPECT_TRUE(seen.count(name)) << "missing: " << name;
    EXPECT_EQ(seen.size(), writable.size() + readOnly.size());
    EXPECT_EQ(FindSetting("Palette"), nullptr);
    EXPECT_EQ(SettingNames(true).find("fpa-temp"), std::string::npos);
}

TEST(Settings, ValuesForSetAreCheckedAgainstTheSettingsRange)
{
    auto parse = [](const char* name, const char* text, std::string& error) {
        error.clear();
        return ParseSettingValue(*FindSetting(name), text, error);
    };
    std::string error;
    EXPECT_EQ(parse("palette", "3", error), 3.0);
    EXPECT_EQ(parse("palette", "255", error), 255.0);
    EXPECT_FALSE(parse("palette", "256", error));  // would be cut to one byte on the wire
    EXPECT_NE(error.find("palette must be 0 to 255, not 256"), std::string::npos) << error;
    EXPECT_FALSE(parse("palette", "3.5", error));
    EXPECT_NE(error.find("not an integer"), std::string::npos) << error;
    EXPECT_FALSE(parse("detail", "", error));
    EXPECT_FALSE(parse("detail", "0x10", error));
    EXPECT_EQ(parse("temp-level", "2", error), 2.0);
    EXPECT_FALSE(parse("temp-level", "3", error));
    EXPECT_FALSE(parse("temp-level", "-1", error));
    EXPECT_EQ(parse("contrast", "65535", error), 65535.0);
    EXPECT_FALSE(parse("contrast", "65536", error));
    EXPECT_EQ(parse("atmos-temp", "-10", error), -10.0);
    EXPECT_EQ(parse("emissivity", "0.95", error), 0.95);
    EXPECT_FALSE(parse("emissivity", "1.5", error));
    EXPECT_FALSE(parse("emissivity", "nan", error));
    EXPECT_FALSE(parse("distance", "-1", error));
    EXPECT_EQ(parse("atmos-temp", "-1000", error), -1000.0);
    EXPECT_FALSE(parse("atmos-temp", "1000.0001", error));  // would not read back exactly
    EXPECT_FALSE(parse("fpa-temp", "30", error));
    EXPECT_NE(error.find("read-only"), std::string::npos) << error;
}

TEST(Settings, EveryEnvironmentValueOfFourDecimalsSurvivesTheLibrarysConversionsBothWays)
{
    // The library sends (int32)(float * 10000.0f), truncating toward zero,
    // and reads back (float)units / 10000.0f. Every value the tool accepts
    // must be sent as its exact units, and a value read back and written
    // again (an untouched field of the record) must be sent unchanged.
    auto sent = [](float v) { return static_cast<long long>(v * 10000.0f); };
    auto read = [](long long units) { return static_cast<float>(units) / 10000.0f; };
    // Not a vacuous check: a plain conversion loses a unit here.
    ASSERT_NE(sent(static_cast<float>(0.0711)), 711);
    ASSERT_NE(sent(read(711)), 711);

    const long long limit = static_cast<long long>(kEnvExactLimit * 10000);
    long long wrong = 0, firstWrong = 0;
    for (long long units = -limit; units <= limit; ++units) {
        const auto f = EnvFloatForUnits(units);
        const bool ok = f && sent(*f) == units && EnvUnitsOfFloat(read(units)) == units;
        if (!ok && wrong++ == 0)
            firstWrong = units;
    }
    EXPECT_EQ(wrong, 0) << "first at units " << firstWrong;
    EXPECT_FALSE(EnvFloatForUnits(limit + 1));
    EXPECT_FALSE(EnvValueForWire(-kEnvExactLimit - 0.0001));
    ASSERT_TRUE(EnvValueForWire(-26.2142));
    EXPECT_EQ(sent(*EnvValueForWire(-26.2142)), -262142);
    EXPECT_EQ(sent(*EnvValueForWire(0.07115)), 712);  // rounded to four decimals
}

TEST(Settings, ValuesAreShownWithoutNoiseDigits)
{
    SettingValue env;
    env.number = 0.95f;  // as the library hands it back
    EXPECT_EQ(FormatSettingValue(*FindSetting("emissivity"), env), "0.95");
    SettingValue temp;
    temp.number = 31.25f;
    EXPECT_EQ(FormatSettingValue(*FindSetting("fpa-temp"), temp), "31.25");
    SettingValue size;
    size.width = 256;
    size.height = 192;
    EXPECT_EQ(FormatSettingValue(*FindSetting("fpa-size"), size), "256x192");
    JsonWriter json;
    WriteSettingJson(json, *FindSetting("fpa-size"), size);
    EXPECT_EQ(json.str(), "{\"width\":256,\"height\":192}");
}

TEST(Settings, EachSettingReachesTheLibraryFunctionItNames)
{
    // Handle 0 is refused by every per-camera function before anything is
    // sent, so this exercises the table's wiring without a camera.
    for (const Setting& s : Settings()) {
        SettingValue value;
        const Call read = ReadSetting(0, s, value);
        EXPECT_EQ(read.result, OZL_USB_INVALID_PARAM) << s.name;
        EXPECT_EQ(std::string(read.function).rfind("OZL_USB_Get", 0), 0u) << s.name << ": " << read.function;
        if (s.readOnly())
            continue;
        const Call write = WriteSetting(0, s, s.max);
        EXPECT_EQ(write.result, OZL_USB_INVALID_PARAM) << s.name;
        // Environment parameters are read first, so the read is what fails here.
        const char* prefix = s.access == SettingAccess::EnvParam ? "OZL_USB_GetEnvParam" : "OZL_USB_Se";
        EXPECT_EQ(std::string(write.function).rfind(prefix, 0), 0u) << s.name << ": " << write.function;
    }
    SettingValue value;
    EXPECT_STREQ(ReadSetting(0, *FindSetting("palette"), value).function, "OZL_USB_GetPalleteType");
    EXPECT_STREQ(WriteSetting(0, *FindSetting("temp-level"), 1).function, "OZL_USB_SeTempLevel");
}
