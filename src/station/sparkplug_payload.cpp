// Sparkplug B payloads on protobuf-c: the generated code packs and unpacks; this file maps them to
// the station's plain structures and holds a command to its limits before anything reads it.
#include "sparkplug_payload.h"

#include "sparkplug_b.pb-c.h"

#include <memory>

namespace kelvaro {

namespace {

using Payload = Kelvaro__Sparkplug__Payload;
using Metric = Kelvaro__Sparkplug__Payload__Metric;

struct FreePayload {
    void operator()(Payload *payload) const {
        kelvaro__sparkplug__payload__free_unpacked(payload, nullptr);
    }
};

// A name fit for the operator's messages and for a look-up: printable ASCII, bounded.
bool IsPrintableName(const char *name) {
    size_t length = 0;
    for (; name[length] != '\0'; ++length)
        if (length >= MAX_SPARKPLUG_NAME_BYTES || name[length] < 0x20 || name[length] > 0x7E)
            return false;
    return true;
}

SparkplugMetric ReadMetric(const Metric &in) {
    SparkplugMetric out;
    if (in.name)
        out.name = in.name;
    out.hasAlias = in.has_alias;
    out.alias = in.alias;
    out.timestamp = in.has_timestamp ? in.timestamp : 0;
    out.datatype = in.has_datatype ? in.datatype : 0;
    switch (in.value_case) {
    case KELVARO__SPARKPLUG__PAYLOAD__METRIC__VALUE__NOT_SET:
        out.value = SparkplugMetric::NONE;
        break;
    case KELVARO__SPARKPLUG__PAYLOAD__METRIC__VALUE_INT_VALUE:
        out.value = SparkplugMetric::WHOLE;
        out.whole = in.int_value;
        break;
    case KELVARO__SPARKPLUG__PAYLOAD__METRIC__VALUE_LONG_VALUE:
        out.value = SparkplugMetric::WHOLE;
        out.whole = in.long_value;
        break;
    case KELVARO__SPARKPLUG__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE:
        out.value = SparkplugMetric::BOOLEAN;
        out.boolean = in.boolean_value;
        break;
    case KELVARO__SPARKPLUG__PAYLOAD__METRIC__VALUE_STRING_VALUE:
        out.value = SparkplugMetric::TEXT;
        out.text = in.string_value ? in.string_value : "";
        break;
    default:
        out.value = SparkplugMetric::OTHER;
        break;
    }
    return out;
}

} // namespace

std::string EncodeSparkplugPayload(const SparkplugPayload &payload) {
    std::vector<Metric> metrics(payload.metrics.size());
    std::vector<Metric *> pointers;
    for (size_t i = 0; i < metrics.size(); ++i) {
        const SparkplugMetric &in = payload.metrics[i];
        Metric &out = metrics[i];
        kelvaro__sparkplug__payload__metric__init(&out);
        if (!in.name.empty())
            out.name = const_cast<char *>(in.name.c_str());
        out.has_alias = in.hasAlias;
        out.alias = in.alias;
        out.has_timestamp = in.timestamp != 0;
        out.timestamp = in.timestamp;
        out.has_datatype = in.datatype != 0;
        out.datatype = in.datatype;
        switch (in.value) {
        case SparkplugMetric::WHOLE:
            if (in.datatype == SPARKPLUG_UINT64 || in.whole > UINT32_MAX) {
                out.value_case = KELVARO__SPARKPLUG__PAYLOAD__METRIC__VALUE_LONG_VALUE;
                out.long_value = in.whole;
            } else {
                out.value_case = KELVARO__SPARKPLUG__PAYLOAD__METRIC__VALUE_INT_VALUE;
                out.int_value = uint32_t(in.whole);
            }
            break;
        case SparkplugMetric::BOOLEAN:
            out.value_case = KELVARO__SPARKPLUG__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
            out.boolean_value = in.boolean;
            break;
        case SparkplugMetric::TEXT:
            out.value_case = KELVARO__SPARKPLUG__PAYLOAD__METRIC__VALUE_STRING_VALUE;
            out.string_value = const_cast<char *>(in.text.c_str());
            break;
        case SparkplugMetric::NONE:
        case SparkplugMetric::OTHER:
            out.has_is_null = true;
            out.is_null = true;
            break;
        }
        pointers.push_back(&out);
    }
    Payload out;
    kelvaro__sparkplug__payload__init(&out);
    out.has_timestamp = payload.timestamp != 0;
    out.timestamp = payload.timestamp;
    out.has_seq = payload.hasSeq;
    out.seq = payload.seq;
    out.n_metrics = pointers.size();
    out.metrics = pointers.data();
    std::string bytes(kelvaro__sparkplug__payload__get_packed_size(&out), '\0');
    kelvaro__sparkplug__payload__pack(&out, reinterpret_cast<uint8_t *>(bytes.data()));
    return bytes;
}

bool DecodeSparkplugPayload(const void *bytes, size_t size, SparkplugPayload *payload,
                            std::string *why) {
    if (size > MAX_SPARKPLUG_COMMAND_BYTES) {
        *why = "the payload is " + std::to_string(size) + " bytes, more than the " +
               std::to_string(MAX_SPARKPLUG_COMMAND_BYTES) + " a command may have";
        return false;
    }
    const std::unique_ptr<Payload, FreePayload> in(
        kelvaro__sparkplug__payload__unpack(nullptr, size, static_cast<const uint8_t *>(bytes)));
    if (!in) {
        *why = "the payload is not a Sparkplug B payload";
        return false;
    }
    if (in->n_metrics > MAX_SPARKPLUG_COMMAND_METRICS) {
        *why = "the payload has " + std::to_string(in->n_metrics) + " metrics, more than " +
               std::to_string(MAX_SPARKPLUG_COMMAND_METRICS);
        return false;
    }
    SparkplugPayload read;
    read.timestamp = in->has_timestamp ? in->timestamp : 0;
    read.hasSeq = in->has_seq;
    read.seq = in->seq;
    for (size_t i = 0; i < in->n_metrics; ++i) {
        const Metric &metric = *in->metrics[i];
        if (metric.name && !IsPrintableName(metric.name)) {
            *why = "metric " + std::to_string(i + 1) + "'s name is longer than " +
                   std::to_string(MAX_SPARKPLUG_NAME_BYTES) + " bytes or not printable text";
            return false;
        }
        read.metrics.push_back(ReadMetric(metric));
    }
    *payload = std::move(read);
    return true;
}

} // namespace kelvaro
