#include "camera_hub.h"

#include "frame_message.h"

#include <VIVAZUZOZ.h>

#include <algorithm>
#include <cstring>

namespace vivatool::serve {
using namespace vivaclient;

using Clock = std::chrono::steady_clock;

struct CameraHub::Slot : FrameSink {
    Slot(int i, const CameraInfo& camera) : index(i), info(camera) {}

    const int index;

    // Held while the session is made, used for a command, or closed.
    mutable std::mutex sessionMutex;
    std::unique_ptr<CameraSession> session;  // guarded by sessionMutex; null until the camera first opens

    mutable std::mutex stateMutex;
    mutable std::condition_variable changed;
    // Guarded by stateMutex.
    CameraInfo info;
    bool live = false;
    uint64_t opened = 0;    // opens so far
    uint64_t sequence = 0;  // of the newest frame
    std::shared_ptr<const Frame> newest;
    std::shared_ptr<const Frame> lastGood;  // the newest frame not flagged shutter or settling
    SessionEvent lastEvent;  // the newest loss, return or error; kind Opened before any

    // The session's supervisor (and, for the first open, the opening thread).
    void OnEvent(const SessionEvent& event)
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        switch (event.kind) {
        case SessionEvent::Kind::Opened:
            info = event.camera;  // the nodes and the index differ after a replug
            live = true;
            ++opened;
            break;
        case SessionEvent::Kind::Back:
            lastEvent = event;
            break;
        case SessionEvent::Kind::Lost:
        case SessionEvent::Kind::Stalled:
        case SessionEvent::Kind::Error:
            lastEvent = event;
            live = false;
            break;
        case SessionEvent::Kind::Closed:
            live = false;
            break;
        case SessionEvent::Kind::ShutterStart:
        case SessionEvent::Kind::ShutterEnd:
            break;
        }
        changed.notify_all();
    }

    // FrameSink, on the session's read thread: a frame begins in a new
    // Frame, whose buffer the library's image plane is copied into.
    uint16_t* BeginFrame(int width, int height, uint64_t, FrameClock::time_point) override
    {
        pending.reset();
        if (width > 0xFFFF || height > 0xFFFF)
            return nullptr;
        pending = std::make_shared<Frame>(width, height, buffers);
        return pending->imagePlane();
    }

    // The temperatures after the image, the header, and the frame is the
    // newest.
    void CompleteFrame(const FrameRef& frame) override
    {
        const std::shared_ptr<Frame> made = std::move(pending);
        if (!made)
            return;
        if (frame.temps)
            std::memcpy(made->tempPlane(), frame.temps, frame.samples() * sizeof(int16_t));
        FrameHeader header;
        header.flags = (frame.temps ? kFrameHasTemperature : 0) | (frame.shutter ? kFrameShutter : 0) |
                       (frame.settling ? kFrameSettling : 0);
        header.sequence = frame.sequence;
        header.timestampMs =
            std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
        made->Seal(header);
        Publish(made);
    }

    void AbandonFrame() override { pending.reset(); }

    // Read thread only: the frame begun.
    std::shared_ptr<Frame> pending;
    // The buffers of this camera's frames, used again.
    const std::shared_ptr<FrameBuffers> buffers = std::make_shared<FrameBuffers>();

    void Publish(std::shared_ptr<const Frame> frame)
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        sequence = frame->sequence();
        if (!frame->shutter() && !frame->settling())
            lastGood = frame;
        newest = std::move(frame);
        changed.notify_all();
    }
};

CameraHub::CameraHub(LibrarySession& library) : library_(library) {}

CameraHub::~CameraHub()
{
    Close();
}

Call CameraHub::Start()
{
    std::lock_guard<std::mutex> libraryLock(libraryMutex_);
    std::vector<CameraInfo> found;
    const Call search = library_.Search(found);
    if (!search.ok())
        return search;
    for (const CameraInfo& camera : found) {
        Slot* slot;
        {
            std::lock_guard<std::mutex> lock(slotsMutex_);
            slots_.push_back(std::make_unique<Slot>(static_cast<int>(slots_.size()), camera));
            slot = slots_.back().get();
        }
        OpenSlot(*slot, camera);
    }
    lastScan_ = Clock::now();
    return search;
}

void CameraHub::OpenSlot(Slot& slot, const CameraInfo& found)
{
    std::lock_guard<std::mutex> hold(slot.sessionMutex);
    if (slot.session)
        return;
    SessionOptions options;
    options.choice.identity = found.identity();
    options.reconnect = true;  // the session waits for the camera and reopens it
    options.stallLimit = stallLimit;
    options.searchEvery = rescanEvery;
    options.shutter = shutterPolicy;
    auto session = std::make_unique<CameraSession>(options, slot);
    session->OnEvent([this, &slot](const SessionEvent& e) {
        slot.OnEvent(e);
        if (onEvent)
            onEvent(slot.index, e);
    });
    OpenFailure failure;
    if (session->Start(failure))
        slot.session = std::move(session);
}

void CameraHub::CloseSlot(Slot& slot)
{
    std::unique_ptr<CameraSession> session;
    {
        std::lock_guard<std::mutex> hold(slot.sessionMutex);
        session = std::move(slot.session);
    }
    if (session)
        session->Close();  // no frame and no event after this
    std::lock_guard<std::mutex> lock(slot.stateMutex);
    slot.live = false;
    slot.changed.notify_all();
}

void CameraHub::Maintain()
{
    bool missing = false;
    {
        std::lock_guard<std::mutex> lock(slotsMutex_);
        for (const auto& s : slots_) {
            std::lock_guard<std::mutex> state(s->stateMutex);
            missing |= !s->live;
        }
        missing |= slots_.empty();
    }
    if (missing && Clock::now() - lastScan_.load() >= rescanEvery)
        Rescan();
}

