// camera_session.h - the one place that keeps a camera streaming: open,
// frames, a stall limit, loss, waiting for the same camera to come back and
// reopening it in the same mode, one sequence numbering across the gap, and
// a feed of what happened.
//
// Every front end (the tool's commands, the live server, RTSP, the GStreamer
// source, Python) runs its camera through a CameraSession and only says the
// events in its own idiom: a line on stderr, a JSON object, an MQTT message,
// a bus message, an exception.
//
// It also knows the shutter (flat-field) correction: its own commanded ones
// and the camera's own, seen in the frames (a frozen or flat picture); frames
// taken during one are flagged `shutter`, and for a while after `settling`;
// and a correction policy (every so often, on the detector's temperature
// change) runs here for every front end.
//
// Threads: frames reach the sink on the library's read thread, as with a
// FrameStream. A supervisor thread of the session's own watches for loss and
// stalls, reopens the camera, runs the correction policy and calls the event
// listener (CorrectShutter() calls it for its own correction on the calling
// thread); the listener must return soon and must not call Close(), the
// destructor or CorrectShutter(). Everything else may be called from any thread.
#pragma once

#include <vivaclient/camera.h>
#include <vivaclient/frame_stream.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vivaclient {

// How long a stream may go without a frame before the camera counts as gone.
constexpr std::chrono::milliseconds kStallLimit{5000};

struct SessionEvent {
    enum class Kind {
        Opened,        // the camera was opened and frames were asked for (also after a reopen, before Back)
        Lost,          // the library reported the camera gone, or a stream could not go on
        Stalled,       // no frame for the stall limit
        Back,          // the camera is streaming again after a Lost or Stalled; gapSeconds says how long it was away
        Error,         // something the session cannot fix by waiting (message says what); the session ends
        Closed,        // the session ended (Close(), or a loss without reconnect); the last event
        ShutterStart,  // a shutter correction began: commanded, or the camera's own seen in the frames
        ShutterEnd,    // it ended: the picture is live again (settling for SessionOptions::settleTime)
    };
    Kind kind = Kind::Opened;
    std::chrono::system_clock::time_point when;  // wall clock, for people and files
    FrameClock::time_point at;                   // the same moment on the frames' clock
    CameraInfo camera;                           // the camera as last opened
    // One line for a person, without a program's name: "the camera was lost
    // (unplugged or no longer answering); waiting for it to come back to USB port 1-1".
    std::string message;
    double gapSeconds = 0;  // Back: from the last frame before the loss to the reopen
    uint64_t sequence = 0;  // the sequence number the next frame will have
    // ShutterStart and ShutterEnd: whether the session commanded it (else
    // the camera corrected on its own), the detector (FPA) temperature in
    // degrees (NaN when the camera did not say; at a commanded start the
    // newest reading known), and at the end its length.
    bool commanded = false;
    double fpaTemp = 0;
    double shutterSeconds = 0;
};

// "opened", "lost", "stalled", "back", "error", "closed", "shutter-start",
// "shutter-end": the name front ends use in JSON, MQTT and metrics.
const char* EventName(SessionEvent::Kind kind);

// What a session does about shutter corrections: how it flags frames, how
// it sees the camera's own, and when it commands them.
struct ShutterPolicy {
    // Frames after a correction are flagged `settling` this long.
    std::chrono::milliseconds settleTime{1000};
    // See the camera's own corrections in the frames (a flat picture, or one
    // that freezes after moving, for a few frames).
    bool detect = true;
    // A correction this often (0: never) ...
    std::chrono::milliseconds every{0};
    // ... and when the FPA temperature, read every driftCheckEvery, has moved
    // this many degrees since the last correction (0: never; with it, the
    // first reading brings a correction when none is known yet) ...
    double onDrift = 0;
    std::chrono::milliseconds driftCheckEvery{2000};
    // ... and one before the frames start.
    bool atStart = false;
    // A due correction waits while a front end holds them (an alarm in its
    // hysteresis window), unless this is set.
    bool duringAlarm = false;

    // Whether the session commands corrections by itself.
    bool commands() const { return every.count() > 0 || onDrift > 0; }
};

