// Tests of the JSON module: the RFC's examples, what the writers make read back as it was, and
// hostile or mistaken text refused with the byte and the cause a script author can act on.
#include "json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

using namespace kelvaro;

namespace kelvaro {
// Failures show values as JSON.
void PrintTo(const JsonValue &value, std::ostream *out) {
    *out << WriteJson(value);
}
} // namespace kelvaro

namespace {

JsonValue Parsed(const std::string &text) {
    JsonValue value;
    std::string why;
    EXPECT_TRUE(ParseJson(text, &value, &why)) << text << ": " << why;
    return value;
}

// The why of a text that must be refused; the value given must stay as it was.
std::string Refusal(const std::string &text, std::size_t maxBytes = JSON_MAX_TEXT_BYTES) {
    JsonValue value;
    value.type = JsonType::String;
    value.text = "untouched";
    const JsonValue before = value;
    std::string why;
    EXPECT_FALSE(ParseJson(text, &value, &why, maxBytes)) << text.substr(0, 80);
    EXPECT_EQ(value, before) << text.substr(0, 80);
    return why;
}

std::string Nested(int depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

} // namespace

TEST(JsonRead, TakesTheRfcExamples) {
    const JsonValue image = Parsed(R"({
      "Image": {
          "Width":  800,
          "Height": 600,
          "Title":  "View from 15th Floor",
          "Thumbnail": {
              "Url":    "http://www.example.com/image/481989943",
              "Height": 125,
              "Width":  100
          },
          "Animated" : false,
          "IDs": [116, 943, 234, 38793]
        }
    })");
    const JsonValue *inner = image.member("Image");
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->member("Width")->number, 800);
    ASSERT_NE(StringMember(*inner, "Title"), nullptr);
    EXPECT_EQ(*StringMember(*inner, "Title"), "View from 15th Floor");
    EXPECT_EQ(inner->member("Thumbnail")->member("Height")->number, 125);
    EXPECT_EQ(inner->member("Animated")->type, JsonType::Boolean);
    EXPECT_FALSE(inner->member("Animated")->boolean);
    const JsonValue *ids = inner->member("IDs");
    ASSERT_EQ(ids->type, JsonType::Array);
    ASSERT_EQ(ids->items.size(), 4u);
    EXPECT_EQ(ids->items[3].number, 38793);
    const char *names[] = {"Width", "Height", "Title", "Thumbnail", "Animated", "IDs"};
    ASSERT_EQ(inner->members.size(), 6u);
    for (std::size_t i = 0; i < inner->members.size(); ++i)
        EXPECT_EQ(inner->members[i].first, names[i]) << "members keep the document's order";

    const JsonValue places = Parsed("[\r\n\t{\"precision\": \"zip\", \"Latitude\": 37.7668,"
                                    " \"Longitude\": -122.3959, \"Address\": \"\", \"Zip\": "
                                    "\"94107\"},\n {\"precision\": \"zip\", \"Latitude\": "
                                    "37.371991, \"Longitude\": -122.026020, \"Zip\": \"94085\"} ]");
    ASSERT_EQ(places.items.size(), 2u);
    EXPECT_EQ(places.items[0].member("Latitude")->number, 37.7668);
    EXPECT_EQ(places.items[1].member("Longitude")->number, -122.02602);
    EXPECT_EQ(*StringMember(places.items[0], "Address"), "");

    EXPECT_EQ(Parsed("\"Hello world!\"").text, "Hello world!");
    EXPECT_EQ(Parsed(" 42 ").number, 42);
    EXPECT_TRUE(Parsed("true").boolean);
    EXPECT_EQ(Parsed("null").type, JsonType::Null);
    EXPECT_EQ(Parsed("[]").items.size(), 0u);
    EXPECT_EQ(Parsed("{}").type, JsonType::Object);

    // Section 7's escapes: the reverse solidus, and the G clef as a surrogate pair.
    EXPECT_EQ(Parsed(R"("\u005C")").text, "\\");
    EXPECT_EQ(Parsed(R"("\uD834\uDD1E")").text, "\xF0\x9D\x84\x9E");
    EXPECT_EQ(Parsed(R"("\"\\\/\b\f\n\r\t\u00e9\u20AC")").text,
              "\"\\/\b\f\n\r\t\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(Parsed(R"("a\u0000b")").text, std::string("a\0b", 3));
    EXPECT_EQ(Parsed("\"\xE2\x80\xA8 \xF4\x8F\xBF\xBF\"").text, "\xE2\x80\xA8 \xF4\x8F\xBF\xBF");
}

