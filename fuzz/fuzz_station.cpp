// libFuzzer target: command requests to the station as the broker delivers them, topic's last
// level and payload, to what is queued or the answer that refuses it.
#include "station_requests.h"

#include "exchange.h"
#include "json.h"
#include "set_files.h"

#include <cstdint>
#include <cstdlib>
#include <string>

using namespace kelvaro;

namespace {

void check(bool holds) {
    if (!holds)
        std::abort();
}

} // namespace

// The input's first line is the command's name, the rest its payload; the first byte chooses
// what the station allows.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const StationPermissions allowed{(data[0] & 1) != 0, (data[0] & 2) != 0};
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    const size_t newline = text.find('\n');
    const std::string name = text.substr(0, newline);
    const std::string payload = newline == std::string::npos ? "" : text.substr(newline + 1);
    StationRequest request;
    std::string error;
    if (!ReadStationRequest(name, payload, allowed, &request, &error)) {
        // Every refusal is an answer a script can read back, its error as a JSON string carries
        // it (a name the broker would not pass, invalid UTF-8, with replacement characters).
        JsonValue answer, carried;
        check(!error.empty());
        check(ParseJson(StationRefusal(error), &answer, nullptr));
        check(answer.member("ok") && answer.member("ok")->type == JsonType::Boolean &&
              !answer.member("ok")->boolean);
        check(ParseJson(JsonString(error), &carried, nullptr));
        check(StringMember(answer, "error") && *StringMember(answer, "error") == carried.text);
        return 0;
    }
    // What is queued is only ever what the station may send.
    check(allowed.commands);
    switch (request.command) {
    case COMMAND_GET:
    case COMMAND_SEND:
        check(request.target == RAM || request.target == EEPROM);
        check(request.command == COMMAND_GET || request.words.size() == size_t(PNUM));
        break;
    case COMMAND_CAPTURE:
        check(request.source == 0 || request.source == 1);
        break;
    case COMMAND_FLASH:
        check(allowed.flash);
        check(request.columns.size() == size_t(2 * CORRECTION_KEYS));
        for (int row = 0; row < CORRECTION_KEYS; ++row)
            check(request.columns[size_t(CORRECTION_KEYS + row)] < CORRECTION_KEYS);
        break;
    case COMMAND_TEACH:
    case COMMAND_RESET:
        break;
    }
    return 0;
}
