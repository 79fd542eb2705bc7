#include "mqtt_publisher.h"

#include "reconnect_backoff.h"

#include <mosquitto.h>
#include <netdb.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace vivatool::monitor {

namespace {

using Clock = std::chrono::steady_clock;

// The library is initialised once per process and never cleaned up: other
// connections may come and go on other threads.
void InitLibraryOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

constexpr int kKeepAliveSeconds = 30;
// How long the network loop waits for traffic before it looks at `stopping`.
constexpr int kLoopMilliseconds = 100;
// A server that takes the connection but never answers it (not a broker, or
// a TLS port spoken to in plain text) is left after this long.
constexpr auto kConnackTimeout = std::chrono::seconds(10);
constexpr auto kGoodbyeTimeout = std::chrono::seconds(2);

bool CredentialsRefused(int connack)
{
    return connack == 4 || connack == 5;
}

// The OpenSSL reason of a libmosquitto log line such as "OpenSSL Error[0]:
// error:0A000086:SSL routines::certificate verify failed".
std::string OpenSslReason(const std::string& line)
{
    const size_t colon = line.rfind(':');
    return colon == std::string::npos ? line : line.substr(colon + 1);
}

std::string LookupFailure(const std::string& host)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (found)
        freeaddrinfo(found);
    return "cannot look up " + host + ": " + (rc == 0 ? "the name lookup failed" : gai_strerror(rc));
}

std::string Seconds(Clock::duration d)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
    return text;
}

}  // namespace

struct MqttPublisher::Link {
    explicit Link(const Options& o) : options(o) {}
    ~Link()
    {
        if (mosq)
            mosquitto_destroy(mosq);
    }

    // Passes `line` to the owner's report unless Stop() has begun.
    void Report(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!stopping && options.report)
            options.report(line);
    }

    void SetProblem(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(mutex);
        problem = text;
    }

    // Sleeps `wait` unless Stop() begins first; false when it did.
    bool WaitUnlessStopped(std::chrono::seconds wait)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return !wake.wait_for(lock, wait, [this] { return stopping; });
    }

    const Options options;
    mosquitto* mosq = nullptr;  // calls into it are thread-safe (mosquitto_threaded_set)
    // Written by the connection's thread (callbacks), read by the owner's.
    std::atomic<unsigned> connects{0};
    std::atomic<bool> connected{false};
    std::atomic<int> refusal{0};
    std::atomic<int> lastPublished{0};  // mid of the last message the broker acknowledged
    // Guarded by `mutex`.
    std::mutex mutex;
    std::condition_variable wake;  // `stopping` or `finished` changed
    bool stopping = false;         // set once by Stop(); report() is not called after
    bool finished = false;         // the connection's thread is done with everything but `this`
    std::string problem;           // why the last attempt or connection failed
    std::string tlsError;          // OpenSSL's reason logged during the current attempt
};

namespace {

// libmosquitto's callbacks, on the connection's thread.
template <typename Link>
Link& From(void* user)
{
    return *static_cast<Link*>(user);
}

}  // namespace

