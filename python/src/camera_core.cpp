#include "camera_core.h"

#include <vivaclient/core_output.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

namespace vivazuzoz_python {

namespace {

// Guards g_library and g_shutDown; held around an open, so that no open
// runs while the interpreter shuts the library down.
std::mutex g_lifecycle;
// The package's use of the library, from the first search or open until
// ShutdownAll; shared with whatever else in the process uses the library
// (a GStreamer element), which keeps it initialised after this one goes.
std::unique_ptr<vivaclient::LibrarySession> g_library;
bool g_shutDown = false;  // ShutdownAll ran: no more opens

// Cameras by id, for ShutdownAll.
std::mutex g_registryLock;
std::map<uint64_t, std::weak_ptr<CameraCore>> g_registry;  // guarded by g_registryLock
uint64_t g_nextId = 0;                                     // guarded by g_registryLock
std::atomic<CameraCore::ExceptionHook> g_exceptionHook{nullptr};
std::atomic<CameraCore::EventHook> g_eventHook{nullptr};

// What a thread writes to stdout or stderr is the library's when the thread
// is one the library or the session runs (read, poll and supervisor threads
// mark themselves when they first reach this file), or while a Python thread
// is inside a call into the library (LibraryLines). Everything else in the
// process (the interpreter, other extensions) writes as if nothing were
// captured.
thread_local bool t_libraryThread = false;
thread_local int t_inLibraryCall = 0;
// The core whose event listener runs on this thread now.
thread_local const CameraCore* t_reporting = nullptr;

bool LibraryWrites()
{
    return t_libraryThread || t_inLibraryCall > 0;
}

vivaclient::CoreOutput* g_coreLines = nullptr;  // set once by CaptureCoreLines, before the library runs

// Needs g_lifecycle held.
void InitialiseLocked()
{
    if (!g_library)
        g_library = std::make_unique<vivaclient::LibrarySession>();
}

double Seconds(vivaclient::FrameClock::time_point t)
{
    return std::chrono::duration<double>(t.time_since_epoch()).count();  // the clock of time.monotonic()
}

CallError Failed(int code, const std::string& message)
{
    return CallError(CallError::Result, code, message);
}

bool Away(SessionEvent::Kind kind)
{
    return kind == SessionEvent::Kind::Lost || kind == SessionEvent::Kind::Stalled || kind == SessionEvent::Kind::Error;
}

}  // namespace

LibraryLines::LibraryLines()
{
    ++t_inLibraryCall;
}

LibraryLines::~LibraryLines()
{
    --t_inLibraryCall;
}

std::vector<CameraInfo> Search()
{
    {
        std::lock_guard<std::mutex> hold(g_lifecycle);
        if (g_shutDown)
            return {};
        InitialiseLocked();
    }
    std::vector<CameraInfo> found;
    vivaclient::SearchCameras(found);
    return found;
}

void CameraCore::CaptureCoreLines()
{
    FILE* out = stdout;
    FILE* err = stderr;
    g_coreLines = &vivaclient::CoreOutput::Install(out, err, /*captureErrors=*/true, &LibraryWrites);
}

std::string CameraCore::TakeCoreLines()
{
    return g_coreLines ? g_coreLines->TakeHeld() : std::string();
}

void CameraCore::ShowCoreLines(bool on)
{
    if (g_coreLines)
        g_coreLines->SetVerbose(on);
}

CallError CameraCore::ClosedError(const char* what)
{
    return Failed(OZL_USB_INVALID_PARAM, std::string(what) + ": the camera is closed");
}

CallError CameraCore::GoneError(const char* what) const
{
    SessionEvent away;
    {
        std::lock_guard<std::mutex> hold(eventLock_);
        away = away_;
    }
    if (!Away(away.kind)) {
        // The library reported the loss; the session has not said it yet.
        away.kind = SessionEvent::Kind::Lost;
        away.message = "the camera is gone (exception 1001: unplugged or failed)";
    }
    return CallError(CallError::Gone, OZL_USB_EXCEPTION_DEV_STATE, std::string(what) + ": " + away.message,
                     vivaclient::EventName(away.kind));
}

std::shared_ptr<CameraCore> CameraCore::Make(const Selector& which)
{
    std::shared_ptr<CameraCore> core(new CameraCore());
    vivaclient::SessionOptions options;
    options.choice.index = which.index;
    options.choice.path = which.path;
    options.reconnect = which.reconnect;
    options.shutter = which.shutter;
    CameraCore* self = core.get();  // the session is the core's, and goes first
    options.prepare = [self](vivaclient::Camera& camera, bool reopened) { return self->Prepare(camera, reopened); };
    core->session_.reset(new vivaclient::CameraSession(std::move(options), static_cast<vivaclient::FrameSink&>(*core)));
    core->session_->OnEvent([self](const SessionEvent& event) { self->OnEvent(event); });
    std::lock_guard<std::mutex> registry(g_registryLock);
    core->id_ = ++g_nextId;
    g_registry[core->id_] = core;
    return core;
}

void CameraCore::Start()
{
    std::lock_guard<std::mutex> hold(g_lifecycle);
    if (g_shutDown)
        throw Failed(OZL_USB_FAILURE, "Camera: the interpreter is exiting");
    InitialiseLocked();
    vivaclient::OpenFailure failure;
    if (!session_->Start(failure)) {
        // A choice that found nothing is an open that failed too.
        const bool chose = failure.call.function == std::string("OZL_USB_SearchDev");
        throw Failed(chose || failure.call.ok() ? OZL_USB_OPEN_FAILED : failure.call.result,
                     "Camera: " + failure.message);
    }
}

std::string CameraCore::Prepare(vivaclient::Camera& camera, bool reopened)
{
    const uint64_t id = id_;
    camera.OnException([id](int code) {
        t_libraryThread = true;  // the poll thread
        if (ExceptionHook hook = g_exceptionHook.load())
            hook(id, code);
    });
    if (reopened)
        return "";  // the session checks that it came back as it was
    int width = 0, height = 0;
    const int size = camera.Command([&](unsigned long h) { return OZL_USB_GetFPASize(h, &width, &height); });
    if (size != OZL_USB_SUCCESS)
        return vivaclient::DescribeFailure(vivaclient::Call{"OZL_USB_GetFPASize", size});
    if (width <= 0 || height <= 0)
        return "OZL_USB_GetFPASize: the camera reported no frame size";
    bool withTemps = false;
    const vivaclient::Call probe = camera.ProbeTemperatures(withTemps);
    if (!probe.ok())
        return vivaclient::DescribeFailure(probe);
    ring_.reset(new FrameRing(width, height, withTemps));
    return "";
}

void CameraCore::OnEvent(const SessionEvent& event)
{
    // The supervisor; the first Opened comes on the opening Python thread.
    if (t_inLibraryCall == 0)
        t_libraryThread = true;
    bool held;
    {
        std::lock_guard<std::mutex> hold(eventLock_);
        if (Away(event.kind))
            away_ = event;
        else if (event.kind == SessionEvent::Kind::Back)
            away_ = SessionEvent();
        events_.push_back(event);
        if (events_.size() > kKeptEvents)
            events_.pop_front();
        held = holding_;
        if (held)
            held_.push_back(event);
    }
    newEvent_.notify_all();
    // Ended by itself (no reconnect, or back but not as it was): readers
    // learn that it is gone.
    if (event.kind == SessionEvent::Kind::Closed && !closed_.load() && ring_)
        ring_->MarkGone();
    if (!held)
        Report(event);
}

void CameraCore::Report(const SessionEvent& event)
{
    if (EventHook hook = g_eventHook.load()) {
        const CameraCore* outer = t_reporting;
        t_reporting = this;
        hook(id_, event);
        t_reporting = outer;
    }
}

void CameraCore::ReleaseHeldEvents()
{
    for (;;) {
        SessionEvent next;
        {
            std::lock_guard<std::mutex> hold(eventLock_);
            if (held_.empty()) {
                holding_ = false;  // what comes from now on goes to the hook at once
                return;
            }
            next = held_.front();
            held_.pop_front();
        }
        Report(next);
    }
}

std::vector<SessionEvent> CameraCore::TakeEvents(double timeout)
{
    std::unique_lock<std::mutex> hold(eventLock_);
    auto settled = [this] { return !events_.empty() || closed_.load(); };
    constexpr double kYear = 365.0 * 24 * 3600;
    if (timeout < 0 || timeout > kYear)
        newEvent_.wait(hold, settled);
    else if (timeout > 0)
        newEvent_.wait_for(hold,
                           std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                               std::chrono::duration<double>(timeout)),
                           settled);
    std::vector<SessionEvent> taken(events_.begin(), events_.end());
    events_.clear();
    return taken;
}

