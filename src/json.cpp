// JSON reader and writer on nlohmann/json: its parser feeds our values directly, with the limits
// checked as they are read, and the writers' output is always valid JSON the reader takes back.
#include "json.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>
#include <vector>

namespace kelvaro {

namespace {

// A token quoted in a message is cut here: enough to recognise it, short enough for a status line.
const std::size_t SHOWN_TOKEN_CHARS = 24;
// The longest text std::to_chars makes for a double in its shortest form is 24 characters.
const std::size_t NUMBER_TEXT_CHARS = 32;
const char LAST_READ[] = "; last read: '";
const char ELLIPSIS[] = "\u2026";

// The library's message without its exception tag and line and column: the byte says where.
std::string Fault(const std::string &message) {
    std::string fault = message;
    const size_t tag = fault.find("] ");
    if (fault.rfind("[json.exception.", 0) == 0 && tag != std::string::npos)
        fault.erase(0, tag + 2);
    const size_t column = fault.find(": ");
    if (fault.rfind("parse error", 0) == 0 && column != std::string::npos)
        fault.erase(0, column + 2);
    // The token read so far may be as long as the text: a glimpse of it is enough.
    const size_t token = fault.find(LAST_READ);
    const size_t shown = token + std::strlen(LAST_READ) + SHOWN_TOKEN_CHARS;
    if (token != std::string::npos && fault.size() > shown + 1)
        fault = fault.substr(0, shown) + ELLIPSIS + "'";
    return fault;
}

// Builds a JsonValue from the parser's events: arrays and objects open on a stack, each the last
// item or member of the one below it, so that no pointer on it moves while it is open.
class Builder : public nlohmann::json_sax<nlohmann::json> {
  public:
    explicit Builder(JsonValue *root) : root_(root) {}
    const std::string &why() const { return why_; }

    bool null() override { return put(JsonValue{}); }
    bool boolean(bool flag) override {
        JsonValue value;
        value.type = JsonType::Boolean;
        value.boolean = flag;
        return put(std::move(value));
    }
    bool number_integer(number_integer_t number) override { return putNumber(double(number)); }
    bool number_unsigned(number_unsigned_t number) override { return putNumber(double(number)); }
    bool number_float(number_float_t number, const string_t &) override {
        return putNumber(number);
    }
    bool string(string_t &text) override {
        if (!fits(text))
            return false;
        JsonValue value;
        value.type = JsonType::String;
        value.text = std::move(text);
        return put(std::move(value));
    }
    bool binary(binary_t &) override { return false; } // JSON text has none
    bool start_object(std::size_t) override { return open(JsonType::Object); }
    bool key(string_t &name) override {
        if (!fits(name))
            return false;
        open_.back()->members.emplace_back(std::move(name), JsonValue{});
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(JsonType::Array); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t position, const std::string &,
                     const nlohmann::detail::exception &error) override {
        why_ = "byte " + std::to_string(std::max<std::size_t>(position, 1)) + ": " +
               Fault(error.what());
        return false;
    }

  private:
    // Where the next value goes: the root, a new item, or the member whose name came last.
    JsonValue *slot() {
        if (open_.empty())
            return root_;
        JsonValue *container = open_.back();
        if (container->type == JsonType::Array) {
            container->items.emplace_back();
            return &container->items.back();
        }
        return &container->members.back().second;
    }
    bool put(JsonValue &&value) {
        *slot() = std::move(value);
        return true;
    }
    bool putNumber(double number) {
        JsonValue value;
        value.type = JsonType::Number;
        value.number = number;
        return put(std::move(value));
    }
    bool open(JsonType type) {
        if (open_.size() >= std::size_t(JSON_MAX_DEPTH)) {
            why_ = "arrays and objects nest more than " + std::to_string(JSON_MAX_DEPTH) + " deep";
            return false;
        }
        JsonValue *container = slot();
        container->type = type;
        open_.push_back(container);
        return true;
    }
    bool close() {
        open_.pop_back();
        return true;
    }
    bool fits(const std::string &text) {
        if (text.size() <= JSON_MAX_STRING_BYTES)
            return true;
        why_ = "a string longer than " + std::to_string(JSON_MAX_STRING_BYTES) + " bytes";
        return false;
    }

