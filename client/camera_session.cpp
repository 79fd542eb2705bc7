#include <vivaclient/camera_session.h>

#include <VIVAZUZOZ.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <set>

namespace vivaclient {

namespace {

constexpr auto kWatchEvery = std::chrono::milliseconds(100);
constexpr auto kWaitStep = std::chrono::milliseconds(50);

// The camera's own corrections as the frames show them. A flat picture is
// never a scene: its frames are flagged at once, and a correction counted
// once it lasts kClosedFrames. A picture that stops (identical image planes)
// is a closed shutter only when it moved in each of the kLiveFrames frames
// before (a real detector's noise or a moving scene does), so a still
// recording replayed or a time-lapse is not taken for one; it is flagged from
// its kClosedFrames-th frame, and a stop longer than kLongestCorrection is a
// still picture after all.
constexpr int kClosedFrames = 3;
constexpr int kLiveFrames = 8;
constexpr auto kLongestCorrection = std::chrono::seconds(3);

double SecondsBetween(FrameClock::time_point from, FrameClock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

std::string Size(int width, int height)
{
    return std::to_string(width) + "x" + std::to_string(height);
}

}  // namespace

const char* EventName(SessionEvent::Kind kind)
{
    switch (kind) {
    case SessionEvent::Kind::Opened:
        return "opened";
    case SessionEvent::Kind::Lost:
        return "lost";
    case SessionEvent::Kind::Stalled:
        return "stalled";
    case SessionEvent::Kind::Back:
        return "back";
    case SessionEvent::Kind::Error:
        return "error";
    case SessionEvent::Kind::Closed:
        return "closed";
    case SessionEvent::Kind::ShutterStart:
        return "shutter-start";
    case SessionEvent::Kind::ShutterEnd:
        return "shutter-end";
    }
    return "unknown";
}

void EventQueue::Push(const SessionEvent& event)
{
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
}

std::vector<SessionEvent> EventQueue::TakeAll()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SessionEvent> taken;
    taken.swap(events_);
    return taken;
}

// Stands between the frame stream and the front end's sink: counts the
// frames, notes the newest one for the stall limit, marks the first frame
// after a gap, and flags the frames of shutter corrections. Every call but
// MarkGap, SetCommanded and Settle runs on the library's read thread.
class CameraSession::Relay : public FrameSink {
public:
    Relay(CameraSession& session, FrameSink* sink, FrameStream::Callback callback)
        : session_(session), sink_(sink), callback_(std::move(callback))
    {
    }

    // Before any frame stream runs.
    void SetSink(FrameSink* sink, FrameStream::Callback callback)
    {
        sink_ = sink;
        callback_ = std::move(callback);
    }

    // Supervisor, while no stream runs: the next frame completed is after a gap.
    void MarkGap() { gapPending_.store(true); }
    // A commanded correction runs: its frames are flagged, and not taken for
    // the camera's own.
    void SetCommanded(bool on) { commanded_.store(on); }
    // A correction ended at `at`: frames are settling for the settle time.
    void Settle(FrameClock::time_point at)
    {
        lastCorrection_.store(at.time_since_epoch().count());
        settleUntil_.store((at + session_.options_.shutter.settleTime).time_since_epoch().count());
    }

    uint16_t* BeginFrame(int width, int height, uint64_t sequence, FrameClock::time_point arrival) override
    {
        if (sink_)
            return sink_->BeginFrame(width, height, sequence, arrival);
        image_.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
        return image_.data();
    }

    void CompleteFrame(const FrameRef& frame) override
    {
        FrameRef marked = frame;
        marked.afterGap = gapPending_.exchange(false);
        if (commanded_.load()) {
            marked.shutter = true;
            ForgetPicture();
        } else if (session_.options_.shutter.detect) {
            marked.shutter = Watch(frame);
        }
        marked.settling = !marked.shutter && frame.arrival.time_since_epoch().count() < settleUntil_.load();
        marked.lastCorrection = FrameClock::time_point(FrameClock::duration(lastCorrection_.load()));
        session_.NoteFrame(marked);
        if (sink_)
            sink_->CompleteFrame(marked);
        else
            callback_(marked);
    }