CameraCore::~CameraCore()
{
    Close();
}

void CameraCore::Close()
{
    if (t_reporting == this) {
        // The session cannot be closed from its own supervisor: close on a
        // thread of its own, which keeps the core until it is done.
        closed_.store(true);
        if (ring_)
            ring_->Close();
        std::shared_ptr<CameraCore> self;
        {
            std::lock_guard<std::mutex> registry(g_registryLock);
            const auto it = g_registry.find(id_);
            if (it != g_registry.end())
                self = it->second.lock();
        }
        if (self)
            std::thread([self] { self->Close(); }).detach();
        return;
    }
    // Whoever comes first closes; the others return once that is done.
    std::call_once(closeOnce_, [this] {
        closed_.store(true);
        if (ring_)
            ring_->Close();
        {
            std::lock_guard<std::mutex> hold(eventLock_);
            newEvent_.notify_all();
        }
        session_->Close();  // no frame and no event after this
        std::lock_guard<std::mutex> registry(g_registryLock);
        g_registry.erase(id_);
    });
}

void CameraCore::ShutdownAll()
{
    std::unique_ptr<vivaclient::LibrarySession> library;
    {
        // Waits for an open in progress; no open starts after this.
        std::lock_guard<std::mutex> hold(g_lifecycle);
        g_shutDown = true;
        library = std::move(g_library);
    }
    std::vector<std::shared_ptr<CameraCore>> open;
    {
        std::lock_guard<std::mutex> registry(g_registryLock);
        for (auto& entry : g_registry)
            if (auto core = entry.second.lock())
                open.push_back(core);
    }
    for (auto& core : open)
        core->Close();
    // The last session to go stops the poll thread; every camera of the
    // package is closed already.
    library.reset();
}

