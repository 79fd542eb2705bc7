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
    // Guarded by commandMutex; changed only by the thread that runs
    // Start() and Maintain(). The stream goes before the camera.
    std::unique_ptr<Camera> camera;
    std::unique_ptr<FrameStream> stream;

    mutable std::mutex stateMutex;
    mutable std::condition_variable changed;
    // Guarded by stateMutex.
    CameraInfo info;
    bool live = false;
    uint64_t opened = 0;    // opens so far
    uint64_t sequence = 0;  // of the newest frame
    Clock::time_point lastFrame{};
    std::shared_ptr<const Frame> newest;

    // Set by the library's exception-poll thread, cleared by the thread that
    // opens the camera before it opens it.
    std::atomic<bool> lost{false};

    // Read thread: one complete frame becomes the newest message.
    void OnFrame(const FrameRef& frame)
    {
        if (frame.width > 0xFFFF || frame.height > 0xFFFF)
            return;
        const bool withTemp = frame.temps != nullptr;
        std::string message(FrameMessageSize(frame.width, frame.height, withTemp), '\0');
        WriteImagePlane(message, frame.image, frame.samples());
        if (withTemp)
            WriteTemperaturePlane(message, frame.temps, frame.samples());
        Publish(frame.width, frame.height, withTemp, std::move(message));
    }

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
        OpenSlot(*slot, camera);
    }
    lastScan_ = Clock::now();
    return search;
}

void CameraHub::OpenSlot(Slot& slot, const CameraInfo& found)
{
    std::lock_guard<std::mutex> command(slot.commandMutex);
    if (slot.camera)
        return;
    CameraChoice choice;
    choice.identity = found.identity();
    OpenFailure failure;
    std::unique_ptr<Camera> camera = Camera::Open(choice, failure);
    if (!camera)
        return;
    slot.lost.store(false);
    camera->OnException([&slot](int code) {
        if (code == OZL_USB_EXCEPTION_DEV_STATE)
            slot.lost.store(true);
    });
    auto stream = std::make_unique<FrameStream>(camera->handle(), [&slot](const FrameRef& f) { slot.OnFrame(f); });
    if (!stream->Start().ok())
        return;  // the camera closes as it goes
    const CameraInfo info = camera->info();
    slot.camera = std::move(camera);
    slot.stream = std::move(stream);
    std::lock_guard<std::mutex> lock(slot.stateMutex);
    slot.info = info;  // the nodes and the index differ after a replug
    slot.live = true;
    ++slot.opened;
    slot.lastFrame = Clock::now();  // the stall limit counts from here
    slot.changed.notify_all();
}

void CameraHub::CloseSlot(Slot& slot)
{
    {
        std::lock_guard<std::mutex> command(slot.commandMutex);
        // Once the stream is stopped the read thread no longer calls it, and
        // closing the camera joins that thread.
        slot.stream.reset();
        slot.camera.reset();
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
        bool live;
        {
            std::lock_guard<std::mutex> state(slot->stateMutex);
            live = slot->live;
        }
        if (!live)
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
    // A camera known to be lost gets no more commands, which would only
    // wait for answers that cannot come.
    work(slot->camera && !slot->lost.load() ? slot->camera->handle() : 0);
}

}  // namespace vivatool::serve
