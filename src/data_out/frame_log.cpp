// The frame log: one line per piece of traffic, "ms<TAB>TX|RX<TAB>count<TAB>hex bytes<TAB>meaning",
// to the Frame log window and the --log file. Off, it costs one test per frame.
#include "frame_log.h"

#include "exchange.h"

#include "arrayfile.h"
#include "datafile.h"
#include "framelog.h"
#include "utility.h"

#include <cstdio>
#include <string>

namespace kelvaro {

namespace {

int logFile = 0;
StepReporter sayFailure = nullptr;

const char *OrderName(int code) {
    switch (code) {
    case ORDER_WRITE_RAM:
        return "WRITE_RAM";
    case ORDER_READ_RAM:
        return "READ_RAM";
    case ORDER_WRITE_EEPROM:
        return "WRITE_EEPROM";
    case ORDER_READ_EEPROM:
        return "READ_EEPROM";
    case ORDER_LINE_CHECK:
        return "LINE_CHECK";
    case ORDER_TEACH:
        return "TEACH";
    case ORDER_FIRMWARE:
        return "FIRMWARE";
    case ORDER_LIVE_VALUES:
        return "LIVE_VALUES";
    case ORDER_DATA_BLOCK:
        return "DATA_BLOCK";
    case ORDER_RESET:
        return "RESET";
    case ORDER_FLASH_INFO:
        return "FLASH_INFO";
    case ORDER_FLASH_DATA:
        return "FLASH_DATA";
    default:
        return "ORDER_?";
    }
}

// The words of count bytes from first on, high byte first.
std::string WordsText(const unsigned char *bytes, int first, int count) {
    std::string words;
    for (int i = first; i + 1 < count; i += 2)
        words += " " + std::to_string(WordAt(bytes + i));
    return words;
}

// A frame: its order name and its sixteen words.
std::string FrameMeaning(const char *prefix, const unsigned char *bytes, int count) {
    if (count < 4)
        return std::string(prefix) + "incomplete frame";
    std::string meaning =
        std::string(prefix) + OrderName(WordAt(bytes + 2)) + WordsText(bytes, 4, count);
    if (count != FRAME_BYTES)
        meaning += " (" + std::to_string(count) + " of 36 bytes)";
    return meaning;
}

void Log(const char *direction, const unsigned char *bytes, int count, const std::string &meaning) {
    if (count <= 0)
        return;
    char head[64];
    std::snprintf(head, sizeof head, "%.1f\t%s\t%d\t", Timer() * 1000.0, direction, count);
    std::string line = head;
    static const char HEX[] = "0123456789ABCDEF";
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            line += ' ';
        line += HEX[bytes[i] >> 4];
        line += HEX[bytes[i] & 0x0F];
    }
    line += '\t';
    line += meaning;
    if (FrameLogWindowWanted())
        AppendFrameLogLine(line.c_str());
    if (logFile > 0) {
        line += '\n';
        if (WriteDataFile(logFile, line.c_str()) != 0) {
            const std::string why = std::string("Frame log stopped: ") + GetDataFileError();
            CloseDataFile(logFile);
            logFile = 0;
            if (sayFailure)
                sayFailure(why.c_str());
        }
    }
}

} // namespace

bool OpenFrameLogFile(const char *path, std::string *why) {
    logFile = OpenDataFile(path, VAL_APPEND);
    if (logFile > 0)
        return true;
    logFile = 0;
    *why = std::string("Frame log: ") + GetDataFileError();
    return false;
}

void CloseFrameLogFile(void) {
    if (logFile > 0)
        CloseDataFile(logFile);
    logFile = 0;
}

namespace {

// A line goes somewhere when the window has been opened or --log names a file; lines are not even
// formatted otherwise.
bool FrameLogOn(void) {
    return logFile > 0 || FrameLogWindowWanted();
}

void LogTraffic(Traffic kind, const unsigned char *bytes, int count) {
    if (FrameLogOn())
        Log(kind == TRAFFIC_SENT ? "TX" : "RX", bytes, count, TrafficMeaning(kind, bytes, count));
}

} // namespace

std::string TrafficMeaning(Traffic kind, const unsigned char *bytes, int count) {
    switch (kind) {
    case TRAFFIC_SENT:
        return FrameMeaning("", bytes, count);
    case TRAFFIC_ANSWER:
        return FrameMeaning("answer ", bytes, count);
    case TRAFFIC_FIRMWARE: {
        int values[FIRMWARE_BYTES / 2];
        for (int i = 0; i < FIRMWARE_BYTES / 2; ++i)
            values[i] = 2 * i + 1 < count ? WordAt(bytes + 2 * i) : 0;
        char text[FIRMWARE_BYTES];
        FmtWordsAsText(text, sizeof text, values, FIRMWARE_BYTES / 2);
        return std::string("firmware text \"") + text + "\"";
    }
    case TRAFFIC_BLOCK:
        return "data block" + WordsText(bytes, 0, count);
    case TRAFFIC_DISCARDED:
        break;
    }
    return "discarded";
}

void StartFrameLog(StepReporter failure) {
    sayFailure = failure;
    ObserveTraffic(LogTraffic);
}

} // namespace kelvaro