    JsonValue *root_;
    std::vector<JsonValue *> open_;
    std::string why_;
};

void Write(const JsonValue &value, std::string *out) {
    switch (value.type) {
    case JsonType::Null:
        *out += "null";
        break;
    case JsonType::Boolean:
        *out += value.boolean ? "true" : "false";
        break;
    case JsonType::Number:
        *out += JsonNumber(value.number);
        break;
    case JsonType::String:
        *out += JsonString(value.text);
        break;
    case JsonType::Array:
        out->push_back('[');
        for (std::size_t i = 0; i < value.items.size(); ++i) {
            if (i > 0)
                out->push_back(',');
            Write(value.items[i], out);
        }
        out->push_back(']');
        break;
    case JsonType::Object:
        out->push_back('{');
        for (std::size_t i = 0; i < value.members.size(); ++i) {
            if (i > 0)
                out->push_back(',');
            *out += JsonString(value.members[i].first);
            out->push_back(':');
            Write(value.members[i].second, out);
        }
        out->push_back('}');
        break;
    }
}

} // namespace

const JsonValue *JsonValue::member(const std::string &name) const {
    if (type != JsonType::Object)
        return nullptr;
    for (auto it = members.rbegin(); it != members.rend(); ++it) {
        if (it->first == name)
            return &it->second;
    }
    return nullptr;
}

bool operator==(const JsonValue &a, const JsonValue &b) {
    if (a.type != b.type)
        return false;
    switch (a.type) {
    case JsonType::Null:
        return true;
    case JsonType::Boolean:
        return a.boolean == b.boolean;
    case JsonType::Number:
        return a.number == b.number;
    case JsonType::String:
        return a.text == b.text;
    case JsonType::Array:
        return a.items == b.items;
    case JsonType::Object:
        return a.members == b.members;
    }
    return false;
}

bool operator!=(const JsonValue &a, const JsonValue &b) {
    return !(a == b);
}

bool ParseJson(const std::string &text, JsonValue *value, std::string *why, std::size_t maxBytes) {
    if (text.size() > maxBytes) {
        if (why != nullptr)
            *why = "byte " + std::to_string(maxBytes + 1) + ": the text is longer than the " +
                   std::to_string(maxBytes) + " bytes allowed";
        return false;
    }
    JsonValue read;
    Builder builder(&read);
    if (!nlohmann::json::sax_parse(text, &builder)) {
        if (why != nullptr)
            *why = builder.why();
        return false;
    }
    if (value != nullptr)
        *value = std::move(read);
    return true;
}

const char *JsonTypeName(JsonType type) {
    switch (type) {
    case JsonType::Null:
        return "null";
    case JsonType::Boolean:
        return "a boolean";
    case JsonType::Number:
        return "a number";
    case JsonType::String:
        return "a string";
    case JsonType::Array:
        return "an array";
    case JsonType::Object:
        return "an object";
    }
    return "an unknown type";
}

bool IsWholeNumberIn(const JsonValue &value, double low, double high) {
    return value.type == JsonType::Number && std::isfinite(value.number) &&
           std::trunc(value.number) == value.number && value.number >= low && value.number <= high;
}

const std::string *StringMember(const JsonValue &object, const std::string &name) {
    const JsonValue *member = object.member(name);
    return member != nullptr && member->type == JsonType::String ? &member->text : nullptr;
}

std::string JsonString(const std::string &utf8) {
    // Names and most values are printable ASCII with nothing to escape: the live messages' keys
    // go out many times a second, so only other text goes through the library.
    const bool plain = std::all_of(utf8.begin(), utf8.end(), [](char c) {
        return c >= ' ' && c < '\x7f' && c != '"' && c != '\\';
    });
    if (plain)
        return '"' + utf8 + '"';
    return nlohmann::json(utf8).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string JsonNumber(double number) {
    if (!std::isfinite(number))
        return "null";
    char text[NUMBER_TEXT_CHARS];
    const std::to_chars_result result = std::to_chars(text, text + sizeof text, number);
    return std::string(text, result.ptr);
}

std::string WriteJson(const JsonValue &value) {
    std::string out;
    Write(value, &out);
    return out;
}

JsonObject &JsonObject::add(const std::string &key, double number) {
    return addRaw(key, JsonNumber(number));
}

JsonObject &JsonObject::add(const std::string &key, bool flag) {
    return addRaw(key, flag ? "true" : "false");
}

JsonObject &JsonObject::add(const std::string &key, const std::string &text) {
    return addRaw(key, JsonString(text));
}

JsonObject &JsonObject::add(const std::string &key, const char *text) {
    return addRaw(key, text != nullptr ? JsonString(text) : "null");
}

JsonObject &JsonObject::addNull(const std::string &key) {
    return addRaw(key, "null");
}

JsonObject &JsonObject::addRaw(const std::string &key, const std::string &json) {
    if (!members_.empty())
        members_.push_back(',');
    members_ += JsonString(key);
    members_.push_back(':');
    members_ += json;
    return *this;
}

std::string JsonObject::text() const {
    return "{" + members_ + "}";
}

JsonArray &JsonArray::add(double number) {
    return addRaw(JsonNumber(number));
}

JsonArray &JsonArray::add(bool flag) {
    return addRaw(flag ? "true" : "false");
}

JsonArray &JsonArray::add(const std::string &text) {
    return addRaw(JsonString(text));
}

JsonArray &JsonArray::add(const char *text) {
    return addRaw(text != nullptr ? JsonString(text) : "null");
}

JsonArray &JsonArray::addNull() {
    return addRaw("null");
}

JsonArray &JsonArray::addRaw(const std::string &json) {
    if (!items_.empty())
        items_.push_back(',');
    items_ += json;
    return *this;
}

std::string JsonArray::text() const {
    return "[" + items_ + "]";
}

} // namespace kelvaro
