#include "camera_hub.h"

#include "frame_message.h"

#include <VIVAZUZOZ.h>

#include <algorithm>

namespace vivatool::serve {

using Clock = std::chrono::steady_clock;

struct CameraHub::Slot {
    Slot(int i, const CameraInfo& camera) : index(i), info(camera) {}

    const int index;

    // Held while a command runs on the camera and while it is opened or
    // closed, so no command ever meets a handle being closed.
    mutable std::mutex commandMutex;
    unsigned long handle = 0;  // guarded by commandMutex

    mutable std::mutex stateMutex;
    mutable std::condition_variable changed;
    // Guarded by stateMutex.
    CameraInfo info;
    bool live = false;
    uint64_t sequence = 0;  // of the newest frame
    Clock::time_point lastFrame{};
    std::shared_ptr<const Frame> newest;

    // Set by the library's exception-poll thread, cleared by Maintain()'s
    // thread before the camera is opened.
    std::atomic<bool> lost{false};
    // Written by Maintain()'s thread before the callbacks are registered,
    // read by the read thread.
    std::atomic<bool> withTemp{false};

    // Read thread only: the message of a frame whose image plane is in and
    // whose temperatures are still to come.
    std::string pending;
    int pendingWidth = 0;
    int pendingHeight = 0;
    bool imagePending = false;

    // Completes `message` (both planes written) with its header and makes it
    // the newest frame.
    void Publish(int width, int height, bool withTemp, std::string&& message)
    {
        auto frame = std::make_shared<Frame>();
        frame->width = width;
        frame->height = height;
        frame->withTemp = withTemp;
        uint64_t next;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            next = sequence + 1;  // only this read thread advances it
        }
        FrameHeader header;
        header.width = static_cast<uint16_t>(width);
        header.height = static_cast<uint16_t>(height);
        header.flags = withTemp ? kFrameHasTemperature : 0;
        header.sequence = next;
        header.timestampMs = std::chrono::duration<double, std::milli>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
        WriteFrameHeader(message, header);
        frame->sequence = next;
        frame->message = std::move(message);
        std::lock_guard<std::mutex> lock(stateMutex);
        sequence = next;
        lastFrame = Clock::now();
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
        OpenSlot(*slot, camera.index);
    }
    lastScan_ = Clock::now();
    return search;
}

void CameraHub::OpenSlot(Slot& slot, int libraryIndex)
{
    std::lock_guard<std::mutex> command(slot.commandMutex);
    if (slot.handle != 0)
        return;
    slot.lost.store(false);
    unsigned long handle = 0;
    if (OZL_USB_OpenDev(libraryIndex, &handle) != OZL_USB_SUCCESS)
        return;
    OZL_USB_SetExceptionCallback(handle, OnException, &slot);
    slot.imagePending = false;  // no callback of this slot is registered yet
    // Temperatures first: the library refuses them on an image-only stream.
    const int temp = OZL_USB_StartPullTemp(handle, OnTemp, &slot);
    slot.withTemp.store(temp == OZL_USB_SUCCESS);
    if ((temp != OZL_USB_SUCCESS && temp != OZL_USB_NOT_SUPPORTED) ||
        OZL_USB_StartPreview(handle, OnVideo, &slot) != OZL_USB_SUCCESS) {
        OZL_USB_StopPullTemp(handle);
        OZL_USB_CloseDev(handle);
        return;
    }
    slot.handle = handle;
    std::lock_guard<std::mutex> lock(slot.stateMutex);
    slot.live = true;
    slot.lastFrame = Clock::now();  // the stall limit counts from here
    slot.changed.notify_all();
}

void CameraHub::CloseSlot(Slot& slot)
{
    {
        std::lock_guard<std::mutex> command(slot.commandMutex);
        if (slot.handle != 0) {
            // Once the callbacks are stopped the read thread no longer runs
            // them, and closing joins it.
            OZL_USB_StopPullTemp(slot.handle);
            OZL_USB_StopPreview(slot.handle);
            OZL_USB_CloseDev(slot.handle);
            slot.handle = 0;
        }
    }
    std::lock_guard<std::mutex> lock(slot.stateMutex);
    slot.live = false;
    slot.changed.notify_all();
}