TEST(JsonRead, ReadsNumbersToTheNearestDouble) {
    EXPECT_EQ(Parsed("1E+2").number, 100);
    EXPECT_EQ(Parsed("0.5e-1").number, 0.05);
    EXPECT_EQ(Parsed("-0.0").number, 0);
    EXPECT_TRUE(std::signbit(Parsed("-0").number));
    EXPECT_EQ(Parsed("1.7976931348623157e308").number, DBL_MAX);
    EXPECT_EQ(Parsed("-4.9e-324").number, -std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(Parsed("9007199254740993").number, 9007199254740992.0);
    EXPECT_EQ(Parsed("0e99999999999999999999").number, 0);
    // Too close to zero for a double, unlike too large, is no fault: it rounds as any decimal does.
    EXPECT_EQ(Parsed("1e-400").number, 0);
    EXPECT_TRUE(std::signbit(Parsed("-1e-99999999999999999999").number));
    EXPECT_EQ(Parsed("0." + std::string(398, '3')).number, 1.0 / 3);

    EXPECT_TRUE(IsWholeNumberIn(Parsed("65535"), 0, 65535));
    EXPECT_TRUE(IsWholeNumberIn(Parsed("1.0e2"), 0, 65535));
    EXPECT_FALSE(IsWholeNumberIn(Parsed("65536"), 0, 65535));
    EXPECT_FALSE(IsWholeNumberIn(Parsed("-1"), 0, 65535));
    EXPECT_FALSE(IsWholeNumberIn(Parsed("0.5"), 0, 65535));
    EXPECT_FALSE(IsWholeNumberIn(Parsed("\"7\""), 0, 65535));
}

TEST(JsonRead, RefusesFaultsWithTheirByteAndCause) {
    struct Case {
        std::string text;
        std::string why;
    };
    const std::vector<Case> cases = {
        {"", "byte 1: no value: the text is empty"},
        {" \r\n\t", "byte 1: no value: the text is only white space"},
        {"\xEF\xBB\xBF{}",
         "byte 1: a byte order mark (0xEF 0xBB 0xBF) before the value; JSON is sent without one"},
        {"tru", "byte 1: \"tru\" is not a value"},
        {"[1, nul]", "byte 5: \"nul\" is not a value"},
        {"[truex]", "byte 2: \"truex\" is not a value"},
        {"True",
         "byte 1: \"True\" is not a value (true, false and null are written in lower case)"},
        {"{\"a\": 'b'}", "byte 7: ''' is not a value (strings are in double quotes)"},
        {"\xE2\x80\x9Cquoted\xE2\x80\x9D", "byte 1: '\xE2\x80\x9C' is not a value"},
        {"\f1", "byte 1: 0x0C is not a value"},
        {"\xC2\xA0"
         "1",
         "byte 1: '\xC2\xA0' is not a value"},
        {"[1 2]", "byte 4: expected ',' or ']' after an item, found '2'"},
        {"[1,]", "byte 4: ']' after a comma: JSON allows no comma after the last item"},
        {"[1,\n2", "byte 1: an array is not closed"},
        {"[,1]", "byte 2: ',' is not a value"},
        {"{\"a\":1,}", "byte 8: '}' after a comma: JSON allows no comma after the last member"},
        {"{a:1}", "byte 2: expected a member name in double quotes, found 'a'"},
        {"{\"a\" 1}", "byte 6: expected ':' after the member name, found '1'"},
        {"{\"a\":1 \"b\":2}", "byte 8: expected ',' or '}' after a member, found '\"'"},
        {"{\"a\":", "byte 1: an object is not closed"},
        {"1 2", "byte 3: '2' after the end of the value"},
        {"{}\n}", "byte 4: '}' after the end of the value"},
        {"\"ok\"\x01", "byte 5: 0x01 after the end of the value"},

        {"01", "byte 1: \"01\" is not a number (a number has no leading zeros)"},
        {"[-012]", "byte 2: \"-012\" is not a number (a number has no leading zeros)"},
        {"0x1F", "byte 1: \"0x1F\" is not a number (numbers are decimal)"},
        {"+1", "byte 1: \"+1\" is not a value (a number has no '+' sign)"},
        {".5", "byte 1: \".5\" is not a value (a number starts with a digit)"},
        {"-", "byte 1: \"-\" is not a number (a digit must follow '-')"},
        {"1.", "byte 1: \"1.\" is not a number (a digit must follow '.')"},
        {"[1.e5]", "byte 2: \"1.e5\" is not a number (a digit must follow '.')"},
        {"1e+", "byte 1: \"1e+\" is not a number (a digit must follow the exponent's 'e')"},
        {"1.5.2", "byte 1: \"1.5.2\" is not a number (a number is digits with an optional '-', "
                  "fraction and exponent)"},
        {"NaN", "byte 1: \"NaN\" is not a value (JSON has no NaN or infinity)"},
        {"[Infinity]", "byte 2: \"Infinity\" is not a value (JSON has no NaN or infinity)"},
        {"-Infinity", "byte 1: \"-Infinity\" is not a number (JSON has no NaN or infinity)"},
        {"1e400", "byte 1: \"1e400\" is too large for a number (the largest is about 1.8e308)"},
        {"[-1.8e308]",
         "byte 2: \"-1.8e308\" is too large for a number (the largest is about 1.8e308)"},
        {"1" + std::string(400, '0'), "byte 1: a number longer than 400 characters"},

        {"{\"a\": \"abc", "byte 7: a string is not closed"},
        {"\"abc\\", "byte 1: a string is not closed"},
        {"\"a\nb\"", "byte 3: the control character 0x0A must be escaped in a string (as \\n)"},
        {"\"\x1F\"", "byte 2: the control character 0x1F must be escaped in a string (as \\u001F)"},
        {"\"\\q\"", "byte 2: \\q is not an escape; the escapes are \\\" \\\\ \\/ \\b \\f \\n \\r "
                    "\\t and \\u with four hex digits"},
        {"\"\\'\"", "byte 2: \\' is not an escape; the escapes are \\\" \\\\ \\/ \\b \\f \\n \\r "
                    "\\t and \\u with four hex digits"},
        {"\"\\\n\"", "byte 2: a backslash before 0x0A is not an escape; the escapes are \\\" \\\\ "
                     "\\/ \\b \\f \\n \\r \\t and \\u with four hex digits"},
        {"\"\\u12G4\"", "byte 2: \\u must be followed by four hex digits"},
        {"\"\\u12\"", "byte 2: \\u must be followed by four hex digits"},
        {"\"\\uD83D\"", "byte 2: \\uD83D is the first half of a surrogate pair, and no second half "
                        "(\\uDC00 to \\uDFFF) follows"},
        {"\"\\ud83d\\u0041\"", "byte 2: \\ud83d is the first half of a surrogate pair, and no "
                               "second half (\\uDC00 to \\uDFFF) follows"},
        {"\"\\uD83D\\uD83D\"", "byte 2: \\uD83D is the first half of a surrogate pair, and no "
                               "second half (\\uDC00 to \\uDFFF) follows"},
        {"\"x\\uDE00\"", "byte 3: \\uDE00 is the second half of a surrogate pair without its first "
                         "half"},

        {"\"a\xC3(b\"", "byte 3: invalid UTF-8 (0xC3 0x28)"},
        {"\"\xFF\"", "byte 2: invalid UTF-8 (0xFF)"},
        {"\"\xC0\xAF\"", "byte 2: invalid UTF-8 (0xC0)"},              // overlong '/'
        {"\"\xE0\x80\xAF\"", "byte 2: invalid UTF-8 (0xE0 0x80)"},     // overlong '/'
        {"\"\xED\xA0\x80\"", "byte 2: invalid UTF-8 (0xED 0xA0)"},     // a UTF-16 surrogate
        {"\"\xF4\x90\x80\x80\"", "byte 2: invalid UTF-8 (0xF4 0x90)"}, // beyond U+10FFFF
        {"\"\xF0\x9F\x98\"", "byte 2: invalid UTF-8 (0xF0 0x9F 0x98 0x22)"},
        {"\"\xE2\x82", "byte 2: invalid UTF-8 (0xE2 0x82, cut off by the end of the text)"},
        {"{\"\x80\":1}", "byte 3: invalid UTF-8 (0x80)"},
        {"[\xFE]", "byte 2: invalid UTF-8 (0xFE)"},

        {Nested(JSON_MAX_DEPTH + 1), "byte 33: arrays and objects nest more than 32 deep"},
        {std::string(JSON_MAX_TEXT_BYTES, '['),
         "byte 33: arrays and objects nest more than 32 deep"},
        {"[{\"a\":" + Nested(JSON_MAX_DEPTH - 1) + "}]",
         "byte 37: arrays and objects nest more than 32 deep"},
        {"\"" + std::string(JSON_MAX_STRING_BYTES + 1, 'x') + "\"",
         "byte 1: a string longer than 16384 bytes"},
        {"[\"" + std::string(JSON_MAX_STRING_BYTES, 'x') + "\\u00e9\"]",
         "byte 2: a string longer than 16384 bytes"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Refusal(c.text), c.why) << c.text.substr(0, 80);

    EXPECT_EQ(Refusal("[1, 2]", 5), "byte 6: the text is longer than the 5 bytes allowed");
    EXPECT_EQ(Refusal(std::string(JSON_MAX_TEXT_BYTES + 1, ' ')),
              "byte 65537: the text is longer than the 65536 bytes allowed");

    // Up to each limit all is taken.
    EXPECT_EQ(Parsed(Nested(JSON_MAX_DEPTH)).items.size(), 1u);
    EXPECT_EQ(Parsed("\"" + std::string(JSON_MAX_STRING_BYTES, 'x') + "\"").text.size(),
              JSON_MAX_STRING_BYTES);
    std::string zeros = "[0";
    while (zeros.size() + 3 <= JSON_MAX_TEXT_BYTES)
        zeros += ",0";
    zeros.resize(JSON_MAX_TEXT_BYTES - 1, ' ');
    zeros += "]";
    EXPECT_EQ(Parsed(zeros).items.size(),
              static_cast<std::size_t>(std::count(zeros.begin(), zeros.end(), '0')));
    EXPECT_TRUE(ParseJson(" 1 ", nullptr, nullptr)) << "value and why may both be left out";
    EXPECT_FALSE(ParseJson(" 1 x", nullptr, nullptr));
}

TEST(JsonRead, DuplicateNamesAreKeptInOrderAndTheLastWins) {
    const JsonValue value = Parsed(R"({"port": 1, "memory": "ram", "port": 2, "port": "three"})");
    ASSERT_EQ(value.members.size(), 4u);
    EXPECT_EQ(value.members[0].second.number, 1);
    EXPECT_EQ(value.members[2].second.number, 2);
    EXPECT_EQ(value.member("port")->text, "three");
    EXPECT_EQ(*StringMember(value, "port"), "three");
    EXPECT_EQ(StringMember(value, "absent"), nullptr);
    EXPECT_EQ(value.member("Port"), nullptr) << "names are compared exactly";
    EXPECT_EQ(Parsed("[\"port\"]").member("port"), nullptr) << "an array has no members";
    EXPECT_EQ(StringMember(Parsed(R"({"port": "1", "port": 1})"), "port"), nullptr)
        << "the last of the repeats is not a string";
    EXPECT_EQ(WriteJson(value), R"({"port":1,"memory":"ram","port":2,"port":"three"})");
}

TEST(JsonWrite, WhatIsWrittenReadsBackAsItWas) {
    std::string ascii;
    for (int c = 0; c < 0x80; ++c)
        ascii.push_back(static_cast<char>(c));
    const std::string unicode = "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xE2\x80\xA8\xEF\xBF\xBF";
    for (const std::string &text : {ascii, unicode, std::string()}) {
        const std::string written = JsonString(text);
        EXPECT_EQ(Parsed(written).text, text) << written;
    }
    EXPECT_EQ(JsonString("\"\\\n\x01\x7F/"), R"("\"\\\n\u0001)"
                                             "\x7F/\"");

    // Invalid UTF-8 becomes one U+FFFD for each maximal invalid part, the rest as it was.
    const std::string replaced = Parsed(JsonString("a\xFF\xFE"
                                                   "b\xE2\x82"
                                                   "c\xED\xA0\x80"
                                                   "d\xF0\x9F\x98"))
                                     .text;
    EXPECT_EQ(replaced, "a\xEF\xBF\xBD\xEF\xBF\xBD"
                        "b\xEF\xBF\xBD"
                        "c\xEF\xBF\xBD\xEF\xBF\xBD\xEF"
                        "\xBF\xBD"
                        "d\xEF\xBF\xBD");

    const double doubles[] = {0.1,
                              1.0 / 3,
                              -0.0,
                              1e21,
                              123456789.125,
                              DBL_MAX,
                              -DBL_MAX,
                              DBL_MIN,
                              std::numeric_limits<double>::denorm_min(),
                              9007199254740993.0,
                              1e-7};
    for (const double number : doubles) {
        const std::string written = JsonNumber(number);
        const double read = Parsed(written).number;
        EXPECT_EQ(read, number) << written;
        EXPECT_EQ(std::signbit(read), std::signbit(number)) << written;
    }
    EXPECT_EQ(JsonNumber(0.1), "0.1");
    EXPECT_EQ(JsonNumber(std::nan("")), "null");
    EXPECT_EQ(JsonNumber(-HUGE_VAL), "null");

    // Integers are written exactly; past 2^53 a reader gets the nearest double.
    EXPECT_EQ(JsonInteger(ULLONG_MAX), "18446744073709551615");
    EXPECT_EQ(Parsed(JsonInteger(ULLONG_MAX)).number, 18446744073709551616.0);

    JsonArray words;
    const unsigned short parameter = 65535;
    words.add(parameter)
        .add(-1)
        .add(LLONG_MIN)
        .add(4294967295u)
        .add(2.5)
        .add(true)
        .add("t")
        .addNull();
    words.addRaw(JsonArray().text());
    JsonObject record;
    record.add("zeta", 1)
        .add("alpha", std::string("two\nlines"))
        .add("literal", "a string, not a boolean")
        .add("flag", false)
        .add("ratio", std::nan(""))
        .addNull("none")
        .addRaw("words", words.text())
        .addRaw("empty", JsonObject().text());
    const std::string line = record.text();
    EXPECT_EQ(line, R"({"zeta":1,"alpha":"two\nlines","literal":"a string, not a boolean",)"
                    R"("flag":false,"ratio":null,"none":null,"words":[65535,-1,)"
                    R"(-9223372036854775808,4294967295,2.5,true,"t",null,[]],)"
                    R"("empty":{}})");
    EXPECT_EQ(JsonObject().add("firmware", static_cast<const char *>(nullptr)).text(),
              R"({"firmware":null})");
    const JsonValue read = Parsed(line);
    EXPECT_EQ(WriteJson(read), line) << "the generic writer writes what the builders wrote";
    EXPECT_EQ(*StringMember(read, "literal"), "a string, not a boolean");
    EXPECT_EQ(read.member("words")->items[2].number, static_cast<double>(LLONG_MIN));

    const std::string example = R"({"Image": {"Width": 800, "Title": "View from 15th Floor",
        "IDs": [116, 943, 234, 38793], "Animated": false, "Ratio": 0.75, "None": null}})";
    const JsonValue parsed = Parsed(example);
    const std::string rewritten = WriteJson(parsed);
    EXPECT_EQ(rewritten.find_first_of(" \n"), rewritten.find("View") + 4)
        << "compact: the only space is the title's";
    EXPECT_EQ(Parsed(rewritten), parsed);
    EXPECT_NE(Parsed(R"({"a":1,"b":2})"), Parsed(R"({"b":2,"a":1})")) << "order is part of a value";
}