std::unique_ptr<MqttPublisher> MqttPublisher::Start(const Options& options, std::string& error)
{
    InitLibraryOnce();
    std::unique_ptr<MqttPublisher> self(new MqttPublisher());
    auto link = std::make_shared<Link>(options);
    link->mosq = mosquitto_new(options.clientId.c_str(), true, link.get());
    if (!link->mosq) {
        error = "cannot set up an MQTT connection (out of memory)";
        return nullptr;
    }
    mosquitto* const mosq = link->mosq;
    mosquitto_threaded_set(mosq, true);
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq, [](mosquitto*, void* user, int code) {
        Link& l = From<Link>(user);
        l.refusal = code;
        if (code == 0) {
            l.connected = true;
            ++l.connects;
        }
    });
    mosquitto_disconnect_callback_set(mosq, [](mosquitto*, void* user, int) { From<Link>(user).connected = false; });
    mosquitto_publish_callback_set(mosq, [](mosquitto*, void* user, int mid) { From<Link>(user).lastPublished = mid; });
    mosquitto_log_callback_set(mosq, [](mosquitto*, void* user, int level, const char* text) {
        if ((level & MOSQ_LOG_ERR) && text && std::strstr(text, "OpenSSL Error")) {
            Link& l = From<Link>(user);
            std::lock_guard<std::mutex> lock(l.mutex);
            if (l.tlsError.empty())  // the first error is the cause; later ones follow from it
                l.tlsError = OpenSslReason(text);
        }
    });
    const MqttUrl& url = options.url;
    int rc = MOSQ_ERR_SUCCESS;
    if (!url.user.empty())
        rc = mosquitto_username_pw_set(mosq, url.user.c_str(), url.hasPassword ? url.password.c_str() : nullptr);
    if (rc == MOSQ_ERR_SUCCESS && !options.willTopic.empty())
        rc = mosquitto_will_set(mosq, options.willTopic.c_str(), static_cast<int>(options.willPayload.size()),
                                options.willPayload.data(), 1, true);
    if (rc == MOSQ_ERR_SUCCESS && url.tls) {
        if (options.caFile.empty()) {
            rc = mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
            if (rc == MOSQ_ERR_SUCCESS)
                rc = mosquitto_tls_set(mosq, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr);
        } else {
            rc = mosquitto_tls_set(mosq, options.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            error = "cannot set up TLS for the broker" +
                    (options.caFile.empty() ? std::string(" with the system's CA store")
                                            : " with the CA file " + options.caFileTyped) +
                    ": " + mosquitto_strerror(rc);
            return nullptr;
        }
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("cannot set up the MQTT connection: ") + mosquitto_strerror(rc);
        return nullptr;
    }
    self->link_ = link;
    self->thread_ = std::thread(Run, link);
    return self;
}

MqttPublisher::~MqttPublisher()
{
    Stop();
}

bool MqttPublisher::Publish(const std::string& topic, const std::string& payload, bool retain)
{
    if (!thread_.joinable() || !link_->connected)
        return false;
    return mosquitto_publish(link_->mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                             retain) == MOSQ_ERR_SUCCESS;
}

void MqttPublisher::Stop(const std::string& topic, const std::string& payload)
{
    if (!thread_.joinable())
        return;
    Link& link = *link_;
    int mid = 0;
    if (link.connected && !topic.empty() &&
        mosquitto_publish(link.mosq, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, true) ==
            MOSQ_ERR_SUCCESS) {
        const auto until = Clock::now() + kGoodbyeTimeout;
        while (link.connected && link.lastPublished != mid && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // The thread says goodbye to the broker itself (or stops trying) once
    // it sees `stopping`: within one turn of its loop, unless it is inside
    // a connection attempt.
    std::unique_lock<std::mutex> lock(link.mutex);
    link.stopping = true;
    link.wake.notify_all();
    if (link.wake.wait_for(lock, kGoodbyeTimeout * 2, [&link] { return link.finished; })) {
        lock.unlock();
        thread_.join();
    } else {
        // A name lookup or a connect() that takes its time: the thread holds
        // the link and ends on its own, reporting nothing more.
        lock.unlock();
        thread_.detach();
    }
}

unsigned MqttPublisher::connects() const
{
    return link_->connects.load();
}

bool MqttPublisher::connected() const
{
    return link_->connected.load();
}

int MqttPublisher::refusal() const
{
    const int code = link_->refusal.load();
    return CredentialsRefused(code) ? code : 0;
}

std::string MqttPublisher::lastProblem() const
{
    if (link_->connected)
        return "";
    if (const int code = refusal())  // said at once, before the thread has put it into words
        return std::string("the broker refused the connection: ") + mosquitto_connack_string(code);
    std::lock_guard<std::mutex> lock(link_->mutex);
    return link_->problem.empty() ? "not connected yet" : link_->problem;
}

namespace {

// Why an attempt or a connection ended: the broker's refusal, OpenSSL's
// reason, the name lookup's, or the system call's.
std::string Describe(int rc, int savedErrno, int refusal, const std::string& tlsError, const MqttUrl& url,
                     bool answered)
{
    if (refusal != 0)
        return std::string("the broker refused the connection: ") + mosquitto_connack_string(refusal);
    if (!tlsError.empty())
        return "TLS failed: " + tlsError;
    switch (rc) {
    case MOSQ_ERR_EAI:
        return LookupFailure(url.host);
    case MOSQ_ERR_ERRNO:
        return std::strerror(savedErrno);
    case MOSQ_ERR_TLS:
        return "TLS failed";
    case MOSQ_ERR_KEEPALIVE:
        return "the broker stopped answering";
    case MOSQ_ERR_CONN_LOST:
    case MOSQ_ERR_NO_CONN:
        if (answered)
            return "the broker closed the connection";
        return std::string("the connection was closed before the broker answered") +
               (url.tls ? "" : " (does it expect TLS, mqtts://?)");
    case MOSQ_ERR_SUCCESS:
        return "no answer from the broker within " +
               std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kConnackTimeout).count()) +
               " s (is it an MQTT broker, and is TLS used as it expects?)";
    default:
        return mosquitto_strerror(rc);
    }
}

}  // namespace

