#include "ha_discovery.h"

#include "json.h"

namespace vivatool::monitor {
using namespace vivaclient;

namespace {

// Home Assistant's node and object ids take letters, digits, '_' and '-'.
std::string IdPart(const std::string& text)
{
    std::string out;
    for (const char c : text)
        out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
    return out;
}

void Common(JsonWriter& json, const Topics& topics, const DiscoveryCamera& camera, const std::string& uniqueId)
{
    json.Key("unique_id").String(uniqueId);
    json.Key("availability_topic").String(topics.availability());
    json.Key("payload_available").String(kOnline).Key("payload_not_available").String(kOffline);
    json.Key("device").BeginObject();
    json.Key("identifiers").BeginArray().String("vivazuzoz_" + IdPart(camera.id)).EndArray();
    json.Key("name").String(camera.name + " (" + camera.id + ")");
    json.Key("model").String(camera.name).Key("sw_version").String(camera.swVersion).EndObject();
    json.Key("origin")
        .BeginObject()
        .Key("name")
        .String("vivazuzoz monitor")
        .Key("sw_version")
        .String(camera.swVersion)
        .EndObject();
}

}  // namespace

std::vector<DiscoveryMessage> DiscoveryMessages(const std::string& discoveryPrefix, const Topics& topics,
                                                const DiscoveryCamera& camera, const std::vector<std::string>& targets,
                                                const std::vector<DiscoveryAlarm>& alarms)
{
    const std::string node = "vivazuzoz_" + IdPart(camera.id);
    std::vector<DiscoveryMessage> messages;
    for (const std::string& target : targets) {
        for (const char* figure : {"min", "max", "mean"}) {
            const std::string object = IdPart(target) + "_" + figure;
            JsonWriter json;
            json.BeginObject().Key("name").String(target + " " + figure);
            Common(json, topics, camera, node + "_" + object);
            json.Key("state_topic").String(topics.state(target));
            json.Key("value_template").String(std::string("{{ value_json.") + figure + " }}");
            // Home Assistant's temperature class takes only its own units; a
            // unit nobody declared ("unit 2") is a plain measurement.
            if (camera.unit == "\u00B0C" || camera.unit == "\u00B0F" || camera.unit == "K")
                json.Key("device_class").String("temperature");
            json.Key("unit_of_measurement").String(camera.unit);
            json.Key("state_class").String("measurement").Key("suggested_display_precision").Int(1);
            json.EndObject();
            messages.push_back({discoveryPrefix + "/sensor/" + node + "/" + object + "/config", json.str()});
        }
    }
    for (const DiscoveryAlarm& alarm : alarms) {
        const std::string object = IdPart(alarm.target) + "_alarm_" + alarm.kind;
        JsonWriter json;
        json.BeginObject().Key("name").String(alarm.target + " " + (alarm.kind == "above" ? "too hot" : "too cold"));
        Common(json, topics, camera, node + "_" + object);
        json.Key("state_topic").String(topics.alarm(alarm.target, alarm.kind));
        json.Key("payload_on").String("ON").Key("payload_off").String("OFF");
        json.Key("device_class").String(alarm.kind == "above" ? "heat" : "cold");
        json.EndObject();
        messages.push_back({discoveryPrefix + "/binary_sensor/" + node + "/" + object + "/config", json.str()});
    }
    return messages;
}

}  // namespace vivatool::monitor
