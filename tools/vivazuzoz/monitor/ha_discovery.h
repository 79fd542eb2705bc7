// ha_discovery.h - Home Assistant's MQTT discovery: the retained config
// messages that make each target's temperatures appear as sensors and each
// alarm as a binary sensor, all under one device per camera.
#pragma once

#include "topics.h"

#include <string>
#include <vector>

namespace vivatool::monitor {

struct DiscoveryCamera {
    std::string id;         // the camera's id in topics and unique ids
    std::string name;       // the camera's product name
    std::string swVersion;  // the tool's version
    std::string unit = "°C";
};

struct DiscoveryAlarm {
    std::string target;
    std::string kind;  // "above" or "below"
};

struct DiscoveryMessage {
    std::string topic;
    std::string payload;  // JSON
};

// Three sensors (min, max, mean) per target and one binary sensor per
// alarm, published under `discoveryPrefix` ("homeassistant").
std::vector<DiscoveryMessage> DiscoveryMessages(const std::string& discoveryPrefix, const Topics& topics,
                                                const DiscoveryCamera& camera, const std::vector<std::string>& targets,
                                                const std::vector<DiscoveryAlarm>& alarms);

}  // namespace vivatool::monitor
