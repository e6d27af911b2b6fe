// Live values, indicators and curves as rows and JSON. The indicator thresholds are 16-bit words
// computed from unsigned parameters: a negative one compares as the signed number it is.
#include "readings.h"

#include "parameter_words.h"

#include "utility.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

namespace kelvaro {

namespace {

const char ISO_8601[] = "%Y-%m-%dT%H:%M:%S";
const int INDICATOR_TOP = 4095;
const int DATA_BAND_TOP = 4095;

struct Moment {
    std::time_t seconds;
    int millis;
};

Moment Now(double secondsAgo = 0) {
    const auto now = std::chrono::system_clock::now() -
                     std::chrono::duration_cast<std::chrono::system_clock::duration>(
                         std::chrono::duration<double>(secondsAgo));
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    return {std::chrono::system_clock::to_time_t(now), int(millis % 1000)};
}

std::string TimeText(const std::tm &time, const char *format, int millis) {
    char text[64];
    const size_t length = std::strftime(text, sizeof text, format, &time);
    if (millis >= 0)
        std::snprintf(text + length, sizeof text - length, ".%03d", millis);
    return text;
}

short Word(int value) {
    return static_cast<short>(static_cast<unsigned short>(value));
}

} // namespace

std::string LocalTimeText(const char *format, std::time_t seconds, int millis) {
    std::tm local{};
    localtime_r(&seconds, &local);
    return TimeText(local, format, millis);
}

std::string LocalTimeNow(void) {
    const Moment now = Now();
    return LocalTimeText(ISO_8601, now.seconds, now.millis);
}

const char *const LIVE_NAMES[LIVE_WORDS] = {"norm", "a",  "b",   "amax", "bmax",
                                            "up",   "lo", "tol", "btn"};
const char REF_LED[] = "ref_led";
const char TOL_LED[] = "tol_led";

uint64_t EpochMillisOf(double timerSeconds) {
    const Moment then = Now(Timer() - timerSeconds);
    return uint64_t(then.seconds) * 1000 + uint64_t(then.millis);
}

std::string UtcTimeNow(void) {
    return UtcTimeOf(Timer());
}

std::string UtcTimeOf(double timerSeconds) {
    // A station times hundreds of answers a second: the second's text is made once.
    static std::time_t second = -1;
    static std::string secondText;
    const Moment then = Now(Timer() - timerSeconds);
    if (then.seconds != second) {
        std::tm utc{};
        gmtime_r(&then.seconds, &utc);
        secondText = TimeText(utc, ISO_8601, -1);
        second = then.seconds;
    }
    const char millis[] = {'.', char('0' + then.millis / 100), char('0' + then.millis / 10 % 10),
                           char('0' + then.millis % 10), 'Z'};
    std::string text = secondText;
    return text.append(millis, sizeof millis);
}

Indicators StartingIndicators(unsigned short reference, unsigned short tolerance) {
    Indicators start{};
    start.refTHD = static_cast<short>(reference);
    start.upTHD = Word(reference + tolerance);
    if (start.upTHD > INDICATOR_TOP)
        start.upTHD = INDICATOR_TOP;
    start.lowTHD = Word(reference - tolerance);
    if (start.lowTHD < 0)
        start.lowTHD = 0;
    return start;
}

int ReferenceState(unsigned int value, short &refTHD, unsigned short reference,
                   unsigned short hysteresis) {
    if (long(value) >= refTHD) {
        refTHD = Word(reference);
        return 1;
    }
    refTHD = Word(reference + hysteresis);
    return 0;
}

int ToleranceState(unsigned int value, short &upTHD, short &lowTHD, unsigned short reference,
                   unsigned short tolerance, unsigned short hysteresis) {
    if (long(value) > upTHD) {
        upTHD = Word(reference + tolerance - hysteresis);
        return 0;
    }
    upTHD = Word(reference + tolerance);
    if (long(value) < lowTHD) {
        lowTHD = Word(reference - tolerance + hysteresis);
        return 0;
    }
    lowTHD = Word(reference - tolerance);
    return 1;
}

int IndicatorLit(int state, unsigned short polarity) {
    return polarity == 1 ? state : 1 - state;
}

LiveSample SampleOf(const std::vector<unsigned short> &answerWords, Indicators &indicators,
                    const Words &set) {
    LiveSample sample;
    std::copy_n(answerWords.begin(), std::min(answerWords.size(), size_t(LIVE_WORDS)),
                sample.words);
    const unsigned int norm = sample.words[0];
    const unsigned short reference = set[WORD_REFERENCE];
    const unsigned short hysteresis = set[WORD_HYSTERESIS];
    sample.refLed = IndicatorLit(ReferenceState(norm, indicators.refTHD, reference, hysteresis),
                                 set[WORD_POLARITY]);
    sample.tolLed = IndicatorLit(ToleranceState(norm, indicators.upTHD, indicators.lowTHD,
                                                reference, set[WORD_TOLERANCE], hysteresis),
                                 set[WORD_POLARITY]);
    return sample;
}

std::string LiveColumns(void) {
    std::string names;
    for (const char *name : LIVE_NAMES)
        names += std::string(name) + ",";
    return names + REF_LED + "," + TOL_LED;
}

std::string LiveRow(const LiveSample &sample) {
    std::string row;
    for (unsigned short word : sample.words)
        row += std::to_string(word) + ",";
    return row + std::to_string(sample.refLed) + "," + std::to_string(sample.tolLed);
}

void AddLiveValues(JsonObject &object, const LiveSample &sample) {
    for (int i = 0; i < LIVE_WORDS; ++i)
        object.add(LIVE_NAMES[i], int(sample.words[i]));
    object.add(REF_LED, sample.refLed).add(TOL_LED, sample.tolLed);
}

Curve CurveOf(int source, const std::vector<unsigned short> &words, const Words &set) {
    Curve curve;
    curve.source = source;
    const auto points = [&words](size_t first) {
        std::vector<unsigned short> part(size_t(CURVE_POINTS), 0);
        if (words.size() >= first + CURVE_POINTS)
            std::copy_n(words.begin() + long(first), CURVE_POINTS, part.begin());
        return part;
    };
    curve.a = points(0);
    if (source == 0)
        curve.b = points(CURVE_POINTS);
    const int reference = set[WORD_REFERENCE];
    const int tolerance = set[WORD_TOLERANCE];
    curve.upper = static_cast<unsigned short>(std::min(reference + tolerance, DATA_BAND_TOP));
    curve.lower = static_cast<unsigned short>(std::max(reference - tolerance, 1));
    curve.reference = static_cast<unsigned short>(reference);
    return curve;
}

std::string CurveCsv(const Curve &curve) {
    std::string csv = curve.source == 0 ? "i,a,b\n" : "i,norm,upper,lower,reference\n";
    char row[96];
    for (int i = 0; i < CURVE_POINTS; ++i) {
        if (curve.source == 0)
            std::snprintf(row, sizeof row, "%d,%u,%u\n", i, curve.a[size_t(i)], curve.b[size_t(i)]);
        else
            std::snprintf(row, sizeof row, "%d,%u,%u,%u,%u\n", i, curve.a[size_t(i)], curve.upper,
                          curve.lower, curve.reference);
        csv += row;
    }
    return csv;
}

void AddCurve(JsonObject &object, const Curve &curve) {
    const auto points = [](const std::vector<unsigned short> &values) {
        JsonArray array;
        for (unsigned short value : values)
            array.add(int(value));
        return array.text();
    };
    object.add("source", curve.source == 0 ? "raw" : "norm");
    if (curve.source == 0)
        object.addRaw("a", points(curve.a)).addRaw("b", points(curve.b));
    else
        object.addRaw("norm", points(curve.a))
            .add("upper", int(curve.upper))
            .add("lower", int(curve.lower))
            .add("reference", int(curve.reference));
}

} // namespace kelvaro
