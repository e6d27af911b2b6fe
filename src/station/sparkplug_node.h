// The station as a Sparkplug B edge node beside its JSON tree: the node's own session with its
// NDEATH as the will, a device for each port with births, data and deaths, and a host's commands.
#pragma once

#include "exchange.h"
#include "readings.h"

#include <array>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace kelvaro {

struct SparkplugNodeSettings {
    std::string group;  // the Sparkplug group id
    std::string node;   // the edge node id: the station's name
    std::string hostId; // the primary host whose STATE the node follows; "" for none
    std::string bdSeqFile;
    bool allowCommands = false;
    std::vector<std::pair<std::string, std::string>> devices; // each port's name and device path
};

// A host's write of parameter words to one device: for each word its new value, or -1.
struct SparkplugWrite {
    std::string device;
    int target = RAM;
    std::array<int, PNUM> values{};
    std::string requester; // for the journal
};

// Opens a client of the station with the will given (payload bytes); the handle, or negative.
using SparkplugOpen = std::function<int(const std::string &clientId, const std::string &willTopic,
                                        const std::string &will)>;

// Connects the node and publishes its births. Writes a host asks for go to write. Returns "" or
// why the node can't start.
std::string StartSparkplugNode(const SparkplugNodeSettings &settings, const SparkplugOpen &open,
                               std::function<void(const SparkplugWrite &)> write);
// Publishes the NDEATH and closes the node's session; nothing when it was not started.
void StopSparkplugNode(void);
// A device's controller came up: its DBIRTH once the node is born.
void SparkplugDeviceUp(const std::string &device, const std::string &firmware);
// A device's controller went away or stopped answering: its DDEATH.
void SparkplugDeviceDown(const std::string &device);
// A set read or written: kept for the births, and its words as DDATA.
void SparkplugParameters(const std::string &device, int target, const unsigned short *words);
// A live answer taken at answeredAt (a Timer() reading): the metrics that changed, as DDATA.
void SparkplugLive(const std::string &device, const LiveSample &sample, double answeredAt);

} // namespace kelvaro
