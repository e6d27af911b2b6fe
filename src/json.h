// JSON (RFC 8259), read with nlohmann/json under our limits and written compactly: the station's
// command requests from the broker, the --json output and the journal's lines.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace kelvaro {

// What ParseJson takes at most unless told otherwise: a command request or a journal line is far
// smaller. The values read cost at most about 150 bytes of memory per byte of text.
const std::size_t JSON_MAX_TEXT_BYTES = 64 * 1024;
// Arrays and objects inside each other, the outermost counted: deeper text is refused, so hostile
// text cannot exhaust the stack.
const int JSON_MAX_DEPTH = 32;
// A string's bytes after its escapes are resolved.
const std::size_t JSON_MAX_STRING_BYTES = 16 * 1024;

enum class JsonType { Null, Boolean, Number, String, Array, Object };

struct JsonValue {
    JsonType type = JsonType::Null;
    bool boolean = false;
    double number = 0;                                      // always finite when read
    std::string text;                                       // a string's UTF-8, NULs included
    std::vector<JsonValue> items;                           // an array's
    std::vector<std::pair<std::string, JsonValue>> members; // an object's, in document order

    // The member called name, the last one when the name repeats; nullptr when there is none or
    // this is not an object.
    const JsonValue *member(const std::string &name) const;
};

// Same type and content; numbers compare as doubles (0 equals -0); members in the same order.
bool operator==(const JsonValue &a, const JsonValue &b);
bool operator!=(const JsonValue &a, const JsonValue &b);

// Reads text, which must be one JSON value with nothing but white space around it and at most
// maxBytes long. Returns true with *value (value may be null to only check), or false with *why
// (why may be null) saying the fault and, for a fault of the text, its byte counted from 1, e.g.
// "byte 4: syntax error while parsing value - invalid literal; last read: 'tru'"; *value is then
// untouched. Numbers too large for a double are refused.
bool ParseJson(const std::string &text, JsonValue *value, std::string *why,
               std::size_t maxBytes = JSON_MAX_TEXT_BYTES);

// For messages: "null", "a boolean", "a number", "a string", "an array" or "an object".
const char *JsonTypeName(JsonType type);
// True when value is a number without a fraction from low to high inclusive.
bool IsWholeNumberIn(const JsonValue &value, double low, double high);
// The text of the string member called name (the last when it repeats); nullptr when there is no
// such member or it is not a string.
const std::string *StringMember(const JsonValue &object, const std::string &name);

// utf8 as a JSON string in quotes: '"', '\' and control characters escaped, valid UTF-8 as it is,
// each invalid sequence replaced by U+FFFD so the result is always valid JSON.
std::string JsonString(const std::string &utf8);
// The shortest text that reads back as the same double; "null" for NaN and infinities.
std::string JsonNumber(double number);
// value as compact JSON on one line (members in order, duplicates kept): what ParseJson reads
// back as an equal value.
std::string WriteJson(const JsonValue &value);

// Integers of any width in decimal, exactly.
template <typename Integer> std::string JsonInteger(Integer number) {
    static_assert(std::is_integral<Integer>::value && !std::is_same<Integer, bool>::value,
                  "JsonInteger takes integers; booleans and doubles have their own writers");
    return std::to_string(number);
}

// Builds a compact JSON object one member at a time, in the order added. Names are not checked
// for repeats: each name should be added once.
class JsonObject {
  public:
    template <typename Integer, typename = std::enable_if_t<std::is_integral<Integer>::value &&
                                                            !std::is_same<Integer, bool>::value>>
    JsonObject &add(const std::string &key, Integer number) {
        return addRaw(key, JsonInteger(number));
    }
    JsonObject &add(const std::string &key, double number);
    JsonObject &add(const std::string &key, bool flag);
    JsonObject &add(const std::string &key, const std::string &text);
    // Without it a string literal would become a boolean; nullptr is written as null.
    JsonObject &add(const std::string &key, const char *text);
    JsonObject &addNull(const std::string &key);
    // json must be one complete value as the writers here make it (an object, an array, ...).
    JsonObject &addRaw(const std::string &key, const std::string &json);
    std::string text() const;

  private:
    std::string members_;
};

// Builds a compact JSON array one item at a time, like JsonObject.
class JsonArray {
  public:
    template <typename Integer, typename = std::enable_if_t<std::is_integral<Integer>::value &&
                                                            !std::is_same<Integer, bool>::value>>
    JsonArray &add(Integer number) {
        return addRaw(JsonInteger(number));
    }
    JsonArray &add(double number);
    JsonArray &add(bool flag);
    JsonArray &add(const std::string &text);
    JsonArray &add(const char *text); // nullptr is written as null
    JsonArray &addNull();
    JsonArray &addRaw(const std::string &json);
    std::string text() const;

  private:
    std::string items_;
};

} // namespace kelvaro
