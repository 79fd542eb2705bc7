#include "camera.h"

#include <VIVAZUZOZ.h>

#include <cstring>

namespace vivatool {

namespace {

void OnCameraFound(OZL_USB_DEV_INFO* info, void* user)
{
    auto* cameras = static_cast<std::vector<CameraInfo>*>(user);
    // The record's strings are terminated within their arrays, but bound
    // the reads anyway: the record comes from another party.
    auto text = [](const char* field, size_t size) { return std::string(field, strnlen(field, size)); };
    cameras->push_back(CameraInfo{info->index, text(info->name, sizeof info->name),
                                  text(info->videoPath, sizeof info->videoPath),
                                  text(info->serialPath, sizeof info->serialPath)});
}

void IgnoreTemperatures(unsigned long, OZL_USB_TEMP_INFO_CB*, void*) {}

}  // namespace

LibrarySession::LibrarySession()
{
    OZL_USB_Init();
}

LibrarySession::~LibrarySession()
{
    OZL_USB_Deinit();
}

Call LibrarySession::Search(std::vector<CameraInfo>& cameras)
{
    cameras.clear();
    return Call{"OZL_USB_SearchDev", OZL_USB_SearchDev(OnCameraFound, &cameras)};
}

Call LibrarySession::WatchForLoss(unsigned long handle)
{
    return Call{"OZL_USB_SetExceptionCallback", OZL_USB_SetExceptionCallback(handle, OnException, this)};
}

void LibrarySession::OnException(unsigned long, int code, void* user)
{
    if (code == OZL_USB_EXCEPTION_DEV_STATE)
        static_cast<LibrarySession*>(user)->lost_.store(true);
}

OpenCamera::~OpenCamera()
{
    if (handle_ != 0)
        OZL_USB_CloseDev(handle_);
}

Call OpenCamera::Open(int index)
{
    unsigned long handle = 0;
    const Call call{"OZL_USB_OpenDev", OZL_USB_OpenDev(index, &handle)};
    if (call.ok())
        handle_ = handle;
    return call;
}

Call ProbeTemperatureStream(unsigned long handle, bool& withTemp)
{
    const Call start{"OZL_USB_StartPullTemp", OZL_USB_StartPullTemp(handle, IgnoreTemperatures, nullptr)};
    if (start.result == OZL_USB_NOT_SUPPORTED) {
        withTemp = false;
        return Call{start.function, OZL_USB_SUCCESS};
    }
    if (!start.ok())
        return start;
    withTemp = true;
    return Call{"OZL_USB_StopPullTemp", OZL_USB_StopPullTemp(handle)};
}

FrameSource::~FrameSource()
{
    if (withTemp_)
        OZL_USB_StopPullTemp(handle_);
    if (previewStarted_)
        OZL_USB_StopPreview(handle_);
}

Call FrameSource::Start()
{
    // Temperatures first: a frame whose preview callback runs before this
    // registration completes only at the next frame, never with a plane of
    // another frame.
    const Call temp{"OZL_USB_StartPullTemp", OZL_USB_StartPullTemp(handle_, OnTemp, this)};
    if (temp.ok())
        withTemp_ = true;
    else if (temp.result != OZL_USB_NOT_SUPPORTED)
        return temp;
    const Call preview{"OZL_USB_StartPreview", OZL_USB_StartPreview(handle_, OnVideo, this)};
    previewStarted_ = preview.ok();
    return preview;
}

void FrameSource::OnVideo(unsigned long, OZL_USB_VIDEO_INFO_CB* frame, void* user)
{
    auto* self = static_cast<FrameSource*>(user);
    if (frame->withTemp) {
        self->imageSeen_ = true;
        return;
    }
    FrameView view;
    view.width = frame->width;
    view.height = frame->height;
    view.image = frame->data;
    self->sink_(view);
}

void FrameSource::OnTemp(unsigned long, OZL_USB_TEMP_INFO_CB* frame, void* user)
{
    auto* self = static_cast<FrameSource*>(user);
    if (!self->imageSeen_)
        return;
    self->imageSeen_ = false;
    FrameView view;
    view.width = frame->width;
    view.height = frame->height;
    view.temp = frame->data;
    self->sink_(view);
}

}  // namespace vivatool
