// Commands to a station's controller over MQTT: the request read and checked from a command
// topic's name and JSON payload, and the answer to one that is refused. Nothing here touches the
// line: a request that is refused sends nothing to the controller.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kelvaro {

// The largest request payload taken.
const size_t MAX_REQUEST_BYTES = 64 * 1024;

enum StationCommand {
    COMMAND_GET,
    COMMAND_SEND,
    COMMAND_TEACH,
    COMMAND_RESET,
    COMMAND_CAPTURE,
    COMMAND_FLASH,
    COMMAND_CHANGE // a Sparkplug host's write: the set read, the words given changed, sent
};

struct StationRequest {
    StationCommand command = COMMAND_GET;
    int target = 0;                      // get, send: RAM or EEPROM
    std::vector<unsigned short> words;   // send: the sixteen words
    std::vector<int> changes;            // change: each word's new value, or -1
    int source = 0;                      // capture: 0 raw, 1 norm
    std::vector<unsigned short> columns; // flash: the correction file's values row by row, then
                                         // its keys
};

// What the station was started to allow.
struct StationPermissions {
    bool commands = false;
    bool flash = false;
};

// text, or its first 40 bytes cut where a UTF-8 character starts, and "…": a refusal quotes no
// more of what it refuses.
std::string Excerpt(const std::string &text);

// Why a request's answer may not go to responseTopic, "" when it may. An answer in a station's
// tree (under treeRoot) would be taken there as a request, a command by the back door credited
// to the station, or would overwrite a state or an event; none at all would run the request
// unseen. Wildcards, the broker's own topics and invalid UTF-8 are refused too.
std::string ResponseTopicRefusal(const std::string &responseTopic, const std::string &treeRoot);

// The command's name is the topic's last level. Returns true with *request, or false with *error
// in words the sender can act on: not JSON, a wrong or missing member, a value outside 0..65535,
// an unknown command, commands or flash not allowed.
bool ReadStationRequest(const std::string &name, const std::string &payload,
                        const StationPermissions &allowed, StationRequest *request,
                        std::string *error);
// {"ok":false,"error":"…"}
std::string StationRefusal(const std::string &error);

} // namespace kelvaro
