#include "mqtt_publisher.h"

#include <mosquitto.h>

#include <chrono>
#include <mutex>
#include <thread>

namespace vivatool::monitor {

namespace {

// The library is initialised once per process and never cleaned up: other
// connections may come and go on other threads.
void InitLibraryOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

constexpr int kKeepAliveSeconds = 30;

}  // namespace

MqttPublisher::MqttPublisher(const Options& options) : options_(options) {}

std::unique_ptr<MqttPublisher> MqttPublisher::Start(const Options& options, std::string& error)
{
    InitLibraryOnce();
    std::unique_ptr<MqttPublisher> self(new MqttPublisher(options));
    self->mosq_ = mosquitto_new(options.clientId.c_str(), true, self.get());
    if (!self->mosq_) {
        error = "cannot set up an MQTT connection (out of memory)";
        return nullptr;
    }
    mosquitto_int_option(self->mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(self->mosq_, OnConnect);
    mosquitto_disconnect_callback_set(self->mosq_, OnDisconnect);
    mosquitto_publish_callback_set(self->mosq_, OnPublish);
    mosquitto_reconnect_delay_set(self->mosq_, 1, 30, true);
    const MqttUrl& url = options.url;
    int rc = MOSQ_ERR_SUCCESS;
    if (!url.user.empty())
        rc = mosquitto_username_pw_set(self->mosq_, url.user.c_str(), url.hasPassword ? url.password.c_str() : nullptr);
    if (rc == MOSQ_ERR_SUCCESS && !options.willTopic.empty())
        rc = mosquitto_will_set(self->mosq_, options.willTopic.c_str(), static_cast<int>(options.willPayload.size()),
                                options.willPayload.data(), 1, true);
    if (rc == MOSQ_ERR_SUCCESS && url.tls) {
        if (options.caFile.empty()) {
            rc = mosquitto_int_option(self->mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
            if (rc == MOSQ_ERR_SUCCESS)
                rc = mosquitto_tls_set(self->mosq_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr);
        } else {
            rc = mosquitto_tls_set(self->mosq_, options.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "cannot set up TLS for the broker" +
                    (options.caFile.empty() ? std::string(" with the system's CA store")
                                            : " with the CA file " + options.caFile) +
                    ": " + mosquitto_strerror(rc);
            return nullptr;
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("cannot set up the MQTT connection: ") + mosquitto_strerror(rc);
        return nullptr;
    }
    // A broker that is down now is retried by the network thread with back-off.
    const int connect = mosquitto_connect_async(self->mosq_, url.host.c_str(), url.port, kKeepAliveSeconds);
    if (connect != MOSQ_ERR_SUCCESS)
        self->lastError_ = connect;
    if (const int loop = mosquitto_loop_start(self->mosq_); loop != MOSQ_ERR_SUCCESS) {
        error = std::string("cannot start the MQTT connection's thread: ") + mosquitto_strerror(loop);
        return nullptr;
    }
    self->started_ = true;
    return self;
}

MqttPublisher::~MqttPublisher()
{
    Stop();
    if (mosq_)
        mosquitto_destroy(mosq_);
}

bool MqttPublisher::Publish(const std::string& topic, const std::string& payload, bool retain)
{
    if (!started_ || !connected_)
        return false;
    return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                             retain) == MOSQ_ERR_SUCCESS;
}

void MqttPublisher::Stop(const std::string& topic, const std::string& payload)
{
    if (!started_)
        return;
    started_ = false;
    int mid = 0;
    if (connected_ && !topic.empty() &&
        mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, true) ==
            MOSQ_ERR_SUCCESS) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (connected_ && lastPublished_ != mid && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // Without a connection there is nothing to say goodbye on, and the
    // network thread would go on retrying (or trying to): it is cancelled.
    const bool wasConnected = connected_;
    const bool saidGoodbye = mosquitto_disconnect(mosq_) == MOSQ_ERR_SUCCESS && wasConnected;
    mosquitto_loop_stop(mosq_, !saidGoodbye);
}

std::string MqttPublisher::lastProblem() const
{
    if (connected_)
        return "";
    if (const int code = refusal_.load())
        return std::string("the broker refused the connection: ") + mosquitto_connack_string(code);
    if (const int code = lastError_.load())
        return mosquitto_strerror(code);
    return "not connected yet";
}

void MqttPublisher::OnConnect(mosquitto*, void* user, int code)
{
    auto* self = static_cast<MqttPublisher*>(user);
    self->refusal_ = code;
    if (code == 0) {
        self->lastError_ = 0;
        self->connected_ = true;
        ++self->connects_;
    }
}

void MqttPublisher::OnDisconnect(mosquitto*, void* user, int code)
{
    auto* self = static_cast<MqttPublisher*>(user);
    self->connected_ = false;
    if (code != 0)
        self->lastError_ = code;
}

void MqttPublisher::OnPublish(mosquitto*, void* user, int mid)
{
    static_cast<MqttPublisher*>(user)->lastPublished_ = mid;
}

}  // namespace vivatool::monitor