struct SessionOptions {
    CameraChoice choice;  // the first open; later ones are by the camera's identity
    // After a loss or a stall, wait for the camera to come back and go on;
    // otherwise the session ends (Lost or Stalled, then Closed).
    bool reconnect = false;
    // When the first open finds no camera, keep searching instead of failing
    // (needs reconnect; choice must name the camera by identity or path).
    bool waitForCamera = false;
    std::chrono::milliseconds stallLimit = kStallLimit;
    std::chrono::milliseconds searchEvery{500};
    // Runs after every open, before the frames are asked for: applies
    // settings, checks that the camera fits. A message ends the session with
    // an Error (on the first open, Start() fails with it). `reopened` is
    // false the first time.
    std::function<std::string(Camera& camera, bool reopened)> prepare;

    ShutterPolicy shutter;
};

// Hands a session's events from its supervisor thread to a front end's own
// thread: the listener pushes, the front end's loop takes.
class EventQueue {
public:
    void Push(const SessionEvent& event);
    std::vector<SessionEvent> TakeAll();

private:
    std::mutex mutex_;
    std::vector<SessionEvent> events_;  // guarded by mutex_
};

class CameraSession {
public:
    // What the session has seen since Start(), for metrics and reports.
    struct Counters {
        uint64_t opens = 0;      // successful opens, the first included
        uint64_t losses = 0;     // Lost events
        uint64_t stalls = 0;     // Stalled events
        uint64_t resumes = 0;    // Back events
        uint64_t frames = 0;     // frames delivered to the sink
        double secondsAway = 0;  // without frames because of a loss or stall, the current gap included
        double longestGap = 0;   // the longest gap that ended
        bool live = false;       // open and streaming now
        // Frames a second over about the last second of streaming (from the
        // second frame on, over the frames so far); 0 until then and while
        // the camera is away.
        double recentFps = 0;
        FrameClock::time_point lastFrame;  // of the newest frame; epoch before the first
        uint64_t corrections = 0;          // shutter corrections that ended, commanded and the camera's own
        uint64_t commandedCorrections = 0;
        FrameClock::time_point lastCorrection;  // when the newest one ended; epoch before the first
        uint64_t shutterFrames = 0;             // frames flagged shutter
        uint64_t settlingFrames = 0;            // frames flagged settling
    };

    using Listener = std::function<void(const SessionEvent&)>;

    // Frames into `sink` (which must outlive the session) or to `callback`
    // (through a buffer of the session's own); without either, SetSink or
    // SetCallback before Stream().
    explicit CameraSession(SessionOptions options);
    CameraSession(SessionOptions options, FrameSink& sink);
    CameraSession(SessionOptions options, FrameStream::Callback callback);
    ~CameraSession();  // Close()
    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;

    // Set before Start(). Called on the supervisor thread (Opened of the
    // first open: on the thread that calls Start()).
    void OnEvent(Listener listener);

    // Opens the camera, runs `prepare`, starts the frames and the
    // supervisor. On failure (and no waitForCamera), nothing runs and
    // `failure` says why.
    bool Start(OpenFailure& failure);
    // Start() in two steps, for a front end that needs the open camera
    // (Command, WithCamera, width) to set up its sink: Open() opens and
    // prepares the first camera; Stream() starts the frames and the
    // supervisor. A failed Stream() leaves the camera closed.
    bool Open(OpenFailure& failure);
    bool Stream(OpenFailure& failure);
    void SetSink(FrameSink& sink);
    void SetCallback(FrameStream::Callback callback);

    // Stops the supervisor and the frames, closes the camera and reports
    // Closed (once). No sink call and no event follows its return.
    void Close();

    // Blocks until the session ended (Closed) or `timeout` passed; true when it ended.
    bool WaitEnded(std::chrono::milliseconds timeout);
    bool ended() const;
    // Why it ended: the last Lost, Stalled or Error event (kind Closed when
    // Close() ended it).
    SessionEvent endReason() const;

    Counters counters() const;
    // The camera as last opened (the index and the nodes change on a replug).
    CameraInfo info() const;
    // Whether the stream carries temperatures (fixed by the first open).
    bool withTemps() const;
    // The frame size of the first open.
    int width() const;
    int height() const;
    // The newest sign that the session makes progress: a frame, or a search
    // for the camera while it is away. A watchdog feeds on this.
    FrameClock::time_point progress() const;
    // The oldest progress() among the sessions of this process that run
    // (started and not closed), or now when none runs: a service's watchdog
    // that must stop while any of its cameras hangs.
    static FrameClock::time_point OldestProgress();

