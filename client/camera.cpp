#include <vivaclient/camera.h>

#include <vivaclient/command_port.h>
#include <vivaclient/usb_port.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <thread>

namespace vivaclient {

struct Camera::ExceptionState {
    std::atomic<bool> lost{false};
    std::mutex mutex;
    std::function<void(int)> listener;  // guarded by mutex
};

namespace {

// Open cameras' exception states by key. The poll thread's callback may run
// for a camera that has just been closed, so it looks the state up by key
// instead of trusting a pointer; keys are never reused.
std::mutex g_registryMutex;
std::map<uintptr_t, std::weak_ptr<Camera::ExceptionState>> g_registry;  // guarded by g_registryMutex
uintptr_t g_nextKey = 0;                                                // guarded by g_registryMutex
// The nodes of the cameras open in this process, by a Camera.
std::multiset<std::string> g_openNodes;  // guarded by g_registryMutex

bool OpenHere(const std::string& node)
{
    std::lock_guard<std::mutex> hold(g_registryMutex);
    return g_openNodes.count(node) > 0;
}

void ForwardException(unsigned long, int code, void* user)
{
    std::shared_ptr<Camera::ExceptionState> state;
    {
        std::lock_guard<std::mutex> hold(g_registryMutex);
        const auto it = g_registry.find(reinterpret_cast<uintptr_t>(user));
        if (it != g_registry.end())
            state = it->second.lock();
    }
    if (!state)
        return;
    if (code == OZL_USB_EXCEPTION_DEV_STATE)
        state->lost.store(true);
    std::function<void(int)> listener;
    {
        std::lock_guard<std::mutex> hold(state->mutex);
        listener = state->listener;
    }
    if (listener)
        listener(code);
}

std::string Field(const char* text, size_t size)
{
    // The record's strings are terminated within their arrays, but bound the
    // reads anyway: the record comes from another party.
    return std::string(text, strnlen(text, size));
}

void OnCameraFound(OZL_USB_DEV_INFO* info, void* user)
{
    CameraInfo camera;
    camera.index = info->index;
    camera.name = Field(info->name, sizeof info->name);
    camera.videoPath = Field(info->videoPath, sizeof info->videoPath);
    camera.serialPath = Field(info->serialPath, sizeof info->serialPath);
    static_cast<std::vector<CameraInfo>*>(user)->push_back(camera);
}

Call SearchLocked(std::vector<CameraInfo>& cameras)
{
    cameras.clear();
    const Call call{"OZL_USB_SearchDev", OZL_USB_SearchDev(OnCameraFound, &cameras)};
    if (call.ok() && !cameras.empty()) {
        const std::map<std::string, std::string> ports = UsbPortsOfCaptureNodes();
        for (CameraInfo& camera : cameras) {
            const auto it = ports.find(camera.videoPath);
            if (it != ports.end())
                camera.usbPort = it->second;
        }
    }
    return call;
}

std::string Count(size_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The failure of an OZL_USB_OpenDev, with what the user can do: the one
// wording of a busy camera for every front end.
OpenFailure DescribeOpenFailure(const CameraInfo& camera, const Call& open)
{
    OpenFailure failure{
        open, DescribeFailure(open) + " for camera " + std::to_string(camera.index) + " (" + camera.name + ")", true};
    if (camera.serialPath.empty())
        failure.message += "; it has no command port";
    if (open.result != OZL_USB_OPEN_FAILED && open.result != OZL_USB_FAILURE)
        return failure;
    const std::string hint = PermissionHint({ProbeNodeAccess(camera.videoPath), ProbeNodeAccess(camera.serialPath)});
    if (!hint.empty()) {
        failure.message += "\n" + hint;
        return failure;
    }
    for (const std::string& node : {camera.videoPath, camera.serialPath}) {
        if (node.empty())
            continue;
        if (OpenHere(node)) {
            failure.message +=
                ": the camera is in use by another stream of this program (a camera has one user at a "
                "time); stop that stream or choose another camera";
        } else if (OpenElsewhere(node)) {
            failure.message += "\n" + node +
                               " is in use by another program: the camera is busy. Close that program "
                               "(see 'fuser " +
                               node + "') and try again.";
        } else {
            continue;
        }
        failure.busy = true;
        failure.coreLinesExplain = false;
        return failure;
    }
    return failure;
}

}  // namespace

std::mutex& DiscoveryMutex()
{
    static auto* mutex = new std::mutex;  // lives to exit: an interpreter may search in its exit handlers
    return *mutex;
}

Call SearchCameras(std::vector<CameraInfo>& cameras)
{
    std::lock_guard<std::mutex> hold(DiscoveryMutex());
    return SearchLocked(cameras);
}

namespace {

std::mutex& SessionMutex()
{
    static auto* mutex = new std::mutex;  // lives to exit: an interpreter may close sessions in its exit handlers
    return *mutex;
}
int g_sessionUsers = 0;  // guarded by SessionMutex()

}  // namespace

LibrarySession::LibrarySession()
{
    std::lock_guard<std::mutex> hold(SessionMutex());
    if (g_sessionUsers++ == 0)
        RunInStateDirectory([] { OZL_USB_Init(); });
}

LibrarySession::~LibrarySession()
{
    std::lock_guard<std::mutex> hold(SessionMutex());
    if (--g_sessionUsers == 0)
        OZL_USB_Deinit();
}

int LibrarySession::Users()
{
    std::lock_guard<std::mutex> hold(SessionMutex());
    return g_sessionUsers;
}

const CameraInfo* ChooseCamera(const std::vector<CameraInfo>& cameras, const CameraChoice& choice, std::string& error)
{
    if (cameras.empty()) {
        error = "no camera found";
        return nullptr;
    }
    const CameraInfo* chosen = nullptr;
    if (!choice.identity.empty()) {
        for (const CameraInfo& c : cameras)
            if (c.complete() && c.identity() == choice.identity)
                chosen = &c;
        if (!chosen)
            error = "the camera at " + choice.identity + " is not there";
    } else if (!choice.path.empty()) {
        for (const CameraInfo& c : cameras)
            if (c.videoPath == choice.path || c.serialPath == choice.path)
                chosen = &c;
        if (!chosen)
            error = "no camera at " + choice.path + " among the " + Count(cameras.size(), "camera", "cameras") +
                    " found";
    } else if (choice.index == CameraChoice::kAny) {
        const auto it = std::find_if(cameras.begin(), cameras.end(), [](const CameraInfo& c) { return c.complete(); });
        if (it != cameras.end())
            chosen = &*it;
        else
            error = "no camera with both a video node and a command port found (" +
                    Count(cameras.size(), "device", "devices") + " without)";
    } else {
        for (const CameraInfo& c : cameras)
            if (c.index == choice.index)
                chosen = &c;
        if (!chosen)
            error = "no camera with index " + std::to_string(choice.index) + " (" +
                    Count(cameras.size(), "camera", "cameras") + " found)";
    }
    return chosen;
}

std::unique_ptr<Camera> Camera::Open(const CameraChoice& choice, OpenFailure& failure)
{
    std::lock_guard<std::mutex> hold(DiscoveryMutex());
    std::vector<CameraInfo> cameras;
    const Call search = SearchLocked(cameras);
    if (!search.ok()) {
        failure = OpenFailure{search, DescribeFailure(search), true};
        return nullptr;
    }
    std::string error;
    const CameraInfo* chosen = ChooseCamera(cameras, choice, error);
    if (!chosen) {
        failure = OpenFailure{Call{"OZL_USB_SearchDev", OZL_USB_FAILURE}, error, !cameras.empty()};
        return nullptr;
    }
    // Before the library opens the port: see command_port.h.
    if (!chosen->serialPath.empty())
        PrepareCommandPort(chosen->serialPath);

    std::unique_ptr<Camera> camera(new Camera());
    camera->info_ = *chosen;
    camera->state_ = std::make_shared<ExceptionState>();
    unsigned long handle = 0;
    const Call open{"OZL_USB_OpenDev", OZL_USB_OpenDev(chosen->index, &handle)};
    if (!open.ok()) {
        failure = DescribeOpenFailure(*chosen, open);
        return nullptr;
    }
    camera->handle_ = handle;
    {
        std::lock_guard<std::mutex> registry(g_registryMutex);
        camera->key_ = ++g_nextKey;
        g_registry[camera->key_] = camera->state_;
        g_openNodes.insert({chosen->videoPath, chosen->serialPath});
    }
    const Call watch{"OZL_USB_SetExceptionCallback",
                     OZL_USB_SetExceptionCallback(handle, ForwardException, reinterpret_cast<void*>(camera->key_))};
    if (!watch.ok()) {
        failure = OpenFailure{watch, DescribeFailure(watch), false};
        return nullptr;  // the destructor closes it
    }
    return camera;
}

Camera::~Camera()
{
    Close();
}

void Camera::Close()
{
    std::lock_guard<std::mutex> hold(commands_);
    if (handle_ == 0)
        return;
    // Joins the read thread: no frame callback runs once this returns.
    OZL_USB_CloseDev(handle_);
    handle_ = 0;
    std::lock_guard<std::mutex> registry(g_registryMutex);
    g_registry.erase(key_);
    for (const std::string& node : {info_.videoPath, info_.serialPath})
        if (const auto it = g_openNodes.find(node); it != g_openNodes.end())
            g_openNodes.erase(it);
}

bool Camera::lost() const
{
    return state_->lost.load();
}

void Camera::OnException(std::function<void(int)> listener)
{
    std::lock_guard<std::mutex> hold(state_->mutex);
    state_->listener = std::move(listener);
}

namespace {

void IgnoreTemperatures(unsigned long, OZL_USB_TEMP_INFO_CB*, void*) {}

}  // namespace

Call Camera::ProbeTemperatures(bool& withTemps)
{
    std::lock_guard<std::mutex> hold(commands_);
    const Call start{"OZL_USB_StartPullTemp", OZL_USB_StartPullTemp(handle_, IgnoreTemperatures, nullptr)};
    if (start.result == OZL_USB_NOT_SUPPORTED) {
        withTemps = false;
        return Call{start.function, OZL_USB_SUCCESS};
    }
    if (!start.ok())
        return start;
    withTemps = true;
    return Call{"OZL_USB_StopPullTemp", OZL_USB_StopPullTemp(handle_)};
}

}  // namespace vivaclient