void CameraCore::SetExceptionHook(ExceptionHook hook)
{
    g_exceptionHook.store(hook);
}

void CameraCore::SetEventHook(EventHook hook)
{
    g_eventHook.store(hook);
}

uint16_t* CameraCore::BeginFrame(int width, int height, uint64_t sequence, vivaclient::FrameClock::time_point arrival)
{
    t_libraryThread = true;  // the read thread
    FrameRing& ring = *ring_;
    if (width != ring.width() || height != ring.height()) {
        ring.Skip();
        return nullptr;
    }
    pending_ = ring.Begin(sequence, Seconds(arrival));
    return pending_ ? pending_->image.data() : nullptr;
}

void CameraCore::CompleteFrame(const vivaclient::FrameRef& frame)
{
    FrameRing::Slot* slot = pending_;
    pending_ = nullptr;
    if (!slot)
        return;
    if (frame.temps && ring_->withTemps()) {
        std::memcpy(slot->temps.data(), frame.temps, slot->temps.size() * sizeof(int16_t));
        slot->hasTemps = true;
    }
    slot->afterGap = frame.afterGap;
    slot->shutter = frame.shutter;
    slot->settling = frame.settling;
    ring_->Publish(slot);
}

void CameraCore::AbandonFrame()
{
    if (pending_)
        ring_->Abandon(pending_);
    pending_ = nullptr;
}

}  // namespace vivazuzoz_python
