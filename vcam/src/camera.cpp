// Camera - the virtual cameras: their state, the frame producer and the
// command-port responder threads, and the test API.
#include "emulator.h"
#include "port.h"
#include "replay.h"
#include "state_file.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace vcam {
namespace detail {

namespace {

std::mutex g_lock;    // the emulator's one lock (constant-initialised: usable before any constructor)
int g_nextVideo = 0;  // guarded by g_lock

constexpr int kStaleRxMs = 200;  // an incomplete request older than this loses its first byte

Clock::duration Seconds(double s)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

std::mutex& Lock()
{
    return g_lock;
}

double MonotonicSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::vector<std::unique_ptr<Camera::State>>& Cameras()
{
    static auto* cams = new std::vector<std::unique_ptr<Camera::State>>;  // guarded by Lock(); lives to exit
    return *cams;
}

int NextVideoNumber()
{
    return g_nextVideo++;
}

}  // namespace detail

using namespace detail;

Camera::State::State(const CameraSetup& s, int ord) : setup(s), ordinal(ord)
{
    if (!setup.replayFile.empty()) {
        std::string error;
        replay = ReplaySource::Open(setup.replayFile, setup.replayLoop, setup.replaySpeed, &error);
        if (replay) {
            setup.width = replay->layout().width;
            setup.height = replay->layout().height;
            setup.withTemp = replay->layout().withTemp;
            if (replay->fps() > 0)
                setup.fps = std::min(replay->fps(), 1000.0);
            replay->ApplyTo(model);
        } else {
            std::fprintf(stderr, "vivazuzoz-vcam: %s\n", error.c_str());
        }
    }
    if (setup.width < 1)
        setup.width = 256;
    if (setup.height < 1)
        setup.height = 192;
    if (!(setup.fps > 0))
        setup.fps = 25.0;
    setup.captureNodes = std::max(setup.captureNodes, 0);
    setup.ttyNodes = std::max(setup.ttyNodes, 0);
    busnum = setup.busnum > 0 ? setup.busnum : 1 + ordinal % 3;
    devnum = setup.devnum > 0 ? setup.devnum : 2 + ordinal;
    setup.busnum = busnum;
    setup.devnum = devnum;
    hotObject = setup.hotObject;
    for (int i = 0; i < setup.captureNodes; ++i)
        captures.push_back(std::make_shared<VideoNode>(this, NextVideoNumber(), true));
    if (setup.metadataNode)
        metadata = std::make_shared<VideoNode>(this, NextVideoNumber(), false);
    for (int i = 0; i < setup.ttyNodes; ++i)
        ports.push_back(std::make_unique<Port>());
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    created = Clock::now();
    shutter = std::make_unique<ShutterModel>(setup, created);
}

Camera::State::~State()
{
    for (auto& n : captures)
        n->Remove();
    if (metadata)
        metadata->Remove();
    for (auto& n : retired)
        n->Remove();
    for (auto it = Mappings().begin(); it != Mappings().end();) {
        if (it->second.cam == this) {
            it = Mappings().erase(it);
            g_mappingCount.fetch_sub(1);
        } else {
            ++it;
        }
    }
    if (wakeFd >= 0)
        close(wakeFd);
}

Formula Camera::State::CurrentFormula() const
{
    const int code = std::clamp(model.tempLevelCode, 0, 3);
    return Formula{model.scale[code], model.offset[code]};
}

void Camera::State::UpdateModelLocked(const std::function<void(Model&)>& change)
{
    if (setup.stateFile.empty())
        change(model);
    else
        UpdateThroughStateFile(setup.stateFile, ordinal, model, change);
}

void Camera::State::WakeResponder() const
{
    const uint64_t one = 1;
    if (write(wakeFd, &one, sizeof one) < 0) {
        // The counter is saturated only if nobody read it for ages: the
        // responder is awake already.
    }
}

void Camera::State::UnplugLocked()
{
    if (unplugged)
        return;
    unplugged = true;
    for (auto& n : captures)
        n->Gone();
    if (metadata)
        metadata->Gone();
    producerCv.notify_all();
    WakeResponder();
}

Clock::time_point Camera::State::NextUnplug(Clock::time_point after) const
{
    if (setup.unplugAfter > 0 && after < created + Seconds(setup.unplugAfter))
        return created + Seconds(setup.unplugAfter);
    if (!(setup.unplugEvery > 0))
        return Clock::time_point::max();
    const Clock::time_point origin = setup.scheduleOrigin > 0 ? Clock::time_point(Seconds(setup.scheduleOrigin))
                                                              : created;
    const Clock::duration every = Seconds(setup.unplugEvery);
    const auto periods = after < origin ? 0 : (after - origin) / every;
    return origin + (periods + 1) * every;
}

void Camera::State::Start()
{
    producer = std::thread([this] { ProducerLoop(); });
    responder = std::thread([this] { ResponderLoop(); });
}

void Camera::State::Stop()
{
    {
        std::lock_guard<std::mutex> lk(Lock());
        stopping = true;
        producerCv.notify_all();
        WakeResponder();
    }
    if (producer.joinable())
        producer.join();
    if (responder.joinable())
        responder.join();
}

void Camera::State::ProducerLoop()
{
    std::unique_lock<std::mutex> lk(Lock());
    while (!stopping) {
        Clock::time_point due = Clock::time_point::max();
        for (auto& n : captures)
            if (n->streaming() && !n->gone())
                due = std::min(due, n->next());
        if (due == Clock::time_point::max()) {
            producerCv.wait(lk);
            continue;
        }
        if (Clock::now() < due) {
            // Absolute deadlines: the rate does not drift with the work done.
            producerCv.wait_until(lk, due);
            continue;
        }
        const Clock::time_point now = Clock::now();
        FollowHotObjectPeriodLocked(now);
        shutter->FollowTimer(now);
        for (auto& n : captures) {
            if (stopping)
                break;
            if (n->streaming() && !n->gone() && n->next() <= now)
                n->Produce(renderer, lk);
        }
    }
}

// Owned by the responder thread: the bytes received and not yet a frame,
// and the replies waiting for their time.
struct Camera::State::Responder {
    struct Pending {
        Clock::time_point when;
        std::vector<uint8_t> bytes;
    };
    std::deque<Pending> pending;  // in order of `when`
    std::vector<uint8_t> rx;
    Clock::time_point lastRx = Clock::now();
    Clock::time_point unplugAt;
    // Set while the camera is unplugged and replugAfter asks for its return.
    Clock::time_point replugAt = Clock::time_point::max();
    std::vector<pollfd> fds;  // the wake descriptor, then every port
    int answering = -1;       // the port that answers; the others are mute

