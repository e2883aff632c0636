// JSON lines hold any byte sequence and any number and stay valid JSON.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "tools/kormelt/json_line.h"

using kormelt::tool::JsonLine;

namespace {

const std::string REPLACEMENT = "\xEF\xBF\xBD";  // U+FFFD

TEST(JsonLine, StringsAreEscapedAndInvalidUtf8Replaced) {
    struct Case {
        const char *what;
        std::string value;
        std::string quoted;
    };
    const Case cases[] = {
        {"plain", "a/b.img", "\"a/b.img\""},
        {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        {"control characters", std::string("\n\r\t\x01\x1f", 5), "\"\\n\\r\\t\\u0001\\u001f\""},
        {"valid UTF-8 passes", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
        {"Latin-1 byte", "caf\xE9.img", "\"caf" + REPLACEMENT + ".img\""},
        {"stray continuation byte", "\x80x", "\"" + REPLACEMENT + "x\""},
        {"cut sequence at the end", "a\xE2\x82", "\"a" + REPLACEMENT + REPLACEMENT + "\""},
        {"overlong slash", "\xC0\xAF", "\"" + REPLACEMENT + REPLACEMENT + "\""},
        {"overlong three-byte form", "\xE0\x80\xAF", "\"" + REPLACEMENT + REPLACEMENT + REPLACEMENT + "\""},
        {"surrogate", "\xED\xA0\x80", "\"" + REPLACEMENT + REPLACEMENT + REPLACEMENT + "\""},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80",
         "\"" + REPLACEMENT + REPLACEMENT + REPLACEMENT + REPLACEMENT + "\""},
        {"bytes never in UTF-8", "\xFE\xFF", "\"" + REPLACEMENT + REPLACEMENT + "\""},
        {"NUL inside", std::string("a\0b", 3), "\"a\\u0000b\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(JsonLine().Add("k", c.value).Text(), "{\"k\":" + c.quoted + "}");
    }
}

TEST(JsonLine, NumbersThatJsonCannotHoldBecomeNull) {
    EXPECT_EQ(JsonLine().Add("s", 1.5).Text(), "{\"s\":1.500}");
    for (const double value : {std::nan(""), std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(JsonLine().Add("s", value).Add("n", 1).Text(), "{\"s\":null,\"n\":1}") << value;
    }
}

TEST(JsonLine, ObjectsAndArraysNest) {
    const JsonLine range = JsonLine().Add("first", "0x08000000").Add("bytes", uint64_t{52});
    EXPECT_EQ(JsonLine().AddJson("ranges", JsonLine::Array({range, JsonLine()})).AddJson("gaps", JsonLine::Array({}))
                  .AddJson("sealed", range.Text())
                  .Text(),
              "{\"ranges\":[{\"first\":\"0x08000000\",\"bytes\":52},{}],\"gaps\":[],"
              "\"sealed\":{\"first\":\"0x08000000\",\"bytes\":52}}");
}

}  // namespace