void CameraHub::Maintain()
{
    std::vector<Slot*> slots;
    {
        std::lock_guard<std::mutex> lock(slotsMutex_);
        for (const auto& s : slots_)
            slots.push_back(s.get());
    }
    bool missing = false;
    const Clock::time_point now = Clock::now();
    for (Slot* slot : slots) {
        bool live, stalled;
        {
            std::lock_guard<std::mutex> lock(slot->stateMutex);
            live = slot->live;
            stalled = live && now - slot->lastFrame > stallLimit;
        }
        if (live && (slot->lost.load() || stalled)) {
            CloseSlot(*slot);
            live = false;
        }
        missing |= !live;
    }
    if ((missing || slots.empty()) && now - lastScan_ >= rescanEvery)
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
        if (camera.video.empty())
            continue;
        Slot* slot = nullptr;
        {
            std::lock_guard<std::mutex> lock(slotsMutex_);
            for (const auto& s : slots_) {
                std::lock_guard<std::mutex> state(s->stateMutex);
                if (s->info.video == camera.video)
                    slot = s.get();
            }
            if (!slot) {
                slots_.push_back(std::make_unique<Slot>(static_cast<int>(slots_.size()), camera));
                slot = slots_.back().get();
            }
        }
        bool live;
        {
            std::lock_guard<std::mutex> state(slot->stateMutex);
            live = slot->live;
            if (!live)
                slot->info = camera;  // the serial node may differ after a replug
        }
        if (!live)
            OpenSlot(*slot, camera.index);
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
        if (slot->newest) {
            summary.width = slot->newest->width;
            summary.height = slot->newest->height;
            summary.radiometric = slot->newest->withTemp;
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
    return CameraView{slot->live, slot->newest};
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
    return CameraView{slot->live, slot->newest};
}

void CameraHub::WithCamera(int index, const std::function<void(unsigned long)>& work) const
{
    const Slot* slot = Find(index);
    if (!slot) {
        work(0);
        return;
    }
    std::lock_guard<std::mutex> command(slot->commandMutex);
    work(slot->handle);
}

void CameraHub::OnVideo(unsigned long, OZL_USB_VIDEO_INFO_CB* frame, void* user)
{
    auto* slot = static_cast<Slot*>(user);
    if (frame->width <= 0 || frame->height <= 0 || frame->width > 0xFFFF || frame->height > 0xFFFF || !frame->data)
        return;
    const bool withTemp = frame->withTemp && slot->withTemp.load();
    const size_t count = static_cast<size_t>(frame->width) * static_cast<size_t>(frame->height);
    std::string message(FrameMessageSize(frame->width, frame->height, withTemp), '\0');
    WriteImagePlane(message, frame->data, count);
    if (!withTemp) {
        slot->Publish(frame->width, frame->height, false, std::move(message));
        return;
    }
    slot->pending = std::move(message);
    slot->pendingWidth = frame->width;
    slot->pendingHeight = frame->height;
    slot->imagePending = true;
}

void CameraHub::OnTemp(unsigned long, OZL_USB_TEMP_INFO_CB* frame, void* user)
{
    auto* slot = static_cast<Slot*>(user);
    if (!slot->imagePending || !frame->data)
        return;
    slot->imagePending = false;
    if (frame->width != slot->pendingWidth || frame->height != slot->pendingHeight)
        return;
    WriteTemperaturePlane(slot->pending, frame->data,
                          static_cast<size_t>(frame->width) * static_cast<size_t>(frame->height));
    slot->Publish(frame->width, frame->height, true, std::move(slot->pending));
}

void CameraHub::OnException(unsigned long, int code, void* user)
{
    if (code == OZL_USB_EXCEPTION_DEV_STATE)
        static_cast<Slot*>(user)->lost.store(true);
}

}  // namespace vivatool::serve