    void AbandonFrame() override
    {
        if (sink_)
            sink_->AbandonFrame();
    }

private:
    // Identical image planes are told apart from changing ones by a 128-bit
    // fingerprint of the plane rather than a copy of it: one read of the
    // frame instead of a read, a compare and a copy. Four independent lanes
    // of multiply-and-rotate mixing keep the processor busy; two planes that
    // differ in any sample give the same fingerprint with a chance of about
    // 2^-128, far below a frame's chance of being corrupt on the wire.
    struct Fingerprint {
        uint64_t a = 0;
        uint64_t b = 0;
        bool operator==(const Fingerprint& other) const { return a == other.a && b == other.b; }
    };

    static uint64_t Mix(uint64_t lane, uint64_t word)
    {
        lane ^= word * 0x9E3779B97F4A7C15ull;
        lane = (lane << 29) | (lane >> 35);
        return lane * 0xBF58476D1CE4E5B9ull;
    }

    static Fingerprint FingerprintOf(const FrameRef& frame)
    {
        const size_t bytes = frame.samples() * sizeof(uint16_t);
        const auto* data = reinterpret_cast<const unsigned char*>(frame.image);
        uint64_t lanes[4] = {1, 2, 3, 4};
        size_t at = 0;
        for (; at + 32 <= bytes; at += 32) {
            uint64_t words[4];
            std::memcpy(words, data + at, sizeof(words));
            for (int i = 0; i < 4; ++i)
                lanes[i] = Mix(lanes[i], words[i]);
        }
        uint64_t tail = bytes;
        for (; at < bytes; ++at)
            tail = (tail << 8) ^ data[at] ^ (tail >> 56);
        lanes[0] = Mix(lanes[0], tail);
        return {Mix(lanes[0], lanes[1]) ^ Mix(lanes[2] + 1, lanes[3]),
                Mix(lanes[1] + 7, lanes[2]) ^ Mix(lanes[3] + 5, lanes[0])};
    }

    static bool Flat(const FrameRef& frame)
    {
        const size_t n = frame.samples();
        if (n < 2)
            return false;
        if (frame.temps)
            return std::all_of(frame.temps, frame.temps + n, [&](int16_t t) { return t == frame.temps[0]; });
        return std::all_of(frame.image, frame.image + n, [&](uint16_t v) { return v == frame.image[0]; });
    }

    void ForgetPicture()
    {
        previousValid_ = false;
        movingRun_ = 0;
        stillRun_ = 0;
        flatRun_ = 0;
        if (closed_)
            session_.NoteSeenShutter(false, FrameClock::now());
        closed_ = false;
    }

    // Whether the frame shows the closed shutter; tells the session when a
    // correction of the camera's own begins and ends.
    bool Watch(const FrameRef& frame)
    {
        const Fingerprint print = FingerprintOf(frame);
        const bool same = previousValid_ && print == previous_;
        const bool flat = Flat(frame);
        previous_ = print;
        previousValid_ = true;
        flatRun_ = flat ? flatRun_ + 1 : 0;
        if (same) {
            if (stillRun_++ == 0)
                movedBefore_ = movingRun_ >= kLiveFrames;
            movingRun_ = 0;
        } else {
            stillRun_ = 0;
            movingRun_ = std::min(movingRun_ + 1, kLiveFrames);
        }
        const bool frozen = stillRun_ + 1 >= kClosedFrames && movedBefore_;
        if (!closed_ && (flatRun_ >= kClosedFrames || frozen)) {
            closed_ = true;
            closedAt_ = frame.arrival;
            session_.NoteSeenShutter(true, frame.arrival);
        } else if (closed_ && !flat && (!same || frame.arrival - closedAt_ > kLongestCorrection)) {
            closed_ = false;
            movedBefore_ = false;  // a still picture stays unflagged until it moves again
            Settle(frame.arrival);
            session_.NoteSeenShutter(false, frame.arrival);
            return false;
        }
        return flat || closed_;
    }

