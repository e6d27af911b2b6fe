// Tests of the JSON module: the RFC's examples, what the writers make read back as it was, and
// hostile or mistaken text refused with the byte and the cause a script author can act on.
#include "json.h"

#include <gtest/gtest.h>

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
    EXPECT_TRUE(ParseJson(text, &value, &why)) << text.substr(0, 80) << ": " << why;
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

void RefusedAt(std::size_t byte, const std::vector<std::string> &texts) {
    for (const std::string &text : texts)
        EXPECT_EQ(Refusal(text).rfind("byte " + std::to_string(byte) + ": ", 0), 0u)
            << text.substr(0, 80);
}

std::string Nested(int depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

} // namespace

TEST(JsonRead, TakesTheRfcExamples) {
    const JsonValue image = Parsed(
        "{\"Image\": {\"Width\": 800, \"Title\": \"View from 15th Floor\",\r\n\t\"Animated\" : "
        "false, \"IDs\": [116, 38793], \"At\": {\"Latitude\": 37.7668, \"Longitude\": "
        "-122.026020}}}");
    const JsonValue *inner = image.member("Image");
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(*StringMember(*inner, "Title"), "View from 15th Floor");
    EXPECT_EQ(WriteJson(*inner->member("IDs")), "[116,38793]");
    EXPECT_EQ(inner->member("At")->member("Latitude")->number, 37.7668);
    EXPECT_EQ(inner->member("At")->member("Longitude")->number, -122.02602);
    ASSERT_EQ(inner->members.size(), 5u);
    EXPECT_EQ(inner->members[2].first, "Animated") << "members keep the document's order";

    EXPECT_EQ(Parsed(R"("\uD834\uDD1E")").text, "\xF0\x9D\x84\x9E");
    EXPECT_EQ(Parsed(R"("\"\\\/\b\f\n\r\t\u00e9\u20AC")").text,
              "\"\\/\b\f\n\r\t\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(Parsed(R"("a\u0000b")").text, std::string("a\0b", 3));
    EXPECT_EQ(Parsed("\"\xE2\x80\xA8 \xF4\x8F\xBF\xBF\"").text, "\xE2\x80\xA8 \xF4\x8F\xBF\xBF");
}

TEST(JsonRead, ReadsNumbersToTheNearestDouble) {
    EXPECT_EQ(Parsed("1E+2").number, 100);
    EXPECT_EQ(Parsed("0.5e-1").number, 0.05);
    EXPECT_TRUE(std::signbit(Parsed("-0").number));
    EXPECT_EQ(Parsed("1.7976931348623157e308").number, DBL_MAX);
    EXPECT_EQ(Parsed("-4.9e-324").number, -std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(Parsed("0e99999999999999999999").number, 0);
    // Too close to zero for a double, unlike too large, is no fault: it rounds as any decimal does.
    EXPECT_EQ(Parsed("1e-400").number, 0);
    EXPECT_TRUE(std::signbit(Parsed("-1e-99999999999999999999").number));
    EXPECT_EQ(Parsed("0." + std::string(398, '3')).number, 1.0 / 3);

    EXPECT_TRUE(IsWholeNumberIn(Parsed("1.0e2"), 0, 65535));
    EXPECT_FALSE(IsWholeNumberIn(Parsed("65536"), 0, 65535));
    EXPECT_FALSE(IsWholeNumberIn(Parsed("0.5"), 0, 65535));
    EXPECT_FALSE(IsWholeNumberIn(Parsed("\"7\""), 0, 65535));
}

TEST(JsonRead, RefusesFaultsWithTheirByteAndCause) {
    EXPECT_EQ(Refusal(""), "byte 1: no value: the text is empty");
    EXPECT_EQ(Refusal("01"), "byte 1: \"01\" is not a number (a number has no leading zeros)");
    EXPECT_EQ(Refusal("[1,]"),
              "byte 4: ']' after a comma: JSON allows no comma after the last item");
    EXPECT_EQ(Refusal("\"a\xC3(b\""), "byte 3: invalid UTF-8 (0xC3 0x28)");
    EXPECT_EQ(Refusal("\"\xE2\x82"), "byte 2: invalid UTF-8 (0xE2 0x82, cut off by the end of "
                                     "the text)");
    EXPECT_EQ(Refusal(Nested(JSON_MAX_DEPTH + 1)),
              "byte 33: arrays and objects nest more than 32 deep");
    EXPECT_EQ(Refusal("[1, 2]", 5), "byte 6: the text is longer than the 5 bytes allowed");

    // The rest by the byte only: structure, numbers, escapes and surrogates, UTF-8, limits.
    RefusedAt(1, {" \r\n\t", "\xEF\xBB\xBF{}", "tru", "True", "\f1", "\xE2\x80\x9Cq\xE2\x80\x9D",
                  "[1,\n2", "{\"a\":", "0x1F", "+1", ".5", "-", "1e+", "1.5.2", "NaN", "-Infinity",
                  "1e400", "-1.8e308", "\"abc\\"});
    RefusedAt(2, {"[truex]", "[,1]", "[nul]", "['b']", "[\"abc", "{a:1}", "[-012]", "[1.e5]"});
    RefusedAt(2, {"\"\x1F\"", "\"\\q\"", "\"\\\n\"", "\"\\u12G4\"", "\"\\u12\"", "\"\\uD83D\"",
                  "\"\\ud83d\\u0041\"", "\"\\uD83D\\uD83D\""});
    RefusedAt(2, {"\"\xC0\xAF\"", "\"\xE0\x80\xAF\"", "\"\xED\xA0\x80\"", "\"\xF4\x90\x80\x80\"",
                  "\"\xF0\x9F\x98\"", "[\xFE]"});
    RefusedAt(3, {"1 2", "{}\x01", "\"a\nb\"", "\"x\\uDE00\"", "{\"\x80\":1}"});
    RefusedAt(4, {"{\"\"1}", "[1 2]", "{}\n}"});
    RefusedAt(8, {"{\"a\":1,}", "{\"a\":1 \"b\":2}"});
    // Limits: objects count in the depth; escapes count in a string's length.
    RefusedAt(1, {"1" + std::string(JSON_MAX_NUMBER_CHARS, '0'),
                  "\"" + std::string(JSON_MAX_STRING_BYTES + 1, 'x') + "\""});
    RefusedAt(37, {"[{\"a\":" + Nested(JSON_MAX_DEPTH - 1) + "}]"});
    RefusedAt(2, {"[\"" + std::string(JSON_MAX_STRING_BYTES, 'x') + "\\u00e9\"]"});
    RefusedAt(JSON_MAX_TEXT_BYTES + 1, {std::string(JSON_MAX_TEXT_BYTES + 1, ' ')});

    // Up to each limit all is taken.
    EXPECT_EQ(Parsed(Nested(JSON_MAX_DEPTH)).items.size(), 1u);
    EXPECT_EQ(Parsed("\"" + std::string(JSON_MAX_STRING_BYTES, 'x') + "\"").text.size(),
              JSON_MAX_STRING_BYTES);
    std::string zeros = "[0";
    while (zeros.size() + 3 <= JSON_MAX_TEXT_BYTES)
        zeros += ",0";
    zeros.resize(JSON_MAX_TEXT_BYTES - 1, ' ');
    EXPECT_EQ(Parsed(zeros + "]").items.size(), (JSON_MAX_TEXT_BYTES - 1) / 2);
    EXPECT_TRUE(ParseJson(" 1 ", nullptr, nullptr)) << "value and why may both be left out";
    EXPECT_FALSE(ParseJson(" 1 x", nullptr, nullptr));
}

TEST(JsonRead, DuplicateNamesAreKeptInOrderAndTheLastWins) {
    const JsonValue value = Parsed(R"({"port": 1, "memory": "ram", "port": "three"})");
    EXPECT_EQ(value.member("port")->text, "three");
    EXPECT_EQ(value.member("Port"), nullptr) << "names are compared exactly";
    EXPECT_EQ(Parsed("[\"port\"]").member("port"), nullptr) << "an array has no members";
    EXPECT_EQ(StringMember(Parsed(R"({"port": "1", "port": 1})"), "port"), nullptr)
        << "the last of the repeats is not a string";
    EXPECT_EQ(WriteJson(value), R"({"port":1,"memory":"ram","port":"three"})");
}

TEST(JsonWrite, WhatIsWrittenReadsBackAsItWas) {
    std::string ascii;
    for (int c = 0; c < 0x80; ++c)
        ascii.push_back(static_cast<char>(c));
    for (const std::string &text : {ascii, std::string("\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBF")})
        EXPECT_EQ(Parsed(JsonString(text)).text, text) << JsonString(text);
    EXPECT_EQ(JsonString("\"\\\n\x01\x7F/"), "\"\\\"\\\\\\n\\u0001\x7F/\"");
    // Invalid UTF-8 becomes one U+FFFD for each maximal invalid part, the rest as it was.
    const std::string fffd = "\xEF\xBF\xBD";
    EXPECT_EQ(Parsed(JsonString("a\xFF\xFEg\xE2\x82h\xED\xA0\x80i\xF0\x9F\x98")).text,
              "a" + fffd + fffd + "g" + fffd + "h" + fffd + fffd + fffd + "i" + fffd);

    for (const double number : {0.1, 1.0 / 3, -0.0, 1e21, 1e-7, DBL_MAX, DBL_MIN,
                                std::numeric_limits<double>::denorm_min()}) {
        const double read = Parsed(JsonNumber(number)).number;
        EXPECT_EQ(read, number) << JsonNumber(number);
        EXPECT_EQ(std::signbit(read), std::signbit(number)) << JsonNumber(number);
    }
    EXPECT_EQ(JsonNumber(0.1), "0.1");
    EXPECT_EQ(JsonNumber(std::nan("")), "null");
    EXPECT_EQ(JsonNumber(-HUGE_VAL), "null");
    // Integers are written exactly; past 2^53 a reader gets the nearest double.
    EXPECT_EQ(JsonInteger(ULLONG_MAX), "18446744073709551615");
    EXPECT_EQ(Parsed(JsonInteger(ULLONG_MAX)).number, 18446744073709551616.0);

    const unsigned short parameter = 65535;
    JsonArray words;
    words.add(parameter).add(LLONG_MIN).add(2.5).add(true).add("t").addNull();
    words.addRaw(JsonArray().text());
    JsonObject record;
    record.add("zeta", 1).add("alpha", std::string("two\nlines")).add("literal", "not a boolean");
    record.add("flag", false).add("ratio", std::nan("")).addNull("none");
    record.addRaw("words", words.text()).addRaw("empty", JsonObject().text());
    const std::string line = record.text();
    EXPECT_EQ(line, R"({"zeta":1,"alpha":"two\nlines","literal":"not a boolean","flag":false,)"
                    R"("ratio":null,"none":null,)"
                    R"("words":[65535,-9223372036854775808,2.5,true,"t",null,[]],"empty":{}})");
    EXPECT_EQ(JsonObject().add("firmware", static_cast<const char *>(nullptr)).text(),
              R"({"firmware":null})");
    EXPECT_EQ(WriteJson(Parsed(line)), line) << "the generic writer writes what the builders wrote";
    EXPECT_NE(Parsed(R"({"a":1,"b":2})"), Parsed(R"({"b":2,"a":1})")) << "order is part of a value";
}