    // Runs work(handle) while no other command runs on the camera;
    // OZL_USB_INVALID_PARAM (without running it) while the camera is away.
    int Command(const std::function<int(unsigned long handle)>& work);
    // A shutter correction now: ShutterStart, the command (it returns when
    // the camera is done), ShutterEnd, on the calling thread. Frames meanwhile
    // are flagged `shutter`. Returns the command's result (INVALID_PARAM
    // while the camera is away).
    int CorrectShutter();
    // While held, the policy's corrections wait (ShutterPolicy::duringAlarm
    // overrides). Front ends hold them while an alarm is raised.
    void HoldCorrections(bool hold);

    // The open camera itself, for front ends that need more than commands;
    // work is not run while the camera is away (false then).
    bool WithCamera(const std::function<void(Camera& camera)>& work);

private:
    class Relay;
    enum class Opening { Opened, NotThere, Unfit };

    // Opens and prepares the camera; Unfit when it opened but cannot go on
    // (`failure` says why), NotThere when it may be tried again.
    Opening OpenCamera(const CameraChoice& choice, bool reopened, OpenFailure& failure);
    // Starts the frames of the open camera (closed again on failure).
    Opening StartFrames(OpenFailure& failure);
    Opening OpenAndStream(const CameraChoice& choice, bool reopened, OpenFailure& failure);
    uint64_t nextSequence() const;
    void CloseCamera();
    void Supervise();
    // Starts the supervisor thread and counts the session among those that run.
    void StartSupervisor();
    // Supervisor: the camera counts as gone; false when the session ended.
    bool HandleLoss(SessionEvent::Kind why);
    // Supervisor: searches until the camera opens (true) or the session ends.
    bool WaitForCamera(const CameraChoice& choice);
    bool KeepWaiting();
    // Read thread: a frame reached the sink.
    void NoteFrame(const FrameRef& frame);
    // Read thread: the frames show the camera's own correction begin or end.
    void NoteSeenShutter(bool start, FrameClock::time_point at);
    // Supervisor: says the corrections the frames showed, and runs the policy.
    void ReportSeenShutters();
    void RunPolicy();
    // The FPA temperature in degrees, NaN when the camera does not say.
    double ReadFpa();
    void EmitShutter(SessionEvent::Kind kind, bool commanded, double fpa, FrameClock::time_point at, double seconds);
    // A correction ended at `at`: counted, settling begins.
    void NoteCorrectionEnd(bool commanded, FrameClock::time_point at, double fpa);
    SessionEvent Emit(SessionEvent::Kind kind, std::string message, double gap = 0);
    // Completes `event` with the camera and the next sequence number and tells the listener.
    void Tell(SessionEvent& event);
    // The session ends by itself: `why` with `message`, then Closed.
    void End(SessionEvent::Kind why, std::string message);

    const SessionOptions options_;
    std::unique_ptr<Relay> relay_;  // between the frame stream and the front end's sink
    Listener listener_;             // set before Start

    // Guards the camera and the stream against commands and the supervisor.
    mutable std::mutex cameraMutex_;
    std::unique_ptr<Camera> camera_;       // guarded by cameraMutex_
    std::unique_ptr<FrameStream> stream_;  // guarded by cameraMutex_

    mutable std::mutex stateMutex_;
    std::condition_variable changed_;
    // Guarded by stateMutex_.
    CameraInfo info_;
    bool withTemps_ = false;
    int width_ = 0;
    int height_ = 0;
    bool stopping_ = false;
    bool ended_ = false;
    bool closedReported_ = false;
    SessionEvent endReason_;  // set once, by End() or Close()
    Counters counters_;
    FrameClock::time_point awaySince_{};  // the last frame before the current gap; epoch when streaming
    FrameClock::time_point openedAt_{};   // the stall limit counts from this or the newest frame
    FrameClock::time_point searchedAt_{};
    uint64_t nextSequence_ = 1;
    struct SeenShutter {
        bool start;
        FrameClock::time_point at;
    };
    std::vector<SeenShutter> seenShutters_;      // from the read thread to the supervisor
    FrameClock::time_point seenShutterStart_{};  // supervisor: of the correction the frames show
    double lastFpa_ = 0;                         // the newest FPA reading; NaN before the first
    double fpaAtCorrection_ = 0;                 // NaN until known
    FrameClock::time_point fpaReadAt_{};         // the policy's last FPA reading
    bool holdCorrections_ = false;
    // The window counters_.recentFps is measured over: its first frame's
    // arrival and the frames from it on.
    FrameClock::time_point rateFrom_{};
    uint64_t rateFrames_ = 0;
    bool rateWhole_ = false;  // a whole window measured since the camera came

    std::mutex shutterMutex_;  // one correction at a time
    std::thread supervisor_;
};

}  // namespace vivaclient