    CameraSession& session_;
    // Set before the first frame stream starts.
    FrameSink* sink_;  // null: frames go to callback_ through image_
    FrameStream::Callback callback_;
    std::vector<uint16_t> image_;  // read thread only
    std::atomic<bool> gapPending_{false};
    std::atomic<bool> commanded_{false};
    std::atomic<FrameClock::rep> settleUntil_{0};
    std::atomic<FrameClock::rep> lastCorrection_{0};
    // Read thread only: the picture watch.
    Fingerprint previous_{};      // of the last image plane
    bool previousValid_ = false;  // previous_ is a picture's
    int movingRun_ = 0;           // frames in a row that differed from the one before (at most kLiveFrames)
    int stillRun_ = 0;            // frames in a row identical to the one before
    int flatRun_ = 0;
    bool movedBefore_ = false;  // the picture moved for kLiveFrames before the current still run
    bool closed_ = false;       // a correction of the camera's own is under way
    FrameClock::time_point closedAt_;
};

CameraSession::CameraSession(SessionOptions options)
    : options_(std::move(options)), relay_(std::make_unique<Relay>(*this, nullptr, [](const FrameRef&) {}))
{
    fpaAtCorrection_ = lastFpa_ = std::numeric_limits<double>::quiet_NaN();
}

CameraSession::CameraSession(SessionOptions options, FrameSink& sink)
    : options_(std::move(options)), relay_(std::make_unique<Relay>(*this, &sink, nullptr))
{
    fpaAtCorrection_ = lastFpa_ = std::numeric_limits<double>::quiet_NaN();
}

CameraSession::CameraSession(SessionOptions options, FrameStream::Callback callback)
    : options_(std::move(options)), relay_(std::make_unique<Relay>(*this, nullptr, std::move(callback)))
{
    fpaAtCorrection_ = lastFpa_ = std::numeric_limits<double>::quiet_NaN();
}

CameraSession::~CameraSession()
{
    Close();
}

void CameraSession::OnEvent(Listener listener)
{
    listener_ = std::move(listener);
}

bool CameraSession::Start(OpenFailure& failure)
{
    const Opening opening = OpenCamera(options_.choice, false, failure);
    if (opening == Opening::Opened)
        return Stream(failure);
    if (opening == Opening::Unfit || !options_.reconnect || !options_.waitForCamera)
        return false;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        awaySince_ = FrameClock::now();
    }
    StartSupervisor();
    return true;
}

bool CameraSession::Open(OpenFailure& failure)
{
    return OpenCamera(options_.choice, false, failure) == Opening::Opened;
}

bool CameraSession::Stream(OpenFailure& failure)
{
    if (options_.shutter.atStart)
        CorrectShutter();
    if (StartFrames(failure) != Opening::Opened)
        return false;
    StartSupervisor();
    return true;
}

void CameraSession::SetSink(FrameSink& sink)
{
    relay_->SetSink(&sink, nullptr);
}

void CameraSession::SetCallback(FrameStream::Callback callback)
{
    relay_->SetSink(nullptr, std::move(callback));
}

namespace {

// The sessions that run in this process, for OldestProgress().
struct RunningSessions {
    std::mutex mutex;
    std::set<const CameraSession*> sessions;  // guarded by mutex
};

RunningSessions& Running()
{
    static auto* running = new RunningSessions;  // lives to exit: sessions may close in exit handlers
    return *running;
}

}  // namespace

void CameraSession::StartSupervisor()
{
    supervisor_ = std::thread([this] { Supervise(); });
    std::lock_guard<std::mutex> lock(Running().mutex);
    Running().sessions.insert(this);
}

