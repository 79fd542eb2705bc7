#include "CameraCore.h"

#include <time.h>

#include <cstring>
#include <map>

namespace vivazuzoz_python {

namespace {

// Search and open share the library's search result: one at a time. Also
// guards g_initialised and g_shutDown.
std::mutex g_discovery;
bool g_initialised = false;  // OZL_USB_Init was called (on the first open)
bool g_shutDown = false;     // ShutdownAll ran: no more opens

// Open cameras by id, for the poll thread's exception callback: it may run
// for a camera that has just been closed, so it looks the camera up instead
// of trusting a pointer.
std::mutex g_registryLock;
std::map<uint64_t, std::weak_ptr<CameraCore>> g_registry;  // guarded by g_registryLock
uint64_t g_nextId = 0;                                      // guarded by g_registryLock
std::atomic<CameraCore::ExceptionHook> g_hook{nullptr};

std::shared_ptr<CameraCore> Find(uint64_t id)
{
    std::lock_guard<std::mutex> hold(g_registryLock);
    const auto it = g_registry.find(id);
    return it == g_registry.end() ? nullptr : it->second.lock();
}

void Unregister(uint64_t id)
{
    std::lock_guard<std::mutex> hold(g_registryLock);
    g_registry.erase(id);
}

double Now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);  // the clock of Python's time.monotonic()
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string Field(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

std::vector<CameraEntry> SearchLocked()
{
    std::vector<CameraEntry> found;
    OZL_USB_SearchDev(
        [](OZL_USB_DEV_INFO* info, void* user) {
            static_cast<std::vector<CameraEntry>*>(user)->push_back(
                {info->index, Field(info->name, sizeof info->name), Field(info->videoPath, sizeof info->videoPath),
                 Field(info->serialPath, sizeof info->serialPath)});
        },
        &found);
    return found;
}

CallError Failed(int code, const std::string& message) { return CallError(CallError::Result, code, message); }

}  // namespace

std::string ResultText(int code)
{
    switch (code) {
    case OZL_USB_SUCCESS: return "0 (success)";
    case OZL_USB_FAILURE: return "1 (failure: the camera did not answer, or answered wrongly)";
    case OZL_USB_NOT_SUPPORTED: return "2 (not supported by the camera or its current stream)";
    case OZL_USB_INVALID_PARAM: return "3 (invalid parameter)";
    case OZL_USB_OPEN_FAILED: return "4 (the camera's video or command node could not be opened)";
    default: return std::to_string(code) + " (unknown result)";
    }
}

std::vector<CameraEntry> Search()
{
    std::lock_guard<std::mutex> hold(g_discovery);
    return SearchLocked();
}

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
    std::lock_guard<std::mutex> hold(g_discovery);
    if (g_shutDown)
        throw Failed(OZL_USB_FAILURE, "Camera: the interpreter is exiting");
    if (!g_initialised) {
        OZL_USB_Init();
        g_initialised = true;
    }
    const std::vector<CameraEntry> found = SearchLocked();
    const CameraEntry* entry = nullptr;
    for (const CameraEntry& e : found) {
        if (which.path.empty() ? e.index == which.index : (e.videoPath == which.path || e.serialPath == which.path)) {
            entry = &e;
            break;
        }
    }
    if (!entry) {
        const std::string wanted = which.path.empty() ? "camera " + std::to_string(which.index) : "camera at " + which.path;
        throw Failed(OZL_USB_OPEN_FAILED, "Camera: no " + wanted + " among the " + std::to_string(found.size()) +
                                              " camera(s) found");
    }

    unsigned long handle = 0;
    const int result = OZL_USB_OpenDev(entry->index, &handle);
    if (result != OZL_USB_SUCCESS)
        throw Failed(result, "OZL_USB_OpenDev(" + std::to_string(entry->index) + ") returned " + ResultText(result));