// The connection's thread: connect, serve the connection until it ends, say
// why, wait, again; until Stop().
void MqttPublisher::Run(const std::shared_ptr<Link>& shared)
{
    Link& link = *shared;
    const MqttUrl& url = link.options.url;
    const std::string where = "the broker at " + url.Display();
    ReconnectBackoff backoff;
    bool everConnected = false;
    unsigned failures = 0;          // attempts failed since the last connection (or the start)
    Clock::time_point downSince{};  // when the last connection was lost
    auto stopping = [&link] {
        std::lock_guard<std::mutex> lock(link.mutex);
        return link.stopping;
    };
    while (!stopping()) {
        {
            std::lock_guard<std::mutex> lock(link.mutex);
            link.tlsError.clear();
        }
        link.refusal = 0;
        // Blocking: the name lookup, the TCP connection and the TLS handshake.
        int rc = mosquitto_connect(link.mosq, url.host.c_str(), url.port, kKeepAliveSeconds);
        int savedErrno = errno;
        bool accepted = false;
        if (rc == MOSQ_ERR_SUCCESS) {
            const unsigned before = link.connects;
            const Clock::time_point opened = Clock::now();
            for (;;) {
                if (stopping()) {
                    // Goodbye: DISCONNECT leaves before the socket closes, so
                    // the broker keeps the last will to itself.
                    mosquitto_disconnect(link.mosq);
                    const auto until = Clock::now() + kGoodbyeTimeout;
                    while (mosquitto_loop(link.mosq, kLoopMilliseconds, 1) == MOSQ_ERR_SUCCESS &&
                           Clock::now() < until) {
                    }
                    break;
                }
                rc = mosquitto_loop(link.mosq, kLoopMilliseconds, 1);
                savedErrno = errno;
                if (!accepted && link.connects != before) {
                    accepted = true;
                    backoff.Reset();
                    link.SetProblem("");
                    // Quiet when all went well; after trouble, the end of it.
                    if (everConnected)
                        link.Report("connected to " + where + " again after " + Seconds(Clock::now() - downSince));
                    else if (failures > 0)
                        link.Report("connected to " + where);
                    everConnected = true;
                    failures = 0;
                }
                if (rc != MOSQ_ERR_SUCCESS)
                    break;
                if (!accepted && Clock::now() - opened > kConnackTimeout) {
                    rc = MOSQ_ERR_SUCCESS;  // described as no answer
                    break;
                }
            }
        }
        if (stopping())
            break;
        mosquitto_disconnect(link.mosq);  // closes what is left of the socket
        std::string tlsError;
        {
            std::lock_guard<std::mutex> lock(link.mutex);
            tlsError = link.tlsError;
        }
        const int refusal = link.refusal;
        const std::string why = Describe(rc, savedErrno, refusal, tlsError, url, accepted);
        link.SetProblem(why);
        if (CredentialsRefused(refusal))
            break;  // the owner says so and ends; trying again cannot help
        const std::chrono::seconds wait = backoff.Next();
        const std::string next = "; trying again in " + std::to_string(wait.count()) + " s";
        if (accepted) {
            downSince = Clock::now();
            link.Report("lost the connection to " + where + ": " + why + next);
        } else {
            link.Report((failures++ > 0 ? "still cannot connect to " : "cannot connect to ") + where + ": " + why +
                        next);
        }
        if (!link.WaitUnlessStopped(wait))
            break;
    }
    std::lock_guard<std::mutex> lock(link.mutex);
    link.finished = true;
    link.wake.notify_all();
}

}  // namespace vivatool::monitor
