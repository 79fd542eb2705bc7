#include "json.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace vivatool;

TEST(Json, StringsAreEscapedSoThatAnyProductNameParses)
{
    EXPECT_EQ(JsonString("plain"), "\"plain\"");
    EXPECT_EQ(JsonString("say \"hi\" \\ bye"), "\"say \\\"hi\\\" \\\\ bye\"");
    EXPECT_EQ(JsonString("a\nb\tc\rd\be\ff"), "\"a\\nb\\tc\\rd\\be\\ff\"");
    EXPECT_EQ(JsonString(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\\u007f\"");
    EXPECT_EQ(JsonString("/dev/video0"), "\"/dev/video0\"");  // '/' needs no escape
    // Valid UTF-8 passes unchanged, including a four-byte sequence.
    EXPECT_EQ(JsonString("Wärmebild \xF0\x9F\x94\xA5"), "\"Wärmebild \xF0\x9F\x94\xA5\"");
    // Bytes that are not UTF-8 become U+FFFD, one per byte.
    EXPECT_EQ(JsonString("\xFF"), "\"\xEF\xBF\xBD\"");
    EXPECT_EQ(JsonString("ab\xC3"), "\"ab\xEF\xBF\xBD\"");              // cut-off sequence
    EXPECT_EQ(JsonString("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");  // overlong '/'
    EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");  // surrogate
}

TEST(Json, WriterPlacesCommasAndFormatsValues)
{
    JsonWriter json;
    json.BeginObject()
        .Key("cameras").BeginArray()
        .BeginObject().Key("index").Int(0).Key("serial").Null().EndObject()
        .BeginObject().Key("index").Int(1).Key("ok").Bool(true).EndObject()
        .EndArray()
        .Key("emissivity").Number(0.949999988079071, 4)
        .Key("atmos").Number(25.0, 4)
        .Key("cold").Number(-0.00001, 4)
        .Key("bad").Number(std::nan(""), 2)
        .Key("empty").BeginArray().EndArray()
        .EndObject();
    EXPECT_EQ(json.str(),
              "{\"cameras\":[{\"index\":0,\"serial\":null},{\"index\":1,\"ok\":true}],"
              "\"emissivity\":0.95,\"atmos\":25,\"cold\":0,\"bad\":null,\"empty\":[]}");
}

TEST(Json, KeysKeepTheirOrderAndNumbersTheirTextThroughPoco)
{
    JsonWriter json;
    json.BeginObject()
        .Key("z")
        .Raw("25.0")
        .Key("a")
        .Number(-0.5, 1)
        .Key("m")
        .BeginArray()
        .Int(-9223372036854775807LL)
        .BeginObject()
        .EndObject()
        .Null()
        .EndArray()
        .Key("k\xff")
        .String("v")
        .EndObject();
    // Written in the order given (Poco sorts keys unless told otherwise),
    // the tenths as FormatTenths wrote them, the bad byte of the key replaced.
    EXPECT_EQ(json.str(), "{\"z\":25.0,\"a\":-0.5,\"m\":[-9223372036854775807,{},null],\"k\xEF\xBF\xBD\":\"v\"}");

    // A value on its own, DEL escaped.
    JsonWriter single;
    single.String("a\x7f");
    EXPECT_EQ(single.str(), "\"a\\u007f\"");
}
