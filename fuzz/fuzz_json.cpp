// Fuzz target of the JSON reader and writers: any text is read or refused with a "byte N: ..."
// message, and what was read, written again, reads back as the very same value.
#include "json.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace kelvaro;

namespace {

[[noreturn]] void Fail(const char *what, const std::string &detail) {
    std::fprintf(stderr, "fuzz_json: %s: %s\n", what, detail.c_str());
    std::abort();
}

// Equal to the bit: the writer promises the very double back, so -0 must stay -0. Read numbers are
// never NaN, so no NaN needs a rule.
bool Identical(const JsonValue &a, const JsonValue &b) {
    if (a.type != b.type || a.boolean != b.boolean || a.text != b.text ||
        std::memcmp(&a.number, &b.number, sizeof a.number) != 0 ||
        a.items.size() != b.items.size() || a.members.size() != b.members.size())
        return false;
    for (std::size_t i = 0; i < a.items.size(); ++i) {
        if (!Identical(a.items[i], b.items[i]))
            return false;
    }
    for (std::size_t i = 0; i < a.members.size(); ++i) {
        if (a.members[i].first != b.members[i].first ||
            !Identical(a.members[i].second, b.members[i].second))
            return false;
    }
    return true;
}

// UTF-8 validity decided otherwise than the module decides it: decode, then reject overlong forms,
// UTF-16 surrogates and code points past U+10FFFF.
bool IsValidUtf8(const std::string &text) {
    static const uint32_t LEAST[] = {0, 0x80, 0x800, 0x10000};
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int more = lead < 0x80           ? 0
                         : (lead >> 5) == 0x6  ? 1
                         : (lead >> 4) == 0xE  ? 2
                         : (lead >> 3) == 0x1E ? 3
                                               : -1;
        if (more < 0 || i + std::size_t(more) >= text.size())
            return false;
        uint32_t codePoint = lead & (0x7F >> more);
        for (int k = 1; k <= more; ++k) {
            const auto byte = static_cast<unsigned char>(text[i + k]);
            if ((byte & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (byte & 0x3F);
        }
        if (codePoint < LEAST[more] || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        i += std::size_t(more) + 1;
    }
    return true;
}

// A refusal names a byte of the text, or the one just after it, first.
void CheckRefusal(const std::string &text, const std::string &why) {
    unsigned long long byte = 0;
    int consumed = 0;
    if (std::sscanf(why.c_str(), "byte %llu: %n", &byte, &consumed) != 1 || consumed == 0 ||
        why.size() <= std::size_t(consumed))
        Fail("a refusal without its byte and cause", why);
    if (byte < 1 || byte > text.size() + 1)
        Fail("a refusal names a byte outside the text", why);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);

    JsonValue value;
    value.type = JsonType::String;
    value.text = "untouched";
    const JsonValue before = value;
    std::string why;
    if (!ParseJson(text, &value, &why)) {
        CheckRefusal(text, why);
        if (!Identical(value, before))
            Fail("a refusal changed the value", why);
    } else {
        if (!why.empty())
            Fail("a success changed why", why);
        // Outside strings JSON is ASCII, and strings are read only when valid.
        if (!IsValidUtf8(text))
            Fail("a text with invalid UTF-8 was taken", text);
        const std::string written = WriteJson(value);
        if (written.find('\n') != std::string::npos)
            Fail("a value written on more than one line", written);
        JsonValue again;
        if (!ParseJson(written, &again, &why, written.size()))
            Fail("what was written does not read back", why + " in " + written);
        if (!Identical(again, value) || !(again == value))
            Fail("what was written reads back as another value", written);
        if (WriteJson(again) != written)
            Fail("writing what was read back gives another text", written);
    }

    // Any bytes become a string that reads back, the same bytes exactly when they were valid UTF-8;
    // the text read is valid UTF-8 and so is written as it is. Each byte becomes at most three,
    // which must stay within a string's limit.
    if (text.size() * 3 > JSON_MAX_STRING_BYTES)
        return 0;
    const std::string quoted = JsonString(text);
    JsonValue string;
    if (!ParseJson(quoted, &string, &why, quoted.size()))
        Fail("a written string does not read back", why);
    if (string.type != JsonType::String)
        Fail("a written string reads back as something else", quoted);
    if (IsValidUtf8(text) != (string.text == text) || !IsValidUtf8(string.text))
        Fail("invalid UTF-8 not replaced, or valid UTF-8 changed", quoted);
    if (JsonString(string.text) != quoted)
        Fail("a string read back is written differently", quoted);
    return 0;
}