FrameClock::time_point CameraSession::OldestProgress()
{
    FrameClock::time_point oldest = FrameClock::now();
    std::lock_guard<std::mutex> lock(Running().mutex);
    for (const CameraSession* session : Running().sessions)
        oldest = std::min(oldest, session->progress());
    return oldest;
}

void CameraSession::Close()
{
    {
        std::lock_guard<std::mutex> lock(Running().mutex);
        Running().sessions.erase(this);
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (supervisor_.joinable())
        supervisor_.join();
    CloseCamera();
    bool report;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        report = !closedReported_;
        closedReported_ = true;
    }
    if (report) {
        const SessionEvent closed = Emit(SessionEvent::Kind::Closed, "the camera was closed");
        std::lock_guard<std::mutex> lock(stateMutex_);
        endReason_ = closed;
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        ended_ = true;
    }
    changed_.notify_all();
}

bool CameraSession::WaitEnded(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(stateMutex_);
    return changed_.wait_for(lock, timeout, [this] { return ended_; });
}

bool CameraSession::ended() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return ended_;
}

SessionEvent CameraSession::endReason() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return endReason_;
}

CameraSession::Counters CameraSession::counters() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    Counters c = counters_;
    if (awaySince_ != FrameClock::time_point{}) {
        c.secondsAway += std::chrono::duration<double>(FrameClock::now() - awaySince_).count();
        c.recentFps = 0;
    }
    return c;
}

CameraInfo CameraSession::info() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return info_;
}

bool CameraSession::withTemps() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return withTemps_;
}

int CameraSession::width() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return width_;
}

int CameraSession::height() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return height_;
}

FrameClock::time_point CameraSession::progress() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return std::max({counters_.lastFrame, openedAt_, searchedAt_});
}

int CameraSession::Command(const std::function<int(unsigned long)>& work)
{
    std::lock_guard<std::mutex> hold(cameraMutex_);
    if (!camera_ || camera_->lost())
        return OZL_USB_INVALID_PARAM;
    return camera_->Command(work);
}

bool CameraSession::WithCamera(const std::function<void(Camera&)>& work)
{
    std::lock_guard<std::mutex> hold(cameraMutex_);
    if (!camera_ || camera_->lost())
        return false;
    work(*camera_);
    return true;
}

void CameraSession::NoteFrame(const FrameRef& frame)
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    ++counters_.frames;
    counters_.shutterFrames += frame.shutter ? 1 : 0;
    counters_.settlingFrames += frame.settling ? 1 : 0;
    counters_.lastFrame = frame.arrival;
    nextSequence_ = frame.sequence + 1;
    // The rate: over a window of a second, and until the first window is
    // whole, over the frames so far.
    if (rateFrames_++ == 0)
        rateFrom_ = frame.arrival;
    const double span = std::chrono::duration<double>(frame.arrival - rateFrom_).count();
    if (span > 0 && (span >= 1.0 || !rateWhole_))
        counters_.recentFps = static_cast<double>(rateFrames_ - 1) / span;
    if (span >= 1.0) {
        rateWhole_ = true;
        rateFrom_ = frame.arrival;
        rateFrames_ = 1;
    }
}

void CameraSession::NoteSeenShutter(bool start, FrameClock::time_point at)
{
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        seenShutters_.push_back(SeenShutter{start, at});
    }
    changed_.notify_all();
}

void CameraSession::HoldCorrections(bool hold)
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    holdCorrections_ = hold;
}

double CameraSession::ReadFpa()
{
    float fpa = 0;
    const int result = Command([&](unsigned long handle) { return OZL_USB_GetFPATemp(handle, &fpa); });
    if (result != OZL_USB_SUCCESS)
        return std::numeric_limits<double>::quiet_NaN();
    std::lock_guard<std::mutex> lock(stateMutex_);
    lastFpa_ = fpa;
    return fpa;
}

