// JSON reader and writer: a recursive descent over the text with every limit checked, and writers
// whose output the reader always takes back.
#include "json.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace kelvaro {

namespace {

// A token quoted in a message is cut here: enough to recognise it, short enough for a status line.
const std::size_t SHOWN_TOKEN_CHARS = 24;
// The longest text std::to_chars makes for a double in its shortest form is 24 characters.
const std::size_t NUMBER_TEXT_CHARS = 32;
// Exponents beyond this make any number overflow or vanish: counting further changes nothing.
const long long EXPONENT_SATURATION = 100000;
const char REPLACEMENT_CHARACTER[] = "\xEF\xBF\xBD";
const char BYTE_ORDER_MARK[] = "\xEF\xBB\xBF";

// What the messages about an array or an object say.
struct Container {
    char close;
    const char *notClosed;
    const char *expected;
    const char *trailingComma;
};
const Container ARRAY = {']', "an array is not closed", "expected ',' or ']' after an item",
                         "']' after a comma: JSON allows no comma after the last item"};
const Container OBJECT = {'}', "an object is not closed", "expected ',' or '}' after a member",
                          "'}' after a comma: JSON allows no comma after the last member"};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsWhiteSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The characters a script author sees as one word, so a message can quote all of "Infinity" or
// "0x1F" rather than its first byte.
bool IsTokenChar(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '.' ||
           c == '+' || c == '-';
}

std::string HexByte(unsigned char byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

// The length of the valid UTF-8 sequence at text[pos], or 0 when it is invalid; then *invalid is
// the length of its maximal invalid part (at least 1), which is replaced or reported as one.
std::size_t Utf8SequenceLength(const std::string &text, std::size_t pos, std::size_t *invalid) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned char secondLow = 0x80;  // the second byte's range excludes overlong forms,
    unsigned char secondHigh = 0xBF; // UTF-16 surrogates and code points past U+10FFFF
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            secondLow = 0xA0;
        else if (lead == 0xED)
            secondHigh = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            secondLow = 0x90;
        else if (lead == 0xF4)
            secondHigh = 0x8F;
    } else {
        *invalid = 1;
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const std::size_t at = pos + i;
        const unsigned char low = i == 1 ? secondLow : 0x80;
        const unsigned char high = i == 1 ? secondHigh : 0xBF;
        if (at >= text.size() || static_cast<unsigned char>(text[at]) < low ||
            static_cast<unsigned char>(text[at]) > high) {
            *invalid = i;
            return 0;
        }
    }
    return length;
}