    void Schedule(Clock::time_point when, std::vector<uint8_t> bytes)
    {
        auto it = std::upper_bound(pending.begin(), pending.end(), when,
                                   [](Clock::time_point t, const Pending& p) { return t < p.when; });
        pending.insert(it, Pending{when, std::move(bytes)});
    }

    // Until the next scheduled moment (-1: none), for poll.
    int TimeoutMs() const
    {
        Clock::time_point wake = std::min(unplugAt, replugAt);
        if (!pending.empty())
            wake = std::min(wake, pending.front().when);
        if (!rx.empty())
            wake = std::min(wake, lastRx + std::chrono::milliseconds(kStaleRxMs));
        if (wake == Clock::time_point::max())
            return -1;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count();
        return static_cast<int>(std::clamp<long long>(ms + 1, 0, 60000));
    }

    // Reads everything that arrived (before the lock is taken); true when
    // the answering port sent something.
    bool ReadPorts()
    {
        uint64_t count;
        while (read(fds[0].fd, &count, sizeof count) > 0) {
        }
        bool received = false;
        for (size_t i = 1; i < fds.size(); ++i) {
            uint8_t buf[512];
            ssize_t n;
            while ((n = read(fds[i].fd, buf, sizeof buf)) > 0) {
                if (fds[i].fd != answering)
                    continue;
                rx.insert(rx.end(), buf, buf + n);
                received = true;
            }
        }
        return received;
    }

