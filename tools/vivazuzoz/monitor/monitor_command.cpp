#include "monitor_command.h"

#include <vivaclient/number_text.h>
#include <vivaclient/thermal_snapshot.h>
#include "ha_discovery.h"
#include "json.h"
#include "metrics_server.h"
#include "monitor_options.h"
#include "monitor_state.h"
#include "mqtt_publisher.h"
#include "service_notify.h"
#include "temperature_csv.h"
#include "topics.h"

#include <chrono>
#include <mutex>

#ifndef VIVAZUZOZ_TOOL_VERSION
#define VIVAZUZOZ_TOOL_VERSION "unknown"
#endif

namespace vivatool {
using namespace vivaclient;

using namespace monitor;

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);

class MonitorRun {
public:
    MonitorRun(Context& ctx, StreamingSession& session, MonitorOptions& o)
        : ctx_(ctx),
          session_(session),
          o_(o),
          cameraName_(session.camera->info().name),
          start_(Clock::now()),
          state_(o.watch.regions, std::move(o.watch.watches))
    {
        topics_.base = o.mqtt ? o.mqtt->prefix + "/" + o.cameraId : "";
    }

    int Run()
    {
        if (const int status = StartOutputs())
            return status;
        CameraSession& camera = *session_.camera;
        camera.SetCallback(sink_);
        const auto loop = [this] { return Loop(); };
        RunEnd end = RunEnd::Going;
        const int status = StreamUntilEnd(ctx_, camera, loop, end);
        StopOutputs();
        return status ? status : Finish(end);
    }

private:
    int StartOutputs()
    {
        if (o_.metrics) {
            std::string error;
            bool inUse = false;
            metrics_ = MetricsServer::Start(
                o_.metricsAddress, o_.metricsPort,
                [this] {
                    std::vector<CameraMetrics> cameras{
                        state_.Metrics(o_.cameraId, cameraName_, session_.camera->counters())};
                    cameras.front().unit = unit_.symbol;
                    return cameras;
                },
                error, &inUse);
            if (!metrics_) {
                Fail(ctx_, error);
                return inUse ? kExitAddressInUse : kExitFailure;
            }
        }
        if (o_.mqtt) {
            MqttPublisher::Options options;
            options.url = *o_.mqtt;
            options.clientId = "vivazuzoz-monitor-" + o_.cameraId;
            options.caFile = o_.caFile;
            options.caFileTyped = o_.caFileTyped;
            // Straight to stderr from the connection's thread: one line
            // each, so that a journal shows every loss and return.
            FILE* err = ctx_.err;
            options.report = [err](const std::string& line) {
                std::fprintf(err, "vivazuzoz: %s\n", line.c_str());
                std::fflush(err);
            };
            options.willTopic = topics_.availability();
            options.willPayload = kOffline;
            std::string error;
            mqtt_ = MqttPublisher::Start(options, error);
            if (!mqtt_)
                return Fail(ctx_, error);
        }
        return kExitOk;
    }

    void StopOutputs()
    {
        service_.Stopping();
        if (mqtt_)
            mqtt_->Stop(topics_.availability(), kOffline);
        metrics_.reset();
    }

    // Publishes until the monitor ends; a broker that refuses the
    // credentials ends it too (refused_ says so).
    RunEnd Loop()
    {
        // The watchdog is fed while both the loop turns and the camera's
        // session makes progress (frames, or searches while it is away).
        service_.Ready("publishing camera " + o_.cameraId,
                       [this] { return std::min(working_.last(), session_.camera->progress()); });
        nextPublish_ = start_;
        std::unique_lock<std::mutex> lock(state_.mutex);
        for (;;) {
            working_.Beat();
            state_.changed.wait_for(lock, kPollInterval);
            std::vector<AlarmEvent> events;
            events.swap(state_.events);
            HoldCorrectionsDuringAlarms(*session_.camera, state_.watches);
            const Clock::time_point now = Clock::now();
            lock.unlock();
            // A new connection is announced (availability, discovery) before
            // anything else goes out on it.
            if (!KeepBrokerUp()) {
                refused_ = true;
                return RunEnd::Done;
            }
            PublishEvents(events);
            TakeCameraEvents();
            if (now >= nextPublish_ && PublishStates())
                nextPublish_ = now + publishEvery_;
            const bool limited = o_.secondsLimit > 0;
            const bool limitReached = limited && now - start_ >= std::chrono::duration<double>(o_.secondsLimit);
            if (const RunEnd end = CheckRunEnd(*session_.camera, limited, limitReached); end != RunEnd::Going)
                return end;
            lock.lock();
        }
    }

