// The exported functions: argument and handle checks, then one call of the
// device-control operation behind the handle. The layer keeps no state; the
// registry is the device manager's.
#include "VIVAZUZOZ.h"

#include "DevCtrlMgr.h"
#include "Logger.h"

namespace {

// Looks the handle up and runs `op` on the device; 3 for handle 0 or an
// unregistered handle. The shared reference keeps the device alive for the
// whole call even if another thread closes it meanwhile.
template <typename Op>
int WithDevice(unsigned long handle, Op op)
{
    if (handle == 0)
        return OZL_USB_INVALID_PARAM;
    DevCtrlMgr::DevPtr device = DevCtrlMgr::GetInstance().GetDevCtrlPtr(handle);
    if (!device)
        return OZL_USB_INVALID_PARAM;
    return op(*device);
}

}  // namespace

extern "C" {

int OZL_USB_Init(void)
{
    Logger::Init();
    DevCtrlMgr::GetInstance().Init();
    Logger::Print(Logger::Debug, __FILE__, __LINE__, "OZL_USB_Init", "%s", "SDK Init Success.");
    return OZL_USB_SUCCESS;
}

void OZL_USB_Deinit(void)
{
    DevCtrlMgr::GetInstance().Deinit();
    Logger::Print(Logger::Debug, __FILE__, __LINE__, "OZL_USB_Deinit", "%s", "SDK Deinit.");
}

int OZL_USB_SearchDev(OZL_USB_SEARCH_CB callback, void* user)
{
    if (callback == nullptr)
        return OZL_USB_INVALID_PARAM;
    DevCtrlMgr::GetInstance().SearchDev(callback, user);
    return OZL_USB_SUCCESS;
}

int OZL_USB_OpenDev(int index, unsigned long* handle)
{
    if (handle == nullptr)
        return OZL_USB_INVALID_PARAM;
    DevCtrlMgr& manager = DevCtrlMgr::GetInstance();
    DevCtrlMgr::DevPtr device = manager.CreateDevCtrl();
    if (!device)
        return OZL_USB_FAILURE;
    const int result = device->OpenDev(index);
    if (result != OZL_USB_SUCCESS) {
        manager.DestroyDevCtrl(device->Handle());
        return result;
    }
    *handle = device->Handle();
    return OZL_USB_SUCCESS;
}

int OZL_USB_CloseDev(unsigned long handle)
{
    if (handle == 0)
        return OZL_USB_INVALID_PARAM;
    DevCtrlMgr& manager = DevCtrlMgr::GetInstance();
    DevCtrlMgr::DevPtr device = manager.GetDevCtrlPtr(handle);
    if (!device)
        return OZL_USB_INVALID_PARAM;
    const int result = device->CloseDev();
    if (result == OZL_USB_SUCCESS)
        manager.DestroyDevCtrl(handle);
    return result;
}

int OZL_USB_SetExceptionCallback(unsigned long handle, OZL_USB_EXCEPTION_CB callback, void* user)
{
    if (handle == 0 || callback == nullptr)
        return OZL_USB_INVALID_PARAM;
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.SetExceptionCallback(callback, user); });
}

int OZL_USB_StartPreview(unsigned long handle, OZL_USB_VIDEO_CB callback, void* user)
{
    if (handle == 0 || callback == nullptr)
        return OZL_USB_INVALID_PARAM;
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.StartPreview(callback, user); });
}

int OZL_USB_StopPreview(unsigned long handle)
{
    return WithDevice(handle, [](BaseDevCtrl& d) { return d.StopPreview(); });
}

int OZL_USB_StartPullTemp(unsigned long handle, OZL_USB_TEMP_CB callback, void* user)
{
    if (handle == 0 || callback == nullptr)
        return OZL_USB_INVALID_PARAM;
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.StartPullTemp(callback, user); });
}

int OZL_USB_StopPullTemp(unsigned long handle)
{
    return WithDevice(handle, [](BaseDevCtrl& d) { return d.StopPullTemp(); });
}

int OZL_USB_ReadPort(unsigned long handle, char* buffer, int length, int* received, int timeout)
{
    if (handle == 0 || buffer == nullptr)
        return OZL_USB_INVALID_PARAM;
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.ReadPort(buffer, length, received, timeout); });
}

int OZL_USB_WritePort(unsigned long handle, char* buffer, int length)
{
    if (handle == 0 || buffer == nullptr || length == 0)
        return OZL_USB_INVALID_PARAM;
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.WritePort(buffer, length); });
}

int OZL_USB_CorrectShutter(unsigned long handle)
{
    return WithDevice(handle, [](BaseDevCtrl& d) { return d.CorrectShutter(); });
}

int OZL_USB_GetPalleteType(unsigned long handle, int* palette)
{
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.GetPalleteType(palette); });
}

int OZL_USB_SetPalleteType(unsigned long handle, int palette)
{
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.SetPalleteType(palette); });
}

int OZL_USB_GetTempLevel(unsigned long handle, int* level)
{
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.GetTempLevel(level); });
}

int OZL_USB_SeTempLevel(unsigned long handle, int level)
{
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.SetTempLevel(level); });
}

int OZL_USB_GetFPATemp(unsigned long handle, float* temperature)
{
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.GetFPATemp(temperature); });
}

int OZL_USB_GetCameraTemp(unsigned long handle, float* temperature)
{
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.GetCameraTemp(temperature); });
}

int OZL_USB_GetFPASize(unsigned long handle, int* width, int* height)
{
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.GetFPASize(width, height); });
}

int OZL_USB_GetEnvParam(unsigned long handle, OZL_USB_ENV_PARAM* parameters)
{
    if (handle == 0 || parameters == nullptr)
        return OZL_USB_INVALID_PARAM;
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.GetEnvParam(parameters); });
}

int OZL_USB_SetEnvParam(unsigned long handle, const OZL_USB_ENV_PARAM* parameters)
{
    if (handle == 0 || parameters == nullptr)
        return OZL_USB_INVALID_PARAM;
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.SetEnvParam(parameters); });
}

int OZL_USB_GetTempUnit(unsigned long handle, int* unit)
{
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.GetTempUnit(unit); });
}

int OZL_USB_SetTempUnit(unsigned long handle, int unit)
{
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.SetTempUnit(unit); });
}

int OZL_USB_GetImageLevel(unsigned long handle, int* level)
{
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.GetImageLevel(level); });
}

int OZL_USB_SetImageLevel(unsigned long handle, int level)
{
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.SetImageLevel(level); });
}

int OZL_USB_GetImageParam(unsigned long handle, int type, int* value)
{
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.GetImageParam(type, value); });
}

int OZL_USB_SetImageParam(unsigned long handle, int type, int value)
{
    return WithDevice(handle, [&](BaseDevCtrl& d) { return d.SetImageParam(type, value); });
}

}  // extern "C"
