#include "CameraCore.h"

#include "core_output.h"

#include <cstdio>
#include <cstring>
#include <map>

namespace vivazuzoz_python {

namespace {

// Guards g_initialised and g_shutDown; held around an open, so that no open
// runs while the interpreter shuts the library down.
std::mutex g_lifecycle;
bool g_initialised = false;  // OZL_USB_Init was called (on the first search or open)
bool g_shutDown = false;     // ShutdownAll ran: no more opens

// Open cameras by id, for ShutdownAll.
std::mutex g_registryLock;
std::map<uint64_t, std::weak_ptr<CameraCore>> g_registry;  // guarded by g_registryLock
uint64_t g_nextId = 0;                                      // guarded by g_registryLock
std::atomic<CameraCore::ExceptionHook> g_hook{nullptr};

// The capture core prints its progress on the C library's stdout: held
// here and handed to Python's logging, unless shown (ShowCoreLines).
vivaclient::CoreOutput& CoreLines()
{
    static vivaclient::CoreOutput* const output = [] {
        FILE* out = stdout;
        FILE* err = stderr;
        // Only stdout: the interpreter's own C-level messages go to stderr.
        return &vivaclient::CoreOutput::Install(out, err, /*captureErrors=*/false);
    }();
    return *output;
}

// Needs g_lifecycle held.
void InitialiseLocked()
{
    if (g_initialised)
        return;
    CoreLines();
    // The library's log lands in the same state folder as the tool's.
    vivaclient::InitLibraryInStateFolder();
    g_initialised = true;
}

double Seconds(vivaclient::FrameClock::time_point t)
{
    return std::chrono::duration<double>(t.time_since_epoch()).count();  // the clock of time.monotonic()
}

CallError Failed(int code, const std::string& message) { return CallError(CallError::Result, code, message); }

}  // namespace

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

std::string CameraCore::TakeCoreLines() { return CoreLines().TakeHeld(); }

void CameraCore::ShowCoreLines(bool on) { CoreLines().SetVerbose(on); }

CallError CameraCore::ClosedError(const char* what)
{
    return Failed(OZL_USB_INVALID_PARAM, std::string(what) + ": the camera is closed");
}

CallError CameraCore::GoneError(const char* what)
{
    return CallError(CallError::Gone, OZL_USB_EXCEPTION_DEV_STATE,
                     std::string(what) + ": the camera is gone (exception 1001: unplugged or failed)");
}

std::shared_ptr<CameraCore> CameraCore::Open(const Selector& which)
{
    std::lock_guard<std::mutex> hold(g_lifecycle);
    if (g_shutDown)
        throw Failed(OZL_USB_FAILURE, "Camera: the interpreter is exiting");
    InitialiseLocked();

    vivaclient::CameraChoice choice;
    choice.index = which.index;
    choice.path = which.path;
    vivaclient::OpenFailure failure;
    std::unique_ptr<vivaclient::Camera> camera = vivaclient::Camera::Open(choice, failure);
    if (!camera) {
        // A choice that found nothing is an open that failed too.
        const bool chose = failure.call.function == std::string("OZL_USB_SearchDev");
        throw Failed(chose ? OZL_USB_OPEN_FAILED : failure.call.result, "Camera: " + failure.message);
    }

    std::shared_ptr<CameraCore> core(new CameraCore());
    core->m_camera = std::move(camera);
    core->m_reconnect = which.reconnect;
    {
        std::lock_guard<std::mutex> registry(g_registryLock);
        core->m_id = ++g_nextId;
        g_registry[core->m_id] = core;
    }
    try {
        core->Start();
    } catch (...) {
        core->Close();
        throw;
    }
    return core;
}

void CameraCore::Start()
{
    int width = 0, height = 0;
    Command("OZL_USB_GetFPASize", [&](unsigned long h) { return OZL_USB_GetFPASize(h, &width, &height); });
    if (width <= 0 || height <= 0)
        throw Failed(OZL_USB_FAILURE, "OZL_USB_GetFPASize: the camera reported no frame size");
    bool withTemps = false;
    const vivaclient::Call probe = m_camera->ProbeTemperatures(withTemps);
    if (!probe.ok())
        throw Failed(probe.result, vivaclient::DescribeFailure(probe));
    m_ring.reset(new FrameRing(width, height, withTemps));
    std::lock_guard<std::mutex> hold(m_swap);
    StartStream();
    if (m_reconnect)
        m_reconnector = std::thread([this] { Reconnect(); });
}

// Needs m_swap held (or no other thread yet).
void CameraCore::StartStream()
{
    const uint64_t id = m_id;
    CameraCore* self = this;  // outlives the listener: Close removes it first
    m_camera->OnException([self, id](int code) {
        if (code == OZL_USB_EXCEPTION_DEV_STATE) {
            if (self->m_reconnect) {
                std::lock_guard<std::mutex> hold(self->m_lossLock);
                self->m_lossPending = true;
                self->m_loss.notify_all();
            } else {
                self->m_gone.store(true);
                self->m_ring->MarkGone();
            }
        }
        if (ExceptionHook hook = g_hook.load())
            hook(id, code);
    });
    m_stream.reset(new vivaclient::FrameStream(m_camera->handle(), static_cast<vivaclient::FrameSink&>(*this)));
    const vivaclient::Call start = m_stream->Start();
    if (!start.ok())
        throw Failed(start.result, vivaclient::DescribeFailure(start));
}

void CameraCore::Reconnect()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> wait(m_lossLock);
            m_loss.wait(wait, [this] { return m_lossPending || m_closed.load(); });
            if (m_closed.load())
                return;
            m_lossPending = false;
        }
        CameraInfo was;
        {
            std::lock_guard<std::mutex> hold(m_swap);
            m_away = true;
            was = m_camera->info();
            m_stream.reset();  // no frame callback runs on the lost camera any more
            m_camera->OnException(nullptr);
            m_camera->Close();
        }
        std::unique_ptr<vivaclient::Camera> back = vivaclient::Reopen(was, [this] { return !m_closed.load(); });
        if (!back)
            return;  // closed meanwhile
        int width = 0, height = 0;
        back->Command([&](unsigned long h) { return OZL_USB_GetFPASize(h, &width, &height); });
        std::lock_guard<std::mutex> hold(m_swap);
        m_camera = std::move(back);
        try {
            if (width != m_ring->width() || height != m_ring->height())
                throw Failed(OZL_USB_FAILURE, "another frame size");
            StartStream();
            m_away = false;
        } catch (const CallError&) {
            // Back, but not as it was: readers learn it is gone.
            m_gone.store(true);
            m_ring->MarkGone();
            return;
        }
    }
}