    // Says the camera's losses and returns on the error stream and as MQTT
    // events, and follows them in availability.
    void TakeCameraEvents()
    {
        for (const SessionEvent& event : session_.events.TakeAll()) {
            switch (event.kind) {
            case SessionEvent::Kind::Lost:
            case SessionEvent::Kind::Stalled:
                CameraGone();
                break;
            case SessionEvent::Kind::Back:
                CameraBack();
                break;
            case SessionEvent::Kind::Error:
            case SessionEvent::Kind::ShutterEnd:  // one event per correction, with its length
                break;
            case SessionEvent::Kind::Opened:
            case SessionEvent::Kind::Closed:
            case SessionEvent::Kind::ShutterStart:
                continue;
            }
            SayEvent(ctx_, event, "monitor");
            if (Announced())
                mqtt_->Publish(topics_.event(), EventJson(event), false);
        }
    }

    void CameraGone()
    {
        {
            std::lock_guard<std::mutex> lock(state_.mutex);
            state_.live = false;
        }
        if (mqtt_)
            mqtt_->Publish(topics_.availability(), kOffline, true);
    }

    void CameraBack()
    {
        {
            std::lock_guard<std::mutex> lock(state_.mutex);
            state_.live = true;
        }
        if (mqtt_)
            mqtt_->Publish(topics_.availability(), kOnline, true);
    }

    // A connection that KeepBrokerUp() announced, on which the rest may go.
    bool Announced() const { return mqtt_ && mqtt_->connected() && mqtt_->connects() == publishedConnects_; }

    // After each (re)connect, first: availability and discovery, then the
    // alarms and the latest states (a restarted broker may have lost its
    // retained messages). False when the broker refused the credentials.
    bool KeepBrokerUp()
    {
        if (!mqtt_)
            return true;
        if (mqtt_->refusal()) {
            refusedMessage_ = mqtt_->lastProblem();
            return false;
        }
        const unsigned connects = mqtt_->connects();
        if (connects == publishedConnects_ || !mqtt_->connected())
            return true;
        publishedConnects_ = connects;
        bool live = false;
        std::vector<DiscoveryAlarm> alarms;
        std::vector<std::string> targets;
        {
            std::lock_guard<std::mutex> lock(state_.mutex);
            live = state_.live;
            targets = state_.Targets();
            for (const Watch& w : state_.watches)
                alarms.push_back({w.target, KindName(w.alarm.rule().kind)});
        }
        if (o_.haDiscovery) {
            DiscoveryCamera camera{o_.cameraId, cameraName_, VIVAZUZOZ_TOOL_VERSION};
            camera.unit = unit_.label;  // "unit N" when nobody declared what the camera's number means
            for (const DiscoveryMessage& m : DiscoveryMessages(o_.haPrefix, topics_, camera, targets, alarms))
                mqtt_->Publish(m.topic, m.payload, true);
        }
        mqtt_->Publish(topics_.availability(), live ? kOnline : kOffline, true);
        PublishAlarmStates();
        if (PublishStates())
            nextPublish_ = Clock::now() + publishEvery_;  // the first batch on a connection goes once
        return true;
    }

    // The latest figures of every target; false when there were none to send
    // or no announced connection.
    bool PublishStates()
    {
        if (!Announced())
            return false;
        std::vector<TargetFigures> latest;
        std::vector<std::string> targets;
        {
            std::lock_guard<std::mutex> lock(state_.mutex);
            latest = state_.latest;
            targets = state_.Targets();
        }
        for (size_t i = 0; i < latest.size() && i < targets.size(); ++i)
            mqtt_->Publish(topics_.state(targets[i]), StateJson(latest[i]), true);
        return !latest.empty();
    }