void CameraSession::EmitShutter(SessionEvent::Kind kind, bool commanded, double fpa, FrameClock::time_point at,
                                double seconds)
{
    char text[64];
    std::snprintf(text, sizeof text, ", FPA %.2f C", fpa);
    std::string message = std::string(commanded ? "shutter correction" : "the camera's own shutter correction") +
                          (kind == SessionEvent::Kind::ShutterStart ? " began"
                                                                    : " ended after " + Seconds(seconds) + " s");
    if (!std::isnan(fpa))
        message += text;
    SessionEvent event;
    event.kind = kind;
    event.when = std::chrono::system_clock::now() -
                 std::chrono::duration_cast<std::chrono::system_clock::duration>(FrameClock::now() - at);
    event.at = at;
    event.message = std::move(message);
    event.commanded = commanded;
    event.fpaTemp = fpa;
    event.shutterSeconds = seconds;
    Tell(event);
}

void CameraSession::NoteCorrectionEnd(bool commanded, FrameClock::time_point at, double fpa)
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    ++counters_.corrections;
    counters_.commandedCorrections += commanded ? 1 : 0;
    counters_.lastCorrection = at;
    fpaAtCorrection_ = fpa;
    fpaReadAt_ = at;
}

int CameraSession::CorrectShutter()
{
    std::lock_guard<std::mutex> one(shutterMutex_);
    {
        std::lock_guard<std::mutex> hold(cameraMutex_);
        if (!camera_ || camera_->lost())
            return OZL_USB_INVALID_PARAM;
    }
    // The command goes first: a reading before it would hold it up, and a
    // caller may be waiting on the command port for its reply alone. The
    // start says the newest FPA temperature known.
    const FrameClock::time_point start = FrameClock::now();
    double lastFpa;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        lastFpa = lastFpa_;
    }
    EmitShutter(SessionEvent::Kind::ShutterStart, true, lastFpa, start, 0);
    relay_->SetCommanded(true);
    const int result = Command([](unsigned long handle) { return OZL_USB_CorrectShutter(handle); });
    const FrameClock::time_point end = FrameClock::now();
    relay_->Settle(end);
    relay_->SetCommanded(false);
    const double fpa = ReadFpa();
    NoteCorrectionEnd(true, end, fpa);
    EmitShutter(SessionEvent::Kind::ShutterEnd, true, fpa, end, SecondsBetween(start, end));
    return result;
}

void CameraSession::ReportSeenShutters()
{
    std::vector<SeenShutter> seen;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        seen.swap(seenShutters_);
    }
    for (const SeenShutter& s : seen) {
        const double fpa = ReadFpa();
        if (s.start) {
            seenShutterStart_ = s.at;
            EmitShutter(SessionEvent::Kind::ShutterStart, false, fpa, s.at, 0);
        } else {
            NoteCorrectionEnd(false, s.at, fpa);
            EmitShutter(SessionEvent::Kind::ShutterEnd, false, fpa, s.at, SecondsBetween(seenShutterStart_, s.at));
        }
    }
}

void CameraSession::RunPolicy()
{
    const bool byTime = options_.shutter.every.count() > 0;
    const bool byDrift = options_.shutter.onDrift > 0;
    if (!byTime && !byDrift)
        return;
    const FrameClock::time_point now = FrameClock::now();
    FrameClock::time_point since;
    bool held, readFpa;
    double baseline;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        since = std::max(counters_.lastCorrection, openedAt_);
        held = holdCorrections_ && !options_.shutter.duringAlarm;
        readFpa = byDrift && now - std::max(fpaReadAt_, openedAt_) >= options_.shutter.driftCheckEvery;
        baseline = fpaAtCorrection_;
    }
    bool due = byTime && now - since >= options_.shutter.every;
    if (readFpa) {
        // Drift counts from a correction: before the first one the picture
        // has drifted by an unknown amount since the camera's, so one is due.
        const double fpa = ReadFpa();
        std::lock_guard<std::mutex> lock(stateMutex_);
        fpaReadAt_ = now;
        due = due || std::isnan(baseline) || std::fabs(fpa - baseline) >= options_.shutter.onDrift;
    }
    if (due && !held)
        CorrectShutter();
}