CameraCore::~CameraCore() { Close(); }

void CameraCore::Close()
{
    // Whoever comes first closes; the others return once that is done.
    std::call_once(m_closeOnce, [this] {
        m_closed.store(true);
        if (m_ring)
            m_ring->Close();
        StopReconnecting();
        if (m_camera)
            m_camera->OnException(nullptr);
        // After ShutdownAll the library has closed the camera and the handle
        // is void: nothing is asked of it any more.
        if (!m_shutDown.load()) {
            if (m_stream)
                m_stream->Stop();  // no frame callback runs after this
            if (m_camera)
                m_camera->Close();  // waits for a running command
        }
        std::lock_guard<std::mutex> registry(g_registryLock);
        g_registry.erase(m_id);
    });
}

void CameraCore::ShutdownAll()
{
    bool initialised = false;
    {
        // Waits for an open in progress; no open starts after this. Not held
        // while deinitialising: an exception callback still running on the
        // poll thread, which Deinit joins, may be trying to open.
        std::lock_guard<std::mutex> hold(g_lifecycle);
        g_shutDown = true;
        initialised = g_initialised;
    }
    std::vector<std::shared_ptr<CameraCore>> open;
    {
        std::lock_guard<std::mutex> registry(g_registryLock);
        for (auto& entry : g_registry)
            if (auto core = entry.second.lock())
                open.push_back(core);
    }
    for (auto& core : open) {
        core->m_shutDown.store(true);
        core->m_closed.store(true);
        if (core->m_ring)
            core->m_ring->Close();
        core->StopReconnecting();  // it must not search or open while the library goes
    }
    // Stops the poll thread first, then closes every camera still open.
    if (initialised)
        OZL_USB_Deinit();
    for (auto& core : open) {
        if (core->m_stream)
            core->m_stream->Forget();
        core->Close();
    }
}

void CameraCore::StopReconnecting()
{
    {
        std::lock_guard<std::mutex> hold(m_lossLock);
        m_loss.notify_all();
    }
    if (m_reconnector.joinable() && m_reconnector.get_id() != std::this_thread::get_id())
        m_reconnector.join();
}

void CameraCore::SetExceptionHook(ExceptionHook hook) { g_hook.store(hook); }

uint16_t* CameraCore::BeginFrame(int width, int height, uint64_t, vivaclient::FrameClock::time_point arrival)
{
    FrameRing& ring = *m_ring;
    if (width != ring.width() || height != ring.height()) {
        ring.Skip();
        return nullptr;
    }
    m_pending = ring.Begin(Seconds(arrival));
    return m_pending ? m_pending->image.data() : nullptr;
}

void CameraCore::CompleteFrame(const vivaclient::FrameRef& frame)
{
    FrameRing::Slot* slot = m_pending;
    m_pending = nullptr;
    if (!slot)
        return;
    if (frame.temps && m_ring->withTemps()) {
        std::memcpy(slot->temps.data(), frame.temps, slot->temps.size() * sizeof(int16_t));
        slot->hasTemps = true;
    }
    m_ring->Publish(slot);
}

void CameraCore::AbandonFrame()
{
    if (m_pending)
        m_ring->Abandon(m_pending);
    m_pending = nullptr;
}

}  // namespace vivazuzoz_python
