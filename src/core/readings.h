// What the controller's answers say, as rows and JSON for the recording, the command line and the
// station: the live values with the REF and TOL indicators switched as the panel switches them, a
// captured curve with its band, and the times they carry.
#pragma once

#include "exchange.h"
#include "json.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace kelvaro {

// seconds as local time in strftime's format, with ".mmm" appended when millis is 0..999.
std::string LocalTimeText(const char *format, std::time_t seconds, int millis = -1);
// Now as local time in ISO 8601 with milliseconds, as a spreadsheet reads it.
std::string LocalTimeNow(void);
// Now as UTC in ISO 8601 with milliseconds: "2026-12-07T10:15:30.123Z".
std::string UtcTimeNow(void);
// The same for the moment Timer() read timerSeconds.
std::string UtcTimeOf(double timerSeconds);
// The same moment in milliseconds since 1970 (UTC).
uint64_t EpochMillisOf(double timerSeconds);

// The thresholds the REF and TOL indicators switch at: they keep their values from one answer to
// the next, which gives both their hysteresis.
struct Indicators {
    short refTHD;
    short upTHD;
    short lowTHD;
};
// The thresholds a program starts with, from the reference and tolerance: the upper one at most
// 4095, the lower one at least 0.
Indicators StartingIndicators(unsigned short reference, unsigned short tolerance);
// 1 when value is at or above the reference, with hysteresis; the threshold moves for the next.
int ReferenceState(unsigned int value, short &refTHD, unsigned short reference,
                   unsigned short hysteresis);
// 1 when value lies inside the tolerance band, with hysteresis at both edges.
int ToleranceState(unsigned int value, short &upTHD, short &lowTHD, unsigned short reference,
                   unsigned short tolerance, unsigned short hysteresis);
// What an indicator shows of state: the state itself with polarity 1, else the opposite.
int IndicatorLit(int state, unsigned short polarity);

// One live answer: its nine live words and the two indicators as shown.
// The columns of a sample, in the order of a recording's, and the indicators' columns.
extern const char *const LIVE_NAMES[LIVE_WORDS];
extern const char REF_LED[];
extern const char TOL_LED[];

struct LiveSample {
    unsigned short words[LIVE_WORDS] = {};
    int refLed = 0;
    int tolLed = 0;
};
// The sample of an answer's words, switching indicators with the parameter set in force.
LiveSample SampleOf(const std::vector<unsigned short> &answerWords, Indicators &indicators,
                    const Words &set);
// The names of a sample's columns: "norm,a,…,ref_led,tol_led".
std::string LiveColumns(void);
// The sample's values, comma-separated.
std::string LiveRow(const LiveSample &sample);
// The same, as members of object under LiveColumns' names.
void AddLiveValues(JsonObject &object, const LiveSample &sample);

// A captured curve: curve A (RAW) or the NORM curve, curve B (RAW), and the band and reference
// line drawn with the NORM curve.
struct Curve {
    int source = 0; // 0 RAW, 1 NORM
    std::vector<unsigned short> a, b;
    unsigned short upper = 0, lower = 0, reference = 0;
};
// The curve of a capture's words (A, then B for RAW), with the band at reference +/- tolerance
// within 1..4095.
Curve CurveOf(int source, const std::vector<unsigned short> &words, const Words &set);
// "i,a,b" (RAW) or "i,norm,upper,lower,reference" (NORM), then 128 rows.
std::string CurveCsv(const Curve &curve);
// "source", then "a" and "b", or "norm" with "upper", "lower" and "reference".
void AddCurve(JsonObject &object, const Curve &curve);

} // namespace kelvaro