    // Writes the replies whose time has come (without the lock).
    void WriteDue()
    {
        while (answering >= 0 && !pending.empty() && pending.front().when <= Clock::now()) {
            // One write per chunk: a reader sees a reply whole or not at all.
            const std::vector<uint8_t>& b = pending.front().bytes;
            if (write(answering, b.data(), b.size()) < 0) {
                // A full input queue drops the reply, as a real line would.
            }
            pending.pop_front();
        }
    }
};

void Camera::State::ResponderLoop()
{
    Responder r;
    r.unplugAt = NextUnplug(created);
    r.fds.push_back({wakeFd, POLLIN, 0});
    for (auto& p : ports)
        if (p->ok())
            r.fds.push_back({p->master(), POLLIN, 0});
    r.answering = ports.empty() || !ports[0]->ok() ? -1 : ports[0]->master();

    for (;;) {
        for (auto& f : r.fds)
            f.revents = 0;
        if (poll(r.fds.data(), r.fds.size(), r.TimeoutMs()) < 0 && errno != EINTR)
            break;
        const bool received = r.ReadPorts();
        const Clock::time_point now = Clock::now();
        if (received)
            r.lastRx = now;

        std::unique_lock<std::mutex> lk(Lock());
        if (stopping)
            break;
        if (FollowPlugScheduleLocked(r, now)) {
            // Gone from the bus: nothing is heard or said any more.
            r.rx.clear();
            r.pending.clear();
            injected.clear();
            continue;
        }
        if (!r.rx.empty() && !received && now - r.lastRx >= std::chrono::milliseconds(kStaleRxMs)) {
            r.rx.erase(r.rx.begin());
            r.lastRx = now;
        }
        AnswerRequestsLocked(r, now);
        lk.unlock();
        r.WriteDue();
    }
}

bool Camera::State::FollowPlugScheduleLocked(Responder& r, Clock::time_point now)
{
    if (now >= r.unplugAt) {
        UnplugLocked();
        r.unplugAt = NextUnplug(now);  // unplugAfter once; unplugEvery again and again
    }
    if (!unplugged) {
        r.replugAt = Clock::time_point::max();  // back already (Replug), or never gone
    } else if (setup.replugAfter > 0) {
        // Counted from the moment the unplug woke this thread.
        if (r.replugAt == Clock::time_point::max()) {
            r.replugAt = now + Seconds(setup.replugAfter);
        } else if (now >= r.replugAt) {
            ReplugLocked();
            r.replugAt = Clock::time_point::max();
        }
    }
    return unplugged;
}

void Camera::State::AnswerRequestsLocked(Responder& r, Clock::time_point now)
{
    for (auto& frame : TakeFrames(r.rx)) {
        requests.push_back(Request{frame, MonotonicSeconds()});
        std::vector<uint8_t> reply;
        bool answered = false;
        int shutters = 0;
        UpdateModelLocked([&](Model& m) {
            if (shutter->active())
                m.fpaTemp = shutter->FpaHundredths(now);
            shutters = m.shutterCount;
            answered = Answer(frame, m, &reply);
            shutters = m.shutterCount - shutters;
        });
        if (!answered)
            continue;
        // A correction answers when it is over.
        int busyMs = 0;
        if (shutters > 0 && shutter->active()) {
            shutter->Begin(now);
            busyMs = setup.shutterMs;
        }
        for (auto& chunk : ApplyFault(std::move(reply), setup.portFault, setup.portFaultMs))
            r.Schedule(now + std::chrono::milliseconds(chunk.delayMs + busyMs), std::move(chunk.bytes));
    }
    while (!injected.empty()) {
        r.Schedule(now, std::move(injected.front()));
        injected.pop_front();
    }
}

// ---------------------------------------------------------------- API

namespace {

template <typename F>
auto Locked(F f)
{
    std::lock_guard<std::mutex> lk(Lock());
    return f();
}

}  // namespace

int Camera::busnum() const
{
    return state_->busnum;
}
// The address and the nodes change on a replug: read under the lock.
int Camera::devnum() const
{
    return Locked([this] { return state_->devnum; });
}

std::string Camera::videoPath(int i) const
{
    return Locked([&]() -> std::string {
        if (i < 0 || i >= static_cast<int>(state_->captures.size()))
            return "";
        return state_->captures[static_cast<size_t>(i)]->path();
    });
}

std::string Camera::metadataPath() const
{
    return Locked([this] { return state_->metadata ? state_->metadata->path() : std::string(); });
}

std::string Camera::serialPath(int i) const
{
    if (i < 0 || i >= static_cast<int>(state_->ports.size()))
        return "";
    return state_->ports[static_cast<size_t>(i)]->path();
}

CameraSetup Camera::setup() const
{
    return Locked([this] { return state_->setup; });
}

void Camera::Unplug()
{
    Locked([this] { state_->UnplugLocked(); });
}

bool Camera::unplugged() const
{
    return Locked([this] { return state_->unplugged; });
}

void Camera::Stall(double seconds)
{
    Locked([&] { state_->stallUntil = Clock::now() + Seconds(seconds); });
}

void Camera::SetShortFrames(unsigned bytes)
{
    Locked([&] { state_->shortBytes = bytes; });
}

void Camera::ChangeSize(int width, int height, bool withTemp)
{
    Locked([&] {
        state_->setup.width = std::max(width, 1);
        state_->setup.height = std::max(height, 1);
        state_->setup.withTemp = withTemp;
        state_->scene.reset();
    });
}

void Camera::SetQuerycapErrno(int err)
{
    Locked([&] { state_->setup.querycapErrno = err; });
}

void Camera::SetSfmtErrno(int err)
{
    Locked([&] { state_->setup.sfmtErrno = err; });
}

void Camera::SetBuffersGranted(unsigned count)
{
    Locked([&] { state_->setup.buffersGranted = count; });
}

void Camera::SetIntervalNumeratorZero(bool on)
{
    Locked([&] { state_->setup.intervalNumeratorZero = on; });
}

void Camera::SetPortFault(PortFault fault, int ms)
{
    Locked([&] {
        state_->setup.portFault = fault;
        state_->setup.portFaultMs = ms;
    });
}

void Camera::InjectPortBytes(const std::vector<uint8_t>& bytes)
{
    Locked([&] {
        state_->injected.push_back(bytes);
        state_->WakeResponder();
    });
}

Model Camera::model() const
{
    return Locked([this] {
        state_->UpdateModelLocked([](Model&) {});
        return state_->model;
    });
}

void Camera::SetModel(const Model& m)
{
    Locked([&] { state_->UpdateModelLocked([&m](Model& model) { model = m; }); });
}

std::vector<Request> Camera::requests() const
{
    return Locked([this] { return state_->requests; });
}

void Camera::ClearRequests()
{
    Locked([this] { state_->requests.clear(); });
}

uint64_t Camera::framesProduced() const
{
    return Locked([this] { return state_->produced; });
}

uint64_t Camera::framesDropped() const
{
    return Locked([this] { return state_->dropped; });
}

uint64_t Camera::framesDequeued() const
{
    return Locked([this] { return state_->dequeued; });
}

uint64_t Camera::dequeueRequests() const
{
    return Locked([this] { return state_->dequeueRequests; });
}

unsigned Camera::buffersMapped() const
{
    return Locked([this] {
        unsigned n = 0;
        for (const auto& m : Mappings())
            if (m.second.cam == state_)
                ++n;
        return n;
    });
}

bool Camera::streaming() const
{
    return Locked([this] {
        for (const auto& n : state_->captures)
            if (n->streaming())
                return true;
        return false;
    });
}

bool Camera::videoOpen() const
{
    return Locked([this] {
        for (const auto& n : state_->captures)
            if (n->open())
                return true;
        return false;
    });
}

bool Camera::IsStatic(int x, int y) const
{
    auto scene = Locked([this] { return state_->SceneLocked(); });
    return x >= 0 && y >= 0 && x < scene->width() && y < scene->height() && scene->IsStatic(x, y);
}

int Camera::SceneTenths(int x, int y) const
{
    auto scene = Locked([this] { return state_->SceneLocked(); });
    if (x < 0 || y < 0 || x >= scene->width() || y >= scene->height())
        return 0;
    return scene->Tenths(x, y);
}

uint64_t Camera::corrections() const
{
    return Locked([this] { return state_->shutter->corrections(); });
}

int Camera::HotspotX() const
{
    return Locked([this] { return state_->SceneLocked()->hotX(); });
}

int Camera::HotspotY() const
{
    return Locked([this] { return state_->SceneLocked()->hotY(); });
}

Camera& AddCamera(const CameraSetup& setup)
{
    Camera::State* state;
    {
        std::lock_guard<std::mutex> lk(Lock());
        auto& cams = detail::Cameras();
        if (cams.empty())
            g_nextVideo = 0;  // a fresh world numbers its nodes from 0 again
        cams.push_back(std::make_unique<Camera::State>(setup, static_cast<int>(cams.size())));
        state = cams.back().get();
        state->UpdateModelLocked([](Model&) {});  // the state file's settings, or the file made
        state->Start();
    }
    return state->api;
}

std::vector<Camera*> Cameras()
{
    std::lock_guard<std::mutex> lk(Lock());
    std::vector<Camera*> out;
    for (auto& c : detail::Cameras())
        out.push_back(&c->api);
    return out;
}

void RemoveAll()
{
    std::vector<std::unique_ptr<Camera::State>> doomed;
    {
        std::lock_guard<std::mutex> lk(Lock());
        doomed.swap(detail::Cameras());
        for (auto& c : doomed) {
            for (auto& n : c->captures)
                n->Remove();
            if (c->metadata)
                c->metadata->Remove();
        }
    }
    for (auto& c : doomed)
        c->Stop();
    std::lock_guard<std::mutex> lk(Lock());
    doomed.clear();
}

}  // namespace vcam
