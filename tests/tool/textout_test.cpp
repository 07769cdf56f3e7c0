// The JSON writer of the tool: what it prints must not depend on where its
// buffer fills up, on how deep the value nests, or on how long a text is.
#include <gtest/gtest.h>

#include <string>

#include "textout.h"

namespace {

using vesk::JsonWriter;

// Values that cross the writer's buffer many times, texts longer than it,
// and names that need escaping, after text already in the string.
TEST(JsonWriterTest, LongAndManyValuesComeOutWhole) {
    std::string out = "before:";
    std::string expected = "before:{\n  \"numbers\": [";
    const std::string longText(100000, 'a');
    const std::string longKey(300, 'k');
    {
        JsonWriter json(out);
        json.BeginObject().Key("numbers").BeginArray(true);
        for (int i = 0; i < 30000; ++i) {
            json.Int(i);
            expected += (i ? ", " : "") + std::to_string(i);
        }
        json.EndArray();
        json.Key("long").String(longText + "\"\x01\xff");
        json.Key("say \"hi\"").Number(2.5);
        json.Key(longKey).Bool(true);
        json.EndObject();
        EXPECT_TRUE(json.Complete());
        EXPECT_EQ(out.size(), out.find('}') + 1);  // whole once complete, before the writer goes
    }
    expected += "],\n  \"long\": \"" + longText + "\\\"\\u0001\xEF\xBF\xBD\",\n  \"say \\\"hi\\\"\": 2.5,\n  \"" +
                longKey + "\": true\n}";
    EXPECT_EQ(out, expected);
}

// Indentation deeper than the writer's run of blanks.
TEST(JsonWriterTest, DeepNestingIsIndentedAtEveryLevel) {
    constexpr int kDepth = 45;
    std::string out;
    JsonWriter json(out);
    for (int d = 0; d < kDepth; ++d) json.BeginArray();
    json.Null();
    for (int d = 0; d < kDepth; ++d) json.EndArray();
    std::string expected;
    for (int d = 0; d < kDepth; ++d) expected += "[\n" + std::string(2 * size_t(d + 1), ' ');
    expected += "null";
    for (int d = kDepth - 1; d >= 0; --d) expected += "\n" + std::string(2 * size_t(d), ' ') + "]";
    EXPECT_EQ(out, expected);
}

}  // namespace