    std::shared_ptr<CameraCore> core(new CameraCore());
    core->m_entry = *entry;
    core->m_handle = handle;
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
    int result = OZL_USB_GetFPASize(m_handle, &width, &height);
    if (result != OZL_USB_SUCCESS)
        throw Failed(result, "OZL_USB_GetFPASize returned " + ResultText(result));
    if (width <= 0 || height <= 0)
        throw Failed(OZL_USB_FAILURE, "OZL_USB_GetFPASize: the camera reported no frame size");
    // Temperature planes arrive only on an image-and-temperature stream; the
    // call answers 2 on any other. No temperature is stored before the first
    // image of a frame, so starting it ahead of preview loses nothing.
    result = OZL_USB_StartPullTemp(m_handle, &CameraCore::OnTemps, this);
    if (result != OZL_USB_SUCCESS && result != OZL_USB_NOT_SUPPORTED)
        throw Failed(result, "OZL_USB_StartPullTemp returned " + ResultText(result));
    m_ring.reset(new FrameRing(width, height, result == OZL_USB_SUCCESS));

    void* key = reinterpret_cast<void*>(static_cast<uintptr_t>(m_id));
    result = OZL_USB_SetExceptionCallback(m_handle, &CameraCore::OnException, key);
    if (result != OZL_USB_SUCCESS)
        throw Failed(result, "OZL_USB_SetExceptionCallback returned " + ResultText(result));
    result = OZL_USB_StartPreview(m_handle, &CameraCore::OnImage, this);
    if (result != OZL_USB_SUCCESS)
        throw Failed(result, "OZL_USB_StartPreview returned " + ResultText(result));
}

CameraCore::~CameraCore() { Close(); }

void CameraCore::Close()
{
    // Whoever comes first closes; the others return once that is done.
    std::call_once(m_closeOnce, [this] {
        m_closed.store(true);
        if (m_ring)
            m_ring->Close();
        std::lock_guard<std::mutex> hold(m_commands);
        // Joins the read thread: no frame callback runs after this. After
        // ShutdownAll the library has closed the camera and the handle is void.
        if (!m_shutDown.load())
            OZL_USB_CloseDev(m_handle);
        Unregister(m_id);
    });
}

void CameraCore::ShutdownAll()
{
    bool initialised = false;
    {
        // Waits for an open in progress; no open starts after this. Not held
        // while deinitialising: an exception callback still running on the
        // poll thread, which Deinit joins, may be trying to open.
        std::lock_guard<std::mutex> hold(g_discovery);
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
        core->m_ring->Close();
    }
    // Stops the poll thread first, then closes every camera still open.
    if (initialised)
        OZL_USB_Deinit();
    for (auto& core : open)
        Unregister(core->m_id);
}

void CameraCore::SetExceptionHook(ExceptionHook hook) { g_hook.store(hook); }

void CameraCore::OnImage(unsigned long, OZL_USB_VIDEO_INFO_CB* frame, void* user)
{
    auto* self = static_cast<CameraCore*>(user);
    FrameRing& ring = *self->m_ring;
    if (self->m_pending) {  // the temperatures of the last frame never came
        ring.Abandon(self->m_pending);
        self->m_pending = nullptr;
    }
    if (!frame || !frame->data || frame->width != ring.width() || frame->height != ring.height()) {
        ring.Skip();
        return;
    }
    FrameRing::Slot* slot = ring.Begin(Now());
    if (!slot)
        return;
    std::memcpy(slot->image.data(), frame->data, slot->image.size() * sizeof(uint16_t));
    if (ring.withTemps() && frame->withTemp)
        self->m_pending = slot;
    else
        ring.Publish(slot);
}

void CameraCore::OnTemps(unsigned long, OZL_USB_TEMP_INFO_CB* frame, void* user)
{
    auto* self = static_cast<CameraCore*>(user);
    FrameRing::Slot* slot = self->m_pending;
    if (!slot)
        return;
    self->m_pending = nullptr;
    FrameRing& ring = *self->m_ring;
    if (!frame || !frame->data || frame->width != ring.width() || frame->height != ring.height()) {
        ring.Abandon(slot);
        return;
    }
    std::memcpy(slot->temps.data(), frame->data, slot->temps.size() * sizeof(int16_t));
    slot->hasTemps = true;
    ring.Publish(slot);
}

void CameraCore::OnException(unsigned long, int code, void* user)
{
    const std::shared_ptr<CameraCore> self = Find(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(user)));
    if (!self)
        return;
    if (code == OZL_USB_EXCEPTION_DEV_STATE) {
        self->m_gone.store(true);
        self->m_ring->MarkGone();
    }
    if (ExceptionHook hook = g_hook.load())
        hook(self->m_id, code);
}

}  // namespace vivazuzoz_python