CameraSession::Opening CameraSession::OpenCamera(const CameraChoice& choice, bool reopened, OpenFailure& failure)
{
    std::unique_ptr<Camera> camera = Camera::Open(choice, failure);
    if (!camera)
        return Opening::NotThere;
    if (options_.prepare) {
        if (std::string error = options_.prepare(*camera, reopened); !error.empty()) {
            failure = OpenFailure{Call{"OZL_USB_OpenDev", OZL_USB_FAILURE}, error, false};
            return Opening::Unfit;
        }
    }
    int width = 0, height = 0;
    OZL_USB_GetFPASize(camera->handle(), &width, &height);
    bool temps = false;
    if (const Call probe = camera->ProbeTemperatures(temps); !probe.ok()) {
        failure = OpenFailure{probe, DescribeFailure(probe), false};
        return Opening::NotThere;
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (reopened && (width != width_ || height != height_)) {
            failure = OpenFailure{Call{"OZL_USB_GetFPASize", OZL_USB_FAILURE},
                                  "the camera came back with frames of " + Size(width, height) + ", not the " +
                                      Size(width_, height_) + " it had",
                                  false};
            return Opening::Unfit;
        }
        if (reopened && temps != withTemps_) {
            failure = OpenFailure{Call{"OZL_USB_StartPullTemp", OZL_USB_FAILURE},
                                  temps ? "the camera came back with temperatures in its stream, which it had not"
                                        : "the camera came back without temperatures in its stream",
                                  false};
            return Opening::Unfit;
        }
        info_ = camera->info();
        withTemps_ = temps;
        width_ = width;
        height_ = height;
    }
    std::lock_guard<std::mutex> hold(cameraMutex_);
    camera_ = std::move(camera);
    return Opening::Opened;
}

CameraSession::Opening CameraSession::StartFrames(OpenFailure& failure)
{
    std::unique_lock<std::mutex> hold(cameraMutex_);
    auto stream = std::make_unique<FrameStream>(camera_->handle(), *relay_);
    if (const Call start = stream->Start(nextSequence()); !start.ok()) {
        failure = OpenFailure{start, DescribeFailure(start), false};
        stream.reset();
        camera_.reset();
        // A camera that fails to stream right after opening is treated as
        // one that is not there yet: the next search tries it again.
        return Opening::NotThere;
    }
    stream_ = std::move(stream);
    hold.unlock();
    std::string what;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        openedAt_ = FrameClock::now();
        ++counters_.opens;
        counters_.live = true;
        what = "camera " + std::to_string(info_.index) + " (" + info_.name + ") opened: " + Size(width_, height_) +
               (withTemps_ ? ", image and temperature" : ", image only");
    }
    Emit(SessionEvent::Kind::Opened, what);
    return Opening::Opened;
}

CameraSession::Opening CameraSession::OpenAndStream(const CameraChoice& choice, bool reopened, OpenFailure& failure)
{
    const Opening opening = OpenCamera(choice, reopened, failure);
    return opening == Opening::Opened ? StartFrames(failure) : opening;
}

uint64_t CameraSession::nextSequence() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return nextSequence_;
}

void CameraSession::CloseCamera()
{
    std::unique_ptr<FrameStream> stream;
    std::unique_ptr<Camera> camera;
    {
        std::lock_guard<std::mutex> hold(cameraMutex_);
        stream = std::move(stream_);
        camera = std::move(camera_);
        // Stopped before the camera closes: no callback runs once this returns.
        stream.reset();
        camera.reset();
    }
    std::lock_guard<std::mutex> lock(stateMutex_);
    counters_.live = false;
    counters_.recentFps = 0;
    rateFrames_ = 0;
    rateWhole_ = false;
}

