// mqtt_publisher.h - one connection to an MQTT broker (libmosquitto) that
// keeps itself up: it connects in the background, reconnects with back-off
// (1 s doubling to 30 s) when the broker goes away, and leaves a last will
// that the broker publishes if the connection ends without a goodbye.
#pragma once

#include "mqtt_url.h"

#include <atomic>
#include <memory>
#include <string>

struct mosquitto;

namespace vivatool::monitor {

class MqttPublisher {
public:
    struct Options {
        MqttUrl url;
        std::string clientId;
        std::string caFile;       // mqtts: the CA certificates to trust; "" for the system's store
        std::string willTopic;    // retained, QoS 1
        std::string willPayload;
    };

    // Sets the connection up and starts connecting in the background. Null
    // (and `error` set) when libmosquitto refuses the options.
    static std::unique_ptr<MqttPublisher> Start(const Options& options, std::string& error);
    ~MqttPublisher();  // Stop()
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Queues a message at QoS 1; false when it cannot be queued (not
    // connected: the caller republishes what matters after the next connect).
    bool Publish(const std::string& topic, const std::string& payload, bool retain);

    // Publishes `payload` to `topic` (retained), waits up to 2 s for it to
    // leave, disconnects cleanly and stops the background thread.
    void Stop(const std::string& topic = "", const std::string& payload = "");

    // How many times the broker accepted the connection: a change means a
    // (re)connect, after which retained state is published again.
    unsigned connects() const { return connects_.load(); }
    bool connected() const { return connected_.load(); }
    // The broker's refusal of the last attempt (CONNACK code, e.g. 5: not
    // authorised), 0 when none.
    int refusal() const { return refusal_.load(); }
    // Why the last attempt or the connection failed, for messages; "" when connected.
    std::string lastProblem() const;

private:
    explicit MqttPublisher(const Options& options);
    static void OnConnect(mosquitto*, void* self, int code);
    static void OnDisconnect(mosquitto*, void* self, int code);
    static void OnPublish(mosquitto*, void* self, int mid);

    const Options options_;
    mosquitto* mosq_ = nullptr;  // its own thread runs the network; calls into it are thread-safe
    bool started_ = false;       // owner's thread only
    // Written by the network thread, read by the owner's.
    std::atomic<unsigned> connects_{0};
    std::atomic<bool> connected_{false};
    std::atomic<int> refusal_{0};
    std::atomic<int> lastError_{0};    // MOSQ_ERR_* of the last disconnect
    std::atomic<int> lastPublished_{0};  // mid of the last message the broker acknowledged
};

}  // namespace vivatool::monitor
