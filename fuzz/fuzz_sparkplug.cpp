// Fuzz target of the Sparkplug B command decoder: any bytes are refused with a cause or read
// within the limits, and what is read encodes and reads back the same.
#include "sparkplug_payload.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace kelvaro;

namespace {

[[noreturn]] void Fail(const char *what) {
    std::fprintf(stderr, "fuzz_sparkplug: %s\n", what);
    std::abort();
}

bool SameMetric(const SparkplugMetric &a, const SparkplugMetric &b) {
    // A value the station does not read goes out as null and comes back as none.
    const SparkplugMetric::Value value =
        a.value == SparkplugMetric::OTHER ? SparkplugMetric::NONE : a.value;
    return a.name == b.name && a.hasAlias == b.hasAlias && a.alias == b.alias &&
           a.timestamp == b.timestamp && a.datatype == b.datatype && value == b.value &&
           a.whole == b.whole && a.boolean == b.boolean && a.text == b.text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    SparkplugPayload payload;
    std::string why;
    if (!DecodeSparkplugPayload(data, size, &payload, &why)) {
        if (why.empty())
            Fail("a refusal without its cause");
        return 0;
    }
    if (payload.metrics.size() > MAX_SPARKPLUG_COMMAND_METRICS)
        Fail("more metrics than the limit were read");
    const std::string again = EncodeSparkplugPayload(payload);
    SparkplugPayload back;
    if (!DecodeSparkplugPayload(again.data(), again.size(), &back, &why))
        Fail("a payload read does not read back once encoded");
    if (back.timestamp != payload.timestamp || back.hasSeq != payload.hasSeq ||
        back.seq != payload.seq || back.metrics.size() != payload.metrics.size())
        Fail("the payload changed on its way round");
    for (size_t i = 0; i < back.metrics.size(); ++i)
        if (!SameMetric(payload.metrics[i], back.metrics[i]))
            Fail("a metric changed on its way round");
    return 0;
}
