// Sparkplug B payloads in and out: the station's births and data encoded, and a host's commands
// decoded from untrusted bytes under fixed limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvaro {

// The Sparkplug data types the station declares.
const uint32_t SPARKPLUG_UINT16 = 6;
const uint32_t SPARKPLUG_UINT64 = 8;
const uint32_t SPARKPLUG_BOOLEAN = 11;
const uint32_t SPARKPLUG_STRING = 12;

// What a command may be at most: no metric of the station needs more.
const size_t MAX_SPARKPLUG_COMMAND_BYTES = 16384;
const size_t MAX_SPARKPLUG_COMMAND_METRICS = 64;
const size_t MAX_SPARKPLUG_NAME_BYTES = 128;

struct SparkplugMetric {
    // Which value the metric carries.
    enum Value { NONE, WHOLE, BOOLEAN, TEXT, OTHER };

    std::string name; // "" when only the alias names it
    bool hasAlias = false;
    uint64_t alias = 0;
    uint64_t timestamp = 0; // ms since 1970; 0 for none
    uint32_t datatype = 0;  // 0 when not given
    Value value = NONE;
    uint64_t whole = 0; // int_value or long_value
    bool boolean = false;
    std::string text;
};

struct SparkplugPayload {
    uint64_t timestamp = 0; // ms since 1970; 0 for none
    bool hasSeq = false;
    uint64_t seq = 0;
    std::vector<SparkplugMetric> metrics;
};

// The payload's bytes. A whole value of a type up to 32 bits goes as int_value, a wider one as
// long_value.
std::string EncodeSparkplugPayload(const SparkplugPayload &payload);
// Reads a command's bytes. Returns true with *payload, or false with *why (too large, not a
// payload, too many metrics, a name too long or not printable text).
bool DecodeSparkplugPayload(const void *bytes, size_t size, SparkplugPayload *payload,
                            std::string *why);

} // namespace kelvaro
