// Command requests from the broker are untrusted: every member is checked for its type and range
// before anything is queued, and a refusal says which member and why.
#include "station_requests.h"

#include "exchange.h"
#include "json.h"
#include "set_files.h"

#include "mqtt.h"

namespace kelvaro {

namespace {

// A refusal quotes at most this much of what it refuses: a request may be up to 64 KiB.
const size_t MAX_QUOTED_BYTES = 40;
const double LARGEST_WORD = 65535;

struct Command {
    const char *name;
    StationCommand command;
};

const Command COMMANDS[] = {{"get", COMMAND_GET},         {"send", COMMAND_SEND},
                            {"teach", COMMAND_TEACH},     {"reset", COMMAND_RESET},
                            {"capture", COMMAND_CAPTURE}, {"flash", COMMAND_FLASH}};

// "get, send, …", for a refusal of an unknown name.
std::string CommandNames(void) {
    std::string names;
    for (const Command &known : COMMANDS)
        names += (names.empty() ? "" : ", ") + std::string(known.name);
    return names;
}

bool Fail(std::string *error, const std::string &why) {
    *error = why;
    return false;
}

// The value of member name when it is a string among choices (index into them), else -1.
int Choice(const JsonValue &request, const char *name, const std::vector<const char *> &choices) {
    const std::string *text = StringMember(request, name);
    for (size_t i = 0; text && i < choices.size(); ++i)
        if (*text == choices[i])
            return int(i);
    return -1;
}

// Reads an array of count whole numbers 0..65535 into words. Returns "" or why not.
std::string ReadWords(const JsonValue *array, size_t count, std::vector<unsigned short> *words) {
    if (!array || array->type != JsonType::Array)
        return "is not an array";
    if (array->items.size() != count)
        return "holds " + std::to_string(array->items.size()) + " values, not " +
               std::to_string(count);
    for (size_t i = 0; i < count; ++i) {
        if (!IsWholeNumberIn(array->items[i], 0, LARGEST_WORD))
            return "value " + std::to_string(i + 1) + " (" + Excerpt(WriteJson(array->items[i])) +
                   ") is not a whole number from 0 to 65535";
        words->push_back(static_cast<unsigned short>(array->items[i].number));
    }
    return "";
}

// "table": the correction file's rows as [value, key] pairs.
std::string ReadTable(const JsonValue *table, StationRequest *request) {
    if (!table || table->type != JsonType::Array)
        return "\"table\" is not an array of [value, key] rows";
    const size_t rows = CORRECTION_KEYS;
    if (table->items.size() != rows)
        return "\"table\" holds " + std::to_string(table->items.size()) + " rows, not " +
               std::to_string(rows);
    request->columns.resize(2 * rows);
    for (size_t row = 0; row < rows; ++row) {
        std::vector<unsigned short> pair;
        std::string wrong = ReadWords(&table->items[row], 2, &pair);
        if (wrong.empty() && pair[1] >= rows)
            wrong = "key " + std::to_string(pair[1]) + " is outside 0..1023";
        if (!wrong.empty())
            return "\"table\" row " + std::to_string(row + 1) + " " + wrong;
        request->columns[row] = pair[0];
        request->columns[rows + row] = pair[1];
    }
    return "";
}

} // namespace

std::string Excerpt(const std::string &text) {
    if (text.size() <= MAX_QUOTED_BYTES)
        return text;
    size_t cut = MAX_QUOTED_BYTES;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return text.substr(0, cut) + "\u2026";
}

std::string ResponseTopicRefusal(const std::string &responseTopic, const std::string &treeRoot) {
    if (responseTopic.empty())
        return "it names no response topic, so its answer would reach no one";
    if (responseTopic.rfind(treeRoot, 0) == 0)
        return "its response topic \"" + Excerpt(responseTopic) +
               "\" lies in the stations' own tree (" + treeRoot + "...)";
    if (responseTopic[0] == '$')
        return "its response topic \"" + Excerpt(responseTopic) + "\" is one of the broker's own";
    if (!MqttTopicPublishable(responseTopic.c_str()))
        return "its response topic is not one a message can be published to (a wildcard, or not "
               "UTF-8)";
    return "";
}

bool ReadStationRequest(const std::string &name, const std::string &payload,
                        const StationPermissions &allowed, StationRequest *request,
                        std::string *error) {
    const Command *command = nullptr;
    for (const Command &known : COMMANDS)
        if (name == known.name)
            command = &known;
    if (!command)
        return Fail(error, "unknown command \"" + Excerpt(name) + "\": the commands are " +
                               CommandNames());
    if (!allowed.commands)
        return Fail(error, "commands are not allowed on this station (kelvaro serve "
                           "--allow-commands)");
    if (command->command == COMMAND_FLASH && !allowed.flash)
        return Fail(error, "flash is not allowed on this station (kelvaro serve --allow-flash)");
    JsonValue json;
    std::string why;
    if (!ParseJson(payload, &json, &why, MAX_REQUEST_BYTES))
        return Fail(error, "the request is not JSON: " + why);
    if (json.type != JsonType::Object)
        return Fail(error,
                    std::string("the request is ") + JsonTypeName(json.type) + ", not an object");
    StationRequest read;
    read.command = command->command;
    switch (command->command) {
    case COMMAND_GET:
    case COMMAND_SEND:
        read.target = Choice(json, "target", {"ram", "eeprom"}) + RAM;
        if (read.target < RAM)
            return Fail(error, "\"target\" is not \"ram\" or \"eeprom\"");
        if (command->command == COMMAND_SEND) {
            const std::string wrong = ReadWords(json.member("words"), PNUM, &read.words);
            if (!wrong.empty())
                return Fail(error, "\"words\" " + wrong);
        }
        break;
    case COMMAND_CAPTURE:
        read.source = Choice(json, "source", {"raw", "norm"});
        if (read.source < 0)
            return Fail(error, "\"source\" is not \"raw\" or \"norm\"");
        break;
    case COMMAND_FLASH: {
        const std::string wrong = ReadTable(json.member("table"), &read);
        if (!wrong.empty())
            return Fail(error, wrong);
        break;
    }
    case COMMAND_TEACH:
    case COMMAND_RESET:
    case COMMAND_CHANGE: // not a topic's command: no table names it
        break;
    }
    *request = read;
    return true;
}

std::string StationRefusal(const std::string &error) {
    return JsonObject().add("ok", false).add("error", error).text();
}

} // namespace kelvaro