    void PublishAlarmStates()
    {
        std::vector<std::pair<std::string, std::string>> states;
        {
            std::lock_guard<std::mutex> lock(state_.mutex);
            for (const Watch& w : state_.watches)
                states.emplace_back(topics_.alarm(w.target, KindName(w.alarm.rule().kind)),
                                    w.alarm.raised() ? "ON" : "OFF");
        }
        for (const auto& [topic, payload] : states)
            mqtt_->Publish(topic, payload, true);
    }

    void PublishEvents(const std::vector<AlarmEvent>& events)
    {
        for (const AlarmEvent& e : events) {
            std::fprintf(ctx_.out, "Alarm %s: %s max %s is %s %s\n", e.raised ? "raised" : "cleared",
                             e.target.c_str(), FormatTenths(e.value).c_str(),
                             e.raised ? KindName(e.kind) : (e.kind == AlarmKind::Above ? "back below" : "back above"),
                             FormatTenths(e.threshold).c_str());
            if (!Announced())
                continue;
            mqtt_->Publish(topics_.alarm(e.target, KindName(e.kind)), e.raised ? "ON" : "OFF", true);
            mqtt_->Publish(topics_.event(), AlarmEventJson(o_.cameraId, e), false);
        }
        if (!events.empty())
            std::fflush(ctx_.out);
    }

    int Finish(RunEnd end)
    {
        if (refused_) {
            std::fprintf(ctx_.err, "vivazuzoz monitor: %s at %s; check the user name and password in --mqtt\n",
                         refusedMessage_.c_str(), o_.mqtt->Display().c_str());
            return kExitUsage;
        }
        if (end == RunEnd::Done && o_.secondsLimit > 0 && mqtt_ && mqtt_->connects() == 0) {
            std::fprintf(ctx_.err, "vivazuzoz: never connected to the broker at %s in %s s: %s\n",
                         o_.mqtt->Display().c_str(), FormatDecimal(o_.secondsLimit, 1).c_str(),
                         mqtt_->lastProblem().c_str());
            return kExitNoBroker;
        }
        return EndStatus(ctx_, end, *session_.camera, "monitor");
    }

    Context& ctx_;
    StreamingSession& session_;
    const MonitorOptions& o_;
    const std::string cameraName_;
    const TemperatureUnit unit_ = ReadDeclaredUnit(*session_.camera);
    const Clock::time_point start_;
    Topics topics_;
    MonitorState state_;
    const FrameStream::Callback sink_ = [this](const FrameRef& f) { state_.Count(f); };
    // Command thread only.
    std::unique_ptr<MqttPublisher> mqtt_;
    std::unique_ptr<MetricsServer> metrics_;  // destroyed before state_ is
    // The loop's turns and the waits for a lost camera: the watchdog's progress.
    Heartbeat working_;
    ServiceNotifier service_{ctx_.err};
    unsigned publishedConnects_ = 0;
    const Clock::duration publishEvery_ = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(o_.interval));
    Clock::time_point nextPublish_;  // of the next state batch
    bool refused_ = false;           // the broker refused the credentials
    std::string refusedMessage_;
};

}  // namespace

