// mqtt_publisher.h - one connection to an MQTT broker (libmosquitto) that
// keeps itself up: a thread of its own connects, says on `report` why an
// attempt failed or the connection ended, and tries again after 1 s,
// doubling to 30 s (ReconnectBackoff) until stopped. It leaves a last will
// that the broker publishes if the connection ends without a goodbye.
#pragma once

#include "mqtt_url.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace vivatool::monitor {

class MqttPublisher {
public:
    struct Options {
        MqttUrl url;
        std::string clientId;
        std::string caFile;       // mqtts: the CA certificates to trust; "" for the system's store
        std::string caFileTyped;  // caFile as the user typed it, for messages
        std::string willTopic;    // retained, QoS 1
        std::string willPayload;
        // One line about the broker, without a newline: an attempt that
        // failed and when the next one is, a connection lost, a connection
        // made after a failure or a loss. Called on the connection's thread,
        // never after Stop() returned. A refusal of the credentials is not
        // reported (see refusal()).
        std::function<void(const std::string& line)> report;
    };

    // Sets the connection up and starts connecting on its own thread. Null
    // (and `error` set) when libmosquitto refuses the options.
    static std::unique_ptr<MqttPublisher> Start(const Options& options, std::string& error);
    ~MqttPublisher();  // Stop()
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Queues a message at QoS 1; false when it cannot be queued (not
    // connected: the caller republishes what matters after the next connect).
    bool Publish(const std::string& topic, const std::string& payload, bool retain);

    // Publishes `payload` to `topic` (retained) and waits up to 2 s for it
    // to leave, disconnects cleanly and ends the connection's thread. A
    // thread still inside a connection attempt (a slow name lookup) after
    // 2 s more is left to finish on its own.
    void Stop(const std::string& topic = "", const std::string& payload = "");

    // How many times the broker accepted the connection: a change means a
    // (re)connect, after which retained state is published again.
    unsigned connects() const;
    bool connected() const;
    // The broker's refusal of the user name or password (CONNACK code 4 or
    // 5), 0 when none: retrying cannot mend it, so the thread stops trying.
    int refusal() const;
    // Why the last attempt or the connection failed, for messages; "" when connected.
    std::string lastProblem() const;

private:
    struct Link;

    MqttPublisher() = default;
    static void Run(const std::shared_ptr<Link>& link);

    std::shared_ptr<Link> link_;  // shared with the connection's thread, which may outlive Stop()
    std::thread thread_;          // owner's thread only
};

}  // namespace vivatool::monitor
