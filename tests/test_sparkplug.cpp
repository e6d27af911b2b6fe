// Sparkplug B payloads: the bytes on the wire against a hand-worked example, births and data read
// back whole, and a host's command refused whole when it is not a payload within the limits.
#include "sparkplug_payload.h"

#include <gtest/gtest.h>

#include <string>

using namespace kelvaro;

namespace {

SparkplugMetric Whole(const std::string &name, uint64_t alias, uint64_t value) {
    SparkplugMetric metric;
    metric.name = name;
    metric.hasAlias = true;
    metric.alias = alias;
    metric.datatype = SPARKPLUG_UINT16;
    metric.value = SparkplugMetric::WHOLE;
    metric.whole = value;
    return metric;
}

std::string Bytes(std::initializer_list<int> bytes) {
    std::string text;
    for (int byte : bytes)
        text += char(byte);
    return text;
}

bool Decodes(const std::string &bytes, SparkplugPayload *payload, std::string *why) {
    return DecodeSparkplugPayload(bytes.data(), bytes.size(), payload, why);
}

} // namespace

// A data message by alias only: metrics (field 2) holding alias 1 and int_value 500, then seq 3.
TEST(SparkplugPayload, DataByAliasIsTheWorkedBytes) {
    SparkplugPayload data;
    data.hasSeq = true;
    data.seq = 3;
    SparkplugMetric norm = Whole("", 1, 500);
    norm.datatype = 0;
    data.metrics.push_back(norm);
    EXPECT_EQ(EncodeSparkplugPayload(data),
              Bytes({0x12, 0x05, 0x10, 0x01, 0x50, 0xF4, 0x03, 0x18, 0x03}));
}

TEST(SparkplugPayload, ABirthReadsBackWithNamesAliasesTypesAndValues) {
    SparkplugPayload birth;
    birth.timestamp = 1796630400123;
    birth.hasSeq = true;
    birth.seq = 0;
    birth.metrics.push_back(Whole("Live/norm", 1, 65535));
    SparkplugMetric led;
    led.name = "Live/ref_led";
    led.hasAlias = true;
    led.alias = 10;
    led.datatype = SPARKPLUG_BOOLEAN;
    led.value = SparkplugMetric::BOOLEAN;
    led.boolean = true;
    birth.metrics.push_back(led);
    SparkplugMetric firmware;
    firmware.name = "Properties/Firmware";
    firmware.datatype = SPARKPLUG_STRING;
    firmware.value = SparkplugMetric::TEXT;
    firmware.text = "KEL-VA-RO1 V1.0";
    birth.metrics.push_back(firmware);
    SparkplugMetric sequence;
    sequence.name = "bdSeq";
    sequence.datatype = SPARKPLUG_UINT64;
    sequence.value = SparkplugMetric::WHOLE;
    sequence.whole = 7;
    birth.metrics.push_back(sequence);

    SparkplugPayload back;
    std::string why;
    ASSERT_TRUE(Decodes(EncodeSparkplugPayload(birth), &back, &why)) << why;
    EXPECT_EQ(back.timestamp, birth.timestamp);
    EXPECT_TRUE(back.hasSeq);
    EXPECT_EQ(back.seq, 0u);
    ASSERT_EQ(back.metrics.size(), 4u);
    EXPECT_EQ(back.metrics[0].name, "Live/norm");
    EXPECT_EQ(back.metrics[0].alias, 1u);
    EXPECT_EQ(back.metrics[0].datatype, SPARKPLUG_UINT16);
    EXPECT_EQ(back.metrics[0].whole, 65535u);
    EXPECT_EQ(back.metrics[1].value, SparkplugMetric::BOOLEAN);
    EXPECT_TRUE(back.metrics[1].boolean);
    EXPECT_FALSE(back.metrics[2].hasAlias);
    EXPECT_EQ(back.metrics[2].text, "KEL-VA-RO1 V1.0");
    EXPECT_EQ(back.metrics[3].whole, 7u) << "a UInt64 goes as long_value and comes back";
}

// What a host sends is untrusted: anything that is not a payload within the limits is refused
// with its cause, and fields the station does not know are passed over.
TEST(SparkplugPayload, ACommandIsReadWithinItsLimitsOrRefusedWithItsCause) {
    SparkplugPayload read;
    std::string why;
    // A metric named "a" with properties (field 9, empty) and a boolean true.
    ASSERT_TRUE(Decodes(Bytes({0x12, 0x07, 0x0A, 0x01, 'a', 0x4A, 0x00, 0x70, 0x01}), &read, &why))
        << why;
    ASSERT_EQ(read.metrics.size(), 1u);
    EXPECT_EQ(read.metrics[0].name, "a");
    EXPECT_EQ(read.metrics[0].value, SparkplugMetric::BOOLEAN);

    const std::pair<std::string, std::string> refusals[] = {
        {Bytes({0x12, 0x07, 0x0A, 0x01}), "not a Sparkplug B payload"},
        {Bytes({0xFF, 0xFF, 0xFF}), "not a Sparkplug B payload"},
        {Bytes({0x12, 0x03, 0x0A, 0x01, 0x07}), "not printable text"},
        {std::string(MAX_SPARKPLUG_COMMAND_BYTES + 1, '\0'), "more than the 16384 a command"},
    };
    for (const auto &[bytes, cause] : refusals) {
        why.clear();
        EXPECT_FALSE(Decodes(bytes, &read, &why));
        EXPECT_NE(why.find(cause), std::string::npos) << why;
    }
    SparkplugPayload many;
    for (size_t i = 0; i <= MAX_SPARKPLUG_COMMAND_METRICS; ++i)
        many.metrics.push_back(Whole("Parameters/RAM/para0", i, 1));
    EXPECT_FALSE(Decodes(EncodeSparkplugPayload(many), &read, &why));
    EXPECT_NE(why.find("65 metrics"), std::string::npos) << why;
    std::string longName(MAX_SPARKPLUG_NAME_BYTES + 1, 'x');
    SparkplugPayload named;
    named.metrics.push_back(Whole(longName, 1, 1));
    EXPECT_FALSE(Decodes(EncodeSparkplugPayload(named), &read, &why));
}
