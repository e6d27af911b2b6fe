// The Sparkplug B edge node of the station. One MQTT session of its own carries every message of
// the node, so one seq counter numbers them all; its will is the NDEATH with the session's bdSeq,
// which advances for each new session and is kept in a file across restarts. A device (a port)
// is born once its controller answered its start-up and dies when it stops answering.
#include "sparkplug_node.h"

#include "parameter_words.h"
#include "sparkplug_payload.h"
#include "station_requests.h"

#include "datafile.h"
#include "mqtt.h"
#include "utility.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace kelvaro {

namespace {

const char NAMESPACE[] = "spBv1.0";
const char NODE_REBIRTH[] = "Node Control/Rebirth";
const char DEVICE_REBIRTH[] = "Device Control/Rebirth";
const char BD_SEQ[] = "bdSeq";
const uint64_t NODE_REBIRTH_ALIAS = 1;
// Each device's aliases lie in a block of their own: unique across the node.
const uint64_t DEVICE_ALIAS_BLOCK = 100;
const int SEQ_MODULUS = 256;
const int BD_SEQ_BYTES = 32;

// A device's metrics in alias order: the live words, the indicators, the RAM's and the EEPROM's
// sixteen words, the properties and the rebirth.
const int LEDS_AT = LIVE_WORDS;
const int RAM_AT = LEDS_AT + 2;
const int EEPROM_AT = RAM_AT + PNUM;
const int FIRMWARE_AT = EEPROM_AT + PNUM;
const int DEVICE_PATH_AT = FIRMWARE_AT + 1;
const int DEVICE_REBIRTH_AT = DEVICE_PATH_AT + 1;
const int DEVICE_METRICS = DEVICE_REBIRTH_AT + 1;

struct Device {
    std::string name, path, firmware;
    uint64_t aliasBase = 0;
    Words ram{}, eeprom{};
    bool hasRam = false, hasEeprom = false;
    bool up = false;   // its controller answers
    bool born = false; // its DBIRTH went out in this node's life
    LiveSample last;
    bool hasLast = false;
};

struct Node {
    SparkplugNodeSettings settings;
    std::function<void(const SparkplugWrite &)> write;
    int client = 0;
    int bdSeq = 0;
    int seq = 0;
    bool born = false;
    bool hostOnline = true;
    std::vector<Device> devices;
};
std::unique_ptr<Node> node;

std::string Topic(const char *type, const std::string &device = "") {
    return std::string(NAMESPACE) + "/" + node->settings.group + "/" + type + "/" +
           node->settings.node + (device.empty() ? "" : "/" + device);
}

void Say(const std::string &text) {
    std::fprintf(stderr, "sparkplug: %s\n", text.c_str());
}

Device *FindDevice(const std::string &name) {
    for (Device &device : node->devices)
        if (device.name == name)
            return &device;
    return nullptr;
}

std::string MetricName(int index) {
    if (index < LIVE_WORDS)
        return std::string("Live/") + LIVE_NAMES[index];
    if (index < RAM_AT)
        return std::string("Live/") + (index == LEDS_AT ? REF_LED : TOL_LED);
    if (index < EEPROM_AT)
        return std::string("Parameters/RAM/") + PARAMETER_WORDS[index - RAM_AT].key;
    if (index < FIRMWARE_AT)
        return std::string("Parameters/EEPROM/") + PARAMETER_WORDS[index - EEPROM_AT].key;
    if (index == FIRMWARE_AT)
        return "Properties/Firmware";
    if (index == DEVICE_PATH_AT)
        return "Properties/Device";
    return DEVICE_REBIRTH;
}

SparkplugMetric Whole(uint64_t value, uint32_t type = SPARKPLUG_UINT16) {
    SparkplugMetric metric;
    metric.datatype = type;
    metric.value = SparkplugMetric::WHOLE;
    metric.whole = value;
    return metric;
}

SparkplugMetric Boolean(bool value) {
    SparkplugMetric metric;
    metric.datatype = SPARKPLUG_BOOLEAN;
    metric.value = SparkplugMetric::BOOLEAN;
    metric.boolean = value;
    return metric;
}

// The metric at index with the device's current value; null where none is known yet.
SparkplugMetric DeviceMetric(const Device &device, int index) {
    SparkplugMetric metric;
    if (index < LIVE_WORDS) {
        metric = Whole(device.last.words[index]);
    } else if (index < RAM_AT) {
        metric = Boolean((index == LEDS_AT ? device.last.refLed : device.last.tolLed) != 0);
    } else if (index < EEPROM_AT) {
        metric = Whole(device.ram[size_t(index - RAM_AT)]);
        if (!device.hasRam)
            metric.value = SparkplugMetric::NONE;
    } else if (index < FIRMWARE_AT) {
        metric = Whole(device.eeprom[size_t(index - EEPROM_AT)]);
        if (!device.hasEeprom)
            metric.value = SparkplugMetric::NONE;
    } else if (index < DEVICE_REBIRTH_AT) {
        metric.datatype = SPARKPLUG_STRING;
        metric.value = SparkplugMetric::TEXT;
        metric.text = index == FIRMWARE_AT ? device.firmware : device.path;
    } else {
        metric = Boolean(false);
    }
    if (index < RAM_AT && !device.hasLast)
        metric.value = SparkplugMetric::NONE;
    metric.hasAlias = true;
    metric.alias = device.aliasBase + uint64_t(index);
    return metric;
}

// Sends payload as type (to device, or the node's own) with the node's next seq.
void Send(const char *type, const std::string &device, SparkplugPayload payload) {
    payload.hasSeq = true;
    payload.seq = uint64_t(node->seq);
    node->seq = (node->seq + 1) % SEQ_MODULUS;
    if (payload.timestamp == 0)
        payload.timestamp = EpochMillisOf(Timer());
    const std::string bytes = EncodeSparkplugPayload(payload);
    MqttPublish(node->client, Topic(type, device).c_str(), bytes.data(), int(bytes.size()),
                MQTT_QOS_AT_MOST_ONCE, 0);
}

void DeviceBirth(Device &device) {
    if (!node->born || !device.up)
        return;
    SparkplugPayload birth;
    for (int index = 0; index < DEVICE_METRICS; ++index) {
        birth.metrics.push_back(DeviceMetric(device, index));
        birth.metrics.back().name = MetricName(index);
    }
    Send("DBIRTH", device.name, birth);
    device.born = true;
}

SparkplugPayload NodeDeath(void) {
    SparkplugPayload death;
    SparkplugMetric sequence = Whole(uint64_t(node->bdSeq), SPARKPLUG_UINT64);
    sequence.name = BD_SEQ;
    death.metrics.push_back(sequence);
    death.timestamp = EpochMillisOf(Timer());
    return death;
}

// NBIRTH (seq 0) and every device's DBIRTH, while the primary host, if any, is online.
void Birth(void) {
    if (!node->hostOnline || !MqttIsConnected(node->client))
        return;
    node->seq = 0;
    SparkplugPayload birth = NodeDeath();
    SparkplugMetric rebirth = Boolean(false);
    rebirth.name = NODE_REBIRTH;
    rebirth.hasAlias = true;
    rebirth.alias = NODE_REBIRTH_ALIAS;
    birth.metrics.push_back(rebirth);
    Send("NBIRTH", "", birth);
    node->born = true;
    for (Device &device : node->devices) {
        device.born = false;
        DeviceBirth(device);
    }
}

// The bdSeq the session after this one takes, kept across restarts.
void KeepNextBdSeq(void) {
    const std::string next = std::to_string((node->bdSeq + 1) % SEQ_MODULUS) + "\n";
    if (SaveTextFile(node->settings.bdSeqFile.c_str(), next.c_str()) < 0)
        Say(std::string("bdSeq not kept: ") + GetDataFileError());
}

int ReadBdSeq(void) {
    char text[BD_SEQ_BYTES] = "";
    if (ReadTextFile(node->settings.bdSeqFile.c_str(), text, sizeof text) < 0)
        return 0;
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return end != text && value >= 0 && value < SEQ_MODULUS ? int(value) : 0;
}

std::string DeathBytes(void) {
    return EncodeSparkplugPayload(NodeDeath());
}

void NodeConnection(int, int connected, const char *cause, void *) {
    if (!connected) {
        // The next session has a bdSeq of its own, in its will and its NBIRTH.
        node->born = false;
        node->bdSeq = (node->bdSeq + 1) % SEQ_MODULUS;
        KeepNextBdSeq();
        const std::string death = DeathBytes();
        MqttSetWill(node->client, Topic("NDEATH").c_str(), death.data(), int(death.size()),
                    MQTT_QOS_AT_LEAST_ONCE, 0);
        Say(std::string(cause) + "; trying again");
        return;
    }
    if (*cause) {
        Say(cause);
        return;
    }
    Birth();
}

// Which device metric alias or name means, or -1.
int DeviceMetricIndex(const Device &device, const SparkplugMetric &metric) {
    if (metric.hasAlias && metric.alias >= device.aliasBase &&
        metric.alias < device.aliasBase + DEVICE_METRICS)
        return int(metric.alias - device.aliasBase);
    for (int index = 0; index < DEVICE_METRICS; ++index)
        if (!metric.name.empty() && metric.name == MetricName(index))
            return index;
    return -1;
}

bool IsRebirth(const SparkplugMetric &metric) {
    return metric.value == SparkplugMetric::BOOLEAN && metric.boolean;
}

void NodeCommand(const SparkplugPayload &command) {
    for (const SparkplugMetric &metric : command.metrics) {
        const bool named = metric.name == NODE_REBIRTH || (metric.name.empty() && metric.hasAlias &&
                                                           metric.alias == NODE_REBIRTH_ALIAS);
        if (!named)
            Say("NCMD: unknown metric \"" + metric.name + "\"; nothing done");
        else if (!IsRebirth(metric))
            Say("NCMD: Node Control/Rebirth is not the Boolean true; nothing done");
        else if (!node->settings.allowCommands)
            Say("NCMD: rebirth refused: the station takes no commands (--allow-commands)");
        else
            Birth();
    }
}

void DeviceCommand(Device &device, const SparkplugPayload &command) {
    SparkplugWrite writes[2];
    for (SparkplugWrite &write : writes) {
        write.device = device.name;
        write.values.fill(-1);
        write.requester = "sparkplug:" + (node->settings.hostId.empty() ? std::string("host")
                                                                        : node->settings.hostId);
    }
    writes[0].target = RAM;
    writes[1].target = EEPROM;
    bool rebirth = false;
    // The whole command or nothing: one metric wrong changes nothing.
    for (const SparkplugMetric &metric : command.metrics) {
        const int index = DeviceMetricIndex(device, metric);
        const std::string named = index < 0 ? "\"" + metric.name + "\"" : MetricName(index);
        std::string wrong;
        if (index == DEVICE_REBIRTH_AT && IsRebirth(metric))
            rebirth = true;
        else if (index < RAM_AT || index >= FIRMWARE_AT)
            wrong = "not a metric a host may write";
        else if (metric.value != SparkplugMetric::WHOLE)
            wrong = "not a whole number";
        else if (metric.whole > 65535)
            wrong = std::to_string(metric.whole) + " is outside 0…65535";
        else
            writes[index < EEPROM_AT ? 0 : 1]
                .values[size_t(index < EEPROM_AT ? index - RAM_AT : index - EEPROM_AT)] =
                int(metric.whole);
        if (!wrong.empty()) {
            Say("DCMD to " + device.name + ": " + named + " " + wrong + "; nothing done");
            return;
        }
    }
    if (!node->settings.allowCommands) {
        Say("DCMD to " + device.name +
            " refused: the station takes no commands (--allow-commands); nothing done");
        return;
    }
    if (rebirth)
        DeviceBirth(device);
    for (const SparkplugWrite &write : writes)
        for (int value : write.values)
            if (value >= 0) {
                node->write(write);
                break;
            }
}

void NodeMessage(int, const MqttMessage *message, void *) {
    const std::string topic = message->topic;
    if (!node->settings.hostId.empty() &&
        topic == std::string(NAMESPACE) + "/STATE/" + node->settings.hostId) {
        const nlohmann::json state = nlohmann::json::parse(
            static_cast<const char *>(message->payload),
            static_cast<const char *>(message->payload) + message->length, nullptr, false);
        const bool online = state.is_object() && state.contains("online") &&
                            state["online"].is_boolean() && state["online"].get<bool>();
        if (online && !node->hostOnline) {
            node->hostOnline = true;
            Birth();
        } else if (!online) {
            node->hostOnline = false;
            node->born = false;
        }
        return;
    }
    SparkplugPayload command;
    std::string why;
    if (!DecodeSparkplugPayload(message->payload, size_t(message->length), &command, &why)) {
        Say("a command on " + Excerpt(topic) + " refused: " + why);
        return;
    }
    if (topic == Topic("NCMD")) {
        NodeCommand(command);
        return;
    }
    const std::string prefix = Topic("DCMD") + "/";
    Device *device =
        topic.rfind(prefix, 0) == 0 ? FindDevice(topic.substr(prefix.size())) : nullptr;
    if (device)
        DeviceCommand(*device, command);
    else
        Say("a command on " + Excerpt(topic) + " for no device of this node; nothing done");
}

} // namespace