void AppendUtf8(std::string *out, unsigned long codePoint) {
    if (codePoint < 0x80) {
        out->push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

// Whether a number that no double holds is too large, else too close to zero: by the decimal
// exponent of its first significant digit. Such numbers lie beyond 1e308 or below 1e-323, so the
// sign of that exponent decides. The text follows the number grammar.
bool IsBeyondLargestDouble(const char *first, const char *last) {
    const char *at = first;
    if (*at == '-')
        ++at;
    long long magnitude = 0;
    bool significant = false;
    const char *integerStart = at;
    while (at < last && IsDigit(*at))
        ++at;
    for (const char *d = integerStart; d < at && !significant; ++d) {
        if (*d != '0') {
            magnitude = at - d - 1;
            significant = true;
        }
    }
    if (at < last && *at == '.') {
        const char *fractionStart = ++at;
        while (at < last && IsDigit(*at)) {
            if (!significant && *at != '0') {
                magnitude = -(at - fractionStart + 1);
                significant = true;
            }
            ++at;
        }
    }
    long long exponent = 0;
    if (at < last && (*at == 'e' || *at == 'E')) {
        ++at;
        const bool negative = *at == '-';
        if (*at == '-' || *at == '+')
            ++at;
        for (; at < last; ++at) {
            if (exponent < EXPONENT_SATURATION)
                exponent = 10 * exponent + (*at - '0');
        }
        if (negative)
            exponent = -exponent;
    }
    return magnitude + exponent > 0;
}

class Reader {
  public:
    explicit Reader(const std::string &text) : text_(text) {}

    bool readDocument(JsonValue *value) {
        if (text_.compare(0, sizeof BYTE_ORDER_MARK - 1, BYTE_ORDER_MARK) == 0)
            return fail(0, "a byte order mark (0xEF 0xBB 0xBF) before the value; JSON is sent "
                           "without one");
        skipWhiteSpace();
        if (atEnd())
            return fail(0, text_.empty() ? "no value: the text is empty"
                                         : "no value: the text is only white space");
        if (!readValue(value, 0))
            return false;
        skipWhiteSpace();
        if (!atEnd())
            return fail(pos_, shown(pos_) + " after the end of the value");
        return true;
    }

    const std::string &why() const { return why_; }

  private:
    bool atEnd() const { return pos_ >= text_.size(); }
    char current() const { return text_[pos_]; }

    void skipWhiteSpace() {
        while (!atEnd() && IsWhiteSpace(current()))
            ++pos_;
    }

    bool fail(std::size_t at, const std::string &what) {
        why_ = "byte " + std::to_string(at + 1) + ": " + what;
        return false;
    }

    // at starts an invalid sequence whose maximal invalid part is invalid bytes long: the message
    // shows those bytes and the one that broke the sequence.
    bool failInvalidUtf8(std::size_t at, std::size_t invalid) {
        const auto lead = static_cast<unsigned char>(text_[at]);
        const bool validLead = lead >= 0xC2 && lead <= 0xF4;
        std::string bytes;
        const std::size_t shownBytes = validLead ? invalid + 1 : invalid;
        for (std::size_t i = 0; i < shownBytes && at + i < text_.size(); ++i)
            bytes += (i > 0 ? " " : "") + HexByte(static_cast<unsigned char>(text_[at + i]));
        if (at + shownBytes > text_.size())
            bytes += ", cut off by the end of the text";
        return fail(at, "invalid UTF-8 (" + bytes + ")");
    }

    // The byte at pos as a message shows it: 'x', a UTF-8 character in quotes, or its value.
    std::string shown(std::size_t pos) const {
        if (pos >= text_.size())
            return "the end of the text";
        const auto byte = static_cast<unsigned char>(text_[pos]);
        if (byte >= 0x20 && byte < 0x7F)
            return std::string("'") + text_[pos] + "'";
        std::size_t invalid = 0;
        const std::size_t length = byte >= 0x80 ? Utf8SequenceLength(text_, pos, &invalid) : 0;
        if (length > 0)
            return "'" + text_.substr(pos, length) + "'";
        return HexByte(byte);
    }

    // The word that starts at pos, cut for a message, or the byte there when no word starts.
    std::string token(std::size_t pos) const {
        std::size_t end = pos;
        while (end < text_.size() && IsTokenChar(text_[end]))
            ++end;
        if (end == pos)
            return shown(pos);
        if (end - pos > SHOWN_TOKEN_CHARS)
            return "\"" + text_.substr(pos, SHOWN_TOKEN_CHARS) + "...\"";
        return "\"" + text_.substr(pos, end - pos) + "\"";
    }

    std::string lowerToken(std::size_t pos) const {
        std::string word;
        for (std::size_t at = pos; at < text_.size() && IsTokenChar(text_[at]); ++at) {
            const char c = text_[at];
            word += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        }
        return word;
    }

    bool isNotANumberWord(std::size_t pos) const {
        std::string word = lowerToken(pos);
        if (!word.empty() && (word[0] == '-' || word[0] == '+'))
            word.erase(0, 1);
        return word == "nan" || word == "inf" || word == "infinity";
    }

    bool failNotAValue(std::size_t at) {
        const auto byte = static_cast<unsigned char>(text_[at]);
        std::size_t invalid = 0;
        if (byte >= 0x80 && Utf8SequenceLength(text_, at, &invalid) == 0)
            return failInvalidUtf8(at, invalid);
        std::string hint;
        const std::string word = lowerToken(at);
        if (isNotANumberWord(at))
            hint = " (JSON has no NaN or infinity)";
        else if (word == "true" || word == "false" || word == "null")
            hint = " (true, false and null are written in lower case)";
        else if (byte == '+')
            hint = " (a number has no '+' sign)";
        else if (byte == '.')
            hint = " (a number starts with a digit)";
        else if (byte == '\'')
            hint = " (strings are in double quotes)";
        return fail(at, token(at) + " is not a value" + hint);
    }

    bool readValue(JsonValue *value, int depth) {
        switch (current()) {
        case '{':
            return readObject(value, depth + 1);
        case '[':
            return readArray(value, depth + 1);
        case '"':
            value->type = JsonType::String;
            return readString(&value->text);
        case 't':
            return readLiteral("true", JsonType::Boolean, true, value);
        case 'f':
            return readLiteral("false", JsonType::Boolean, false, value);
        case 'n':
            return readLiteral("null", JsonType::Null, false, value);
        default:
            if (current() == '-' || IsDigit(current())) {
                value->type = JsonType::Number;
                return readNumber(&value->number);
            }
            return failNotAValue(pos_);
        }
    }

    bool readLiteral(const char *word, JsonType type, bool boolean, JsonValue *value) {
        const std::string literal = word;
        if (text_.compare(pos_, literal.size(), literal) != 0 ||
            (pos_ + literal.size() < text_.size() && IsTokenChar(text_[pos_ + literal.size()])))
            return failNotAValue(pos_);
        value->type = type;
        value->boolean = boolean;
        pos_ += literal.size();
        return true;
    }

    bool failNotANumber(std::size_t start, const std::string &reason) {
        return fail(start, token(start) + " is not a number (" + reason + ")");
    }

    bool readDigits(std::size_t start, const char *after) {
        if (atEnd() || !IsDigit(current()))
            return failNotANumber(start, std::string("a digit must follow ") + after);
        while (!atEnd() && IsDigit(current()))
            ++pos_;
        return true;
    }

    bool readNumber(double *number) {
        const std::size_t start = pos_;
        if (current() == '-')
            ++pos_;
        if (isNotANumberWord(start))
            return failNotANumber(start, "JSON has no NaN or infinity");
        if (!atEnd() && current() == '0') {
            ++pos_;
            if (!atEnd() && IsDigit(current()))
                return failNotANumber(start, "a number has no leading zeros");
            if (!atEnd() && (current() == 'x' || current() == 'X'))
                return failNotANumber(start, "numbers are decimal");
        } else if (!readDigits(start, "'-'")) {
            return false;
        }
        if (!atEnd() && current() == '.') {
            ++pos_;
            if (!readDigits(start, "'.'"))
                return false;
        }
        if (!atEnd() && (current() == 'e' || current() == 'E')) {
            ++pos_;
            if (!atEnd() && (current() == '+' || current() == '-'))
                ++pos_;
            if (!readDigits(start, "the exponent's 'e'"))
                return false;
        }
        if (!atEnd() && IsTokenChar(current()))
            return failNotANumber(start, "a number is digits with an optional '-', fraction and "
                                         "exponent");
        if (pos_ - start > JSON_MAX_NUMBER_CHARS)
            return fail(start, "a number longer than " + std::to_string(JSON_MAX_NUMBER_CHARS) +
                                   " characters");
        const char *first = text_.data() + start;
        const char *last = text_.data() + pos_;
        const std::from_chars_result result = std::from_chars(first, last, *number);
        if (result.ec == std::errc::result_out_of_range) {
            if (IsBeyondLargestDouble(first, last))
                return fail(start, token(start) +
                                       " is too large for a number (the largest is about 1.8e308)");
            *number = *first == '-' ? -0.0 : 0.0;
        } else if (result.ec != std::errc() || result.ptr != last) {
            return failNotANumber(start, "it cannot be read as a double");
        }
        return true;
    }

    bool readHex4(std::size_t at, unsigned long *unit) const {
        if (at + 4 > text_.size())
            return false;
        *unit = 0;
        for (std::size_t i = at; i < at + 4; ++i) {
            const char c = text_[i];
            int digit = 0;
            if (IsDigit(c))
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return false;
            *unit = 16 * *unit + static_cast<unsigned long>(digit);
        }
        return true;
    }

    // pos_ is at the backslash of "\u"; leaves it after the escape (or the surrogate pair).
    bool readUnicodeEscape(std::string *text) {
        const std::size_t escape = pos_;
        unsigned long unit = 0;
        if (!readHex4(escape + 2, &unit))
            return fail(escape, "\\u must be followed by four hex digits");
        const std::string written = text_.substr(escape, 6);
        pos_ += 6;
        if (unit >= 0xDC00 && unit <= 0xDFFF)
            return fail(escape, written + " is the second half of a surrogate pair without its " +
                                    "first half");
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            unsigned long low = 0;
            if (text_.compare(pos_, 2, "\\u") != 0 || !readHex4(pos_ + 2, &low) || low < 0xDC00 ||
                low > 0xDFFF)
                return fail(escape, written + " is the first half of a surrogate pair, and no " +
                                        "second half (\\uDC00 to \\uDFFF) follows");
            pos_ += 6;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        AppendUtf8(text, unit);
        return true;
    }

    // pos_ is at a backslash with a byte after it; leaves it after the escape.
    bool readEscape(std::string *text) {
        const std::size_t escape = pos_;
        const char kind = text_[escape + 1];
        // Pairs of the letter after the backslash and the byte it stands for.
        const char *shortForms = "\"\"\\\\//b\bf\fn\nr\rt\t";
        for (const char *form = shortForms; *form != '\0'; form += 2) {
            if (kind == form[0]) {
                text->push_back(form[1]);
                pos_ += 2;
                return true;
            }
        }
        if (kind == 'u')
            return readUnicodeEscape(text);
        const std::string written = kind > 0x20 && kind < 0x7F
                                        ? "\\" + std::string(1, kind)
                                        : "a backslash before " + shown(escape + 1);
        return fail(escape, written + " is not an escape; the escapes are \\\" \\\\ \\/ \\b \\f "
                                      "\\n \\r \\t and \\u with four hex digits");
    }

    bool failControlCharacter(std::size_t at) {
        const char c = text_[at];
        // Pairs of a control character and the letter of its short escape.
        const char *escapes = "\bb\ff\nn\rr\tt";
        std::string written;
        for (const char *form = escapes; *form != '\0'; form += 2) {
            if (c == form[0])
                written = std::string("\\") + form[1];
        }
        if (written.empty()) {
            char unicode[8];
            std::snprintf(unicode, sizeof unicode, "\\u%04X", static_cast<unsigned char>(c));
            written = unicode;
        }
        return fail(at, "the control character " + HexByte(static_cast<unsigned char>(c)) +
                            " must be escaped in a string (as " + written + ")");
    }

    // pos_ is at the opening quote; leaves it after the closing one.
    bool readString(std::string *text) {
        const std::size_t open = pos_++;
        text->clear();
        for (;;) {
            // Plain characters go over in runs: most strings hold nothing else.
            const std::size_t run = pos_;
            while (!atEnd()) {
                const auto byte = static_cast<unsigned char>(current());
                if (byte < 0x20 || byte >= 0x80 || byte == '"' || byte == '\\')
                    break;
                ++pos_;
            }
            text->append(text_, run, pos_ - run);
            if (text->size() > JSON_MAX_STRING_BYTES)
                return fail(open, "a string longer than " + std::to_string(JSON_MAX_STRING_BYTES) +
                                      " bytes");
            if (atEnd())
                return fail(open, "a string is not closed");
            const auto byte = static_cast<unsigned char>(current());
            if (byte == '"') {
                ++pos_;
                return true;
            }
            if (byte == '\\') {
                if (pos_ + 1 >= text_.size())
                    return fail(open, "a string is not closed");
                if (!readEscape(text))
                    return false;
            } else if (byte < 0x20) {
                return failControlCharacter(pos_);
            } else {
                std::size_t invalid = 0;
                const std::size_t length = Utf8SequenceLength(text_, pos_, &invalid);
                if (length == 0)
                    return failInvalidUtf8(pos_, invalid);
                text->append(text_, pos_, length);
                pos_ += length;
            }
        }
    }

    bool failTooDeep(std::size_t open) {
        return fail(open, "arrays and objects nest more than " + std::to_string(JSON_MAX_DEPTH) +
                              " deep");
    }

    // After a value inside a container: true with pos_ past a comma and its white space, or past
    // the container's end (*closed set); false with the fault.
    bool readSeparator(std::size_t open, const Container &container, bool *closed) {
        skipWhiteSpace();
        if (atEnd())
            return fail(open, container.notClosed);
        if (current() == container.close) {
            ++pos_;
            *closed = true;
            return true;
        }
        if (current() != ',')
            return fail(pos_, std::string(container.expected) + ", found " + shown(pos_));
        ++pos_;
        skipWhiteSpace();
        if (atEnd())
            return fail(open, container.notClosed);
        if (current() == container.close)
            return fail(pos_, container.trailingComma);
        *closed = false;
        return true;
    }

    bool readArray(JsonValue *value, int depth) {
        const std::size_t open = pos_++;
        if (depth > JSON_MAX_DEPTH)
            return failTooDeep(open);
        value->type = JsonType::Array;
        skipWhiteSpace();
        if (atEnd())
            return fail(open, ARRAY.notClosed);
        if (current() == ']') {
            ++pos_;
            return true;
        }
        for (bool closed = false; !closed;) {
            value->items.emplace_back();
            if (!readValue(&value->items.back(), depth) || !readSeparator(open, ARRAY, &closed))
                return false;
        }
        return true;
    }

    bool readObject(JsonValue *value, int depth) {
        const std::size_t open = pos_++;
        if (depth > JSON_MAX_DEPTH)
            return failTooDeep(open);
        value->type = JsonType::Object;
        skipWhiteSpace();
        if (atEnd())
            return fail(open, OBJECT.notClosed);
        if (current() == '}') {
            ++pos_;
            return true;
        }
        for (bool closed = false; !closed;) {
            if (current() != '"')
                return fail(pos_, "expected a member name in double quotes, found " + shown(pos_));
            value->members.emplace_back();
            auto &member = value->members.back();
            if (!readString(&member.first))
                return false;
            skipWhiteSpace();
            if (atEnd())
                return fail(open, OBJECT.notClosed);
            if (current() != ':')
                return fail(pos_, "expected ':' after the member name, found " + shown(pos_));
            ++pos_;
            skipWhiteSpace();
            if (atEnd())
                return fail(open, OBJECT.notClosed);
            if (!readValue(&member.second, depth) || !readSeparator(open, OBJECT, &closed))
                return false;
        }
        return true;
    }

    const std::string &text_;
    std::size_t pos_ = 0;
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
    Reader reader(text);
    JsonValue read;
    if (!reader.readDocument(&read)) {
        if (why != nullptr)
            *why = reader.why();
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
    std::string out;
    out.reserve(utf8.size() + 2);
    out.push_back('"');
    for (std::size_t pos = 0; pos < utf8.size();) {
        const auto byte = static_cast<unsigned char>(utf8[pos]);
        if (byte >= 0x80) {
            std::size_t invalid = 0;
            const std::size_t length = Utf8SequenceLength(utf8, pos, &invalid);
            if (length > 0)
                out.append(utf8, pos, length);
            else
                out += REPLACEMENT_CHARACTER;
            pos += length > 0 ? length : invalid;
            continue;
        }
        switch (byte) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (byte < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04X", byte);
                out += escaped;
            } else {
                out.push_back(static_cast<char>(byte));
            }
        }
        ++pos;
    }
    out.push_back('"');
    return out;
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