CommandSyntax MonitorSyntax()
{
    return {"monitor",
            "Publish region temperatures and alarms to MQTT (Home Assistant) and Prometheus",
            "",
            {kDeviceOption,
             {"mqtt", 'm', "URL", "publish to the broker at mqtt[s]://[USER[:PASSWORD]@]HOST[:PORT][/PREFIX]"},
             {"mqtt-ca", 0, "FILE", "for mqtts://: trust the CA certificates in FILE (default: the system's)"},
             {"ha-discovery", 0, nullptr, "announce the sensors to Home Assistant (MQTT discovery)"},
             {"ha-prefix", 0, "TOPIC", "Home Assistant's discovery prefix (default homeassistant)"},
             {"metrics", 0, "ADDR:PORT", "serve Prometheus metrics at http://ADDR:PORT/metrics"},
             {"camera-id", 0, "ID", "the camera's name in topics and metrics (default: usb- and its USB port)"},
             {"interval", 'i', "S", "publish the temperatures every S seconds (default 1)"},
             {"seconds", 's', "S", "stop after S seconds"},
             kRoiOption,
             kAlarmAboveOption,
             kAlarmBelowOption,
             kHysteresisOption,
             kReconnectOption,
             VIVAZUZOZ_SHUTTER_OPTIONS},
            0,
            0,
            "Publishes, per camera, the minimum, maximum, mean and hottest pixel of the whole frame\n"
            "(\"frame\") and of each region, and raises and clears alarms as `stream` does. It runs\n"
            "until interrupted (Ctrl-C or SIGTERM; exit status 0) or for --seconds.\n"
            "\n"
            "MQTT topics, under PREFIX/CAMERA/ (PREFIX from the URL, default vivazuzoz; CAMERA the\n"
            "--camera-id):\n"
            "  availability        online or offline (retained; the broker's last will says offline\n"
            "                      if the monitor dies)\n"
            "  TARGET/state        {\"min\",\"max\",\"mean\",\"hottest\":{\"x\",\"y\"},\"time\"} every\n"
            "                      --interval (retained); TARGET is frame or a region's name\n"
            "  TARGET/alarm/KIND   ON or OFF (retained); KIND is above or below\n"
            "  event               {\"event\":\"raised\"|\"cleared\",\"target\",\"kind\",\"value\",...} per\n"
            "                      alarm change, and {\"type\":\"event\",\"event\":\"lost\"|\"stalled\"|\"back\"|\n"
            "                      \"error\",\"time\",\"message\",...} when the camera goes or comes back,\n"
            "                      and {\"type\":\"event\",\"event\":\"shutter-end\",\"commanded\",\"fpa_temp\",\n"
            "                      \"shutter_seconds\",...} per shutter correction (commanded, or the camera's\n"
            "                      own seen as a frozen or flat picture)\n"
            "States and alarms hold their last good values through the frames of a correction and for\n"
            "--shutter-settle after it; --shutter-every and --shutter-on-drift correct on a schedule\n"
            "or when the detector's temperature moved, waiting while an alarm is raised.\n"
            "Messages are sent with QoS 1. A broker that cannot be reached is said on stderr at once\n"
            "(refused, name not found, TLS failed and why), as is every loss of it and every return;\n"
            "it is retried after 1 s, doubling to 30 s, and everything retained is published again once\n"
            "it is back. With a user name but no password in the URL, the password is taken from\n"
            "VIVAZUZOZ_MQTT_PASSWORD. --mqtt-ca FILE is read from the current folder.\n"
            "--ha-discovery makes the temperatures appear in Home Assistant as sensors and each alarm\n"
            "as a binary sensor, under one device per camera.\n"
            "\n"
            "/metrics gives vivazuzoz_temperature_{min,max,mean}_degrees{camera,region},\n"
            "vivazuzoz_camera_up, vivazuzoz_frames_total, vivazuzoz_frames_dropped_total,\n"
            "vivazuzoz_camera_unplugs_total, vivazuzoz_frame_rate_fps, vivazuzoz_alarm_active,\n"
            "vivazuzoz_shutter_corrections_total and vivazuzoz_shutter_last_correction_seconds.\n"
            "\n"
            "Exit status: 0 interrupted or --seconds passed, 1 the camera failed or was lost (without\n"
            "--reconnect), 2 a wrong command line, URL, user name or password, 4 another program listens\n"
            "on the --metrics port, 5 --seconds passed without the broker ever accepting the connection,\n"
            "130 interrupted before --seconds passed.\n"};
}

int RunMonitor(Context& ctx, const ParsedArgs& args)
{
    MonitorOptions options;
    if (const int status = ParseMonitorOptions(ctx, args, options))
        return status;
    SessionOptions sessionOptions = StreamingOptions(options.device, options.reconnect);
    if (const int status = ParseShutterPolicy(ctx, "monitor", args, sessionOptions.shutter))
        return status;
    StreamingSession session;
    if (const int status = OpenStreaming(ctx, session, std::move(sessionOptions)))
        return status;
    if (const int status = CheckCameraFits(ctx, "monitor", *session.camera, options.watch))
        return status;
    if (options.cameraId.empty())
        options.cameraId = DefaultCameraId(session.camera->info());
    return MonitorRun(ctx, session, options).Run();
}

}  // namespace vivatool