std::string StartSparkplugNode(const SparkplugNodeSettings &settings, const SparkplugOpen &open,
                               std::function<void(const SparkplugWrite &)> write) {
    node = std::make_unique<Node>();
    node->settings = settings;
    node->write = std::move(write);
    node->hostOnline = settings.hostId.empty();
    for (size_t i = 0; i < settings.devices.size(); ++i) {
        Device device;
        device.name = settings.devices[i].first;
        device.path = settings.devices[i].second;
        device.aliasBase = DEVICE_ALIAS_BLOCK * (i + 1);
        node->devices.push_back(device);
    }
    node->bdSeq = ReadBdSeq();
    KeepNextBdSeq();
    node->client = open("kelvaro-" + settings.node + "-sparkplug", Topic("NDEATH"), DeathBytes());
    if (node->client < 0) {
        const std::string why = MqttLastError();
        node.reset();
        return why;
    }
    MqttSetCallbacks(node->client, NodeMessage, NodeConnection, nullptr);
    MqttSubscribe(node->client, Topic("NCMD").c_str(), MQTT_QOS_AT_LEAST_ONCE, 1);
    MqttSubscribe(node->client, (Topic("DCMD") + "/+").c_str(), MQTT_QOS_AT_LEAST_ONCE, 1);
    if (!settings.hostId.empty())
        MqttSubscribe(node->client, (std::string(NAMESPACE) + "/STATE/" + settings.hostId).c_str(),
                      MQTT_QOS_AT_LEAST_ONCE, 0);
    Birth();
    return "";
}