void CameraHub::Rescan()
{
    std::lock_guard<std::mutex> libraryLock(libraryMutex_);
    lastScan_ = Clock::now();
    std::vector<CameraInfo> found;
    if (!library_.Search(found).ok())
        return;
    for (const CameraInfo& camera : found) {
        // A camera without a capture node cannot be shown. A search that
        // runs while a camera is being plugged in or pulled out can list it
        // before its node appears or after the node went: it gets no slot of
        // its own, and a later scan sees it whole.
        if (camera.videoPath.empty())
            continue;
        Slot* slot = nullptr;
        {
            std::lock_guard<std::mutex> lock(slotsMutex_);
            for (const auto& s : slots_) {
                std::lock_guard<std::mutex> state(s->stateMutex);
                // The same USB port: a camera plugged back in gets new
                // nodes and a new index, but keeps its slot.
                if (s->info.identity() == camera.identity())
                    slot = s.get();
            }
            if (!slot) {
                slots_.push_back(std::make_unique<Slot>(static_cast<int>(slots_.size()), camera));
                slot = slots_.back().get();
            }
        }
        // A camera that was opened once has a session that waits for it.
        OpenSlot(*slot, camera);
    }
}

void CameraHub::Close()
{
    std::vector<Slot*> slots;
    {
        std::lock_guard<std::mutex> lock(slotsMutex_);
        for (const auto& s : slots_)
            slots.push_back(s.get());
    }
    for (Slot* slot : slots)
        CloseSlot(*slot);
}

CameraHub::Slot* CameraHub::Find(int index) const
{
    std::lock_guard<std::mutex> lock(slotsMutex_);
    if (index < 0 || static_cast<size_t>(index) >= slots_.size())
        return nullptr;
    return slots_[static_cast<size_t>(index)].get();
}

bool CameraHub::Exists(int index) const
{
    return Find(index) != nullptr;
}

std::vector<CameraSummary> CameraHub::Cameras() const
{
    std::vector<Slot*> slots;
    {
        std::lock_guard<std::mutex> lock(slotsMutex_);
        for (const auto& s : slots_)
            slots.push_back(s.get());
    }
    std::vector<CameraSummary> out;
    for (const Slot* slot : slots) {
        CameraSummary summary;
        summary.index = slot->index;
        std::lock_guard<std::mutex> lock(slot->stateMutex);
        summary.info = slot->info;
        summary.live = slot->live;
        summary.opened = slot->opened;
        summary.lastEvent = slot->lastEvent;
        if (slot->newest) {
            summary.width = slot->newest->width();
            summary.height = slot->newest->height();
            summary.radiometric = slot->newest->withTemp();
            summary.shutter = slot->newest->shutter();
            summary.settling = slot->newest->settling();
        }
        out.push_back(summary);
    }
    return out;
}

CameraView CameraHub::View(int index) const
{
    const Slot* slot = Find(index);
    if (!slot)
        return {};
    std::lock_guard<std::mutex> lock(slot->stateMutex);
    return CameraView{slot->live, slot->newest, slot->lastGood, slot->lastEvent};
}

CameraView CameraHub::WaitForChange(int index, uint64_t afterSequence, bool wasLive, Clock::time_point until,
                                    const std::atomic<bool>& stop) const
{
    const Slot* slot = Find(index);
    if (!slot)
        return {};
    std::unique_lock<std::mutex> lock(slot->stateMutex);
    // Woken by every frame and state change; `stop` is looked at least
    // every 100 ms, since whoever sets it does not hold this lock.
    while (!stop.load() && slot->sequence <= afterSequence && slot->live == wasLive) {
        const Clock::time_point wake = std::min(until, Clock::now() + std::chrono::milliseconds(100));
        slot->changed.wait_until(lock, wake);
        if (Clock::now() >= until)
            break;
    }
    return CameraView{slot->live, slot->newest, slot->lastGood, slot->lastEvent};
}

void CameraHub::WithCamera(int index, const std::function<void(unsigned long)>& work) const
{
    const Slot* slot = Find(index);
    bool ran = false;
    if (slot) {
        std::lock_guard<std::mutex> hold(slot->sessionMutex);
        // A camera that is away gets no commands, which would only wait for
        // answers that cannot come.
        if (slot->session)
            slot->session->Command([&](unsigned long handle) {
                ran = true;
                work(handle);
                return OZL_USB_SUCCESS;
            });
    }
    if (!ran)
        work(0);
}

CameraSession::Counters CameraHub::Counters(int index) const
{
    const Slot* slot = Find(index);
    if (!slot)
        return {};
    std::lock_guard<std::mutex> hold(slot->sessionMutex);
    return slot->session ? slot->session->counters() : CameraSession::Counters{};
}

int CameraHub::CorrectShutter(int index) const
{
    const Slot* slot = Find(index);
    if (!slot)
        return OZL_USB_INVALID_PARAM;
    std::lock_guard<std::mutex> hold(slot->sessionMutex);
    return slot->session ? slot->session->CorrectShutter() : OZL_USB_INVALID_PARAM;
}

FrameClock::time_point CameraHub::Progress() const
{
    std::vector<Slot*> slots;
    {
        std::lock_guard<std::mutex> lock(slotsMutex_);
        for (const auto& s : slots_)
            slots.push_back(s.get());
    }
    FrameClock::time_point newest = lastScan_.load();
    for (const Slot* slot : slots) {
        std::lock_guard<std::mutex> hold(slot->sessionMutex);
        if (slot->session)
            newest = std::max(newest, slot->session->progress());
    }
    return newest;
}

}  // namespace vivatool::serve