void CameraSession::Supervise()
{
    bool waiting;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        waiting = awaySince_ != FrameClock::time_point{};
    }
    if (waiting && !WaitForCamera(options_.choice))
        return;
    for (;;) {
        FrameClock::time_point lastSign;
        {
            std::unique_lock<std::mutex> lock(stateMutex_);
            changed_.wait_for(lock, kWatchEvery, [this] { return stopping_ || !seenShutters_.empty(); });
            if (stopping_)
                return;
        }
        ReportSeenShutters();
        RunPolicy();
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            lastSign = std::max({counters_.lastFrame, openedAt_, counters_.lastCorrection});
        }
        bool lost;
        {
            std::lock_guard<std::mutex> hold(cameraMutex_);
            lost = camera_ && camera_->lost();
        }
        const bool stalled = FrameClock::now() - lastSign >= options_.stallLimit;
        if (!lost && !stalled)
            continue;
        if (!HandleLoss(lost ? SessionEvent::Kind::Lost : SessionEvent::Kind::Stalled))
            return;
    }
}

bool CameraSession::HandleLoss(SessionEvent::Kind why)
{
    std::string message;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        awaySince_ = std::max(counters_.lastFrame, openedAt_);
        if (why == SessionEvent::Kind::Lost) {
            ++counters_.losses;
            message = "the camera was lost (unplugged or no longer answering)";
        } else {
            ++counters_.stalls;
            message = "no frame from the camera for " +
                      Seconds(std::chrono::duration<double>(options_.stallLimit).count()) + " s";
        }
    }
    CloseCamera();
    if (!options_.reconnect) {
        End(why, message);
        return false;
    }
    const CameraInfo was = info();
    Emit(why, message + "; waiting for it to come back to USB port " + was.identity());
    CameraChoice choice;
    choice.identity = was.identity();
    return WaitForCamera(choice);
}

bool CameraSession::WaitForCamera(const CameraChoice& choice)
{
    const bool first = [this] {
        std::lock_guard<std::mutex> lock(stateMutex_);
        return counters_.opens == 0;
    }();
    if (!first)
        relay_->MarkGap();
    while (KeepWaiting()) {
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            searchedAt_ = FrameClock::now();
        }
        OpenFailure failure;
        const Opening opening = OpenAndStream(choice, !first, failure);
        if (opening == Opening::Opened) {
            double gap;
            {
                std::lock_guard<std::mutex> lock(stateMutex_);
                gap = std::chrono::duration<double>(FrameClock::now() - awaySince_).count();
                awaySince_ = FrameClock::time_point{};
                counters_.secondsAway += gap;
                if (!first) {
                    ++counters_.resumes;
                    counters_.longestGap = std::max(counters_.longestGap, gap);
                }
            }
            if (!first)
                Emit(SessionEvent::Kind::Back, "the camera is back after " + Seconds(gap) + " s", gap);
            return true;
        }
        if (opening == Opening::Unfit) {
            End(SessionEvent::Kind::Error, failure.message);
            return false;
        }
        // Wait in short steps, so a Close() is seen soon.
        const auto until = FrameClock::now() + options_.searchEvery;
        while (FrameClock::now() < until && KeepWaiting())
            std::this_thread::sleep_for(kWaitStep);
    }
    return false;
}

bool CameraSession::KeepWaiting()
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return !stopping_;
}

SessionEvent CameraSession::Emit(SessionEvent::Kind kind, std::string message, double gap)
{
    SessionEvent event;
    event.kind = kind;
    event.when = std::chrono::system_clock::now();
    event.at = FrameClock::now();
    event.message = std::move(message);
    event.gapSeconds = gap;
    Tell(event);
    return event;
}

void CameraSession::Tell(SessionEvent& event)
{
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        event.camera = info_;
        event.sequence = nextSequence_;
    }
    if (listener_)
        listener_(event);
}

void CameraSession::End(SessionEvent::Kind why, std::string message)
{
    const SessionEvent reason = Emit(why, std::move(message));
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        endReason_ = reason;
        closedReported_ = true;
    }
    Emit(SessionEvent::Kind::Closed, "the camera was closed");
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        ended_ = true;
    }
    changed_.notify_all();
}

}  // namespace vivaclient