void StopSparkplugNode(void) {
    if (!node)
        return;
    // A node that leaves says so itself, with its session's bdSeq: the broker drops the will.
    const std::string death = DeathBytes();
    MqttPublish(node->client, Topic("NDEATH").c_str(), death.data(), int(death.size()),
                MQTT_QOS_AT_LEAST_ONCE, 0);
    MqttClose(node->client);
    node.reset();
}

void SparkplugDeviceUp(const std::string &name, const std::string &firmware) {
    Device *device = node ? FindDevice(name) : nullptr;
    if (!device)
        return;
    device->firmware = firmware;
    device->up = true;
    device->hasLast = false;
    DeviceBirth(*device);
}

void SparkplugDeviceDown(const std::string &name) {
    Device *device = node ? FindDevice(name) : nullptr;
    if (!device || !device->up)
        return;
    device->up = false;
    if (node->born && device->born)
        Send("DDEATH", device->name, {});
    device->born = false;
}

void SparkplugParameters(const std::string &name, int target, const unsigned short *words) {
    Device *device = node ? FindDevice(name) : nullptr;
    if (!device)
        return;
    Words &kept = target == EEPROM ? device->eeprom : device->ram;
    std::copy_n(words, PNUM, kept.begin());
    (target == EEPROM ? device->hasEeprom : device->hasRam) = true;
    if (!node->born || !device->born)
        return;
    SparkplugPayload data;
    const int first = target == EEPROM ? EEPROM_AT : RAM_AT;
    for (int index = first; index < first + PNUM; ++index)
        data.metrics.push_back(DeviceMetric(*device, index));
    Send("DDATA", device->name, data);
}

void SparkplugLive(const std::string &name, const LiveSample &sample, double answeredAt) {
    Device *device = node ? FindDevice(name) : nullptr;
    if (!device)
        return;
    const LiveSample before = device->last;
    const bool first = !device->hasLast;
    device->last = sample;
    device->hasLast = true;
    if (!node->born || !device->born)
        return;
    SparkplugPayload data;
    data.timestamp = EpochMillisOf(answeredAt);
    for (int index = 0; index < RAM_AT; ++index) {
        const bool changed = index < LIVE_WORDS ? sample.words[index] != before.words[index]
                             : index == LEDS_AT ? sample.refLed != before.refLed
                                                : sample.tolLed != before.tolLed;
        if (first || changed) {
            data.metrics.push_back(DeviceMetric(*device, index));
            data.metrics.back().timestamp = data.timestamp;
        }
    }
    if (!data.metrics.empty())
        Send("DDATA", device->name, data);
}

} // namespace kelvaro
