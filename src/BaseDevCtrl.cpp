#include "BaseDevCtrl.h"

BaseDevCtrl::~BaseDevCtrl() = default;

int BaseDevCtrl::Init()
{
    return m_init ? 1 : 0;
}
void BaseDevCtrl::Deinit() {}
int BaseDevCtrl::Probe()
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::SearchDev(std::vector<OZL_USB_DEV_INFO>&)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::OpenDev(int)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::CloseDev()
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::ReadPort(char*, int, int*, int)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::WritePort(char*, int)
{
    return OZL_USB_NOT_SUPPORTED;
}
void BaseDevCtrl::CollectException() {}
int BaseDevCtrl::SetExceptionCallback(OZL_USB_EXCEPTION_CB, void*)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::StartPreview(OZL_USB_VIDEO_CB, void*)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::StopPreview()
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::StartPullTemp(OZL_USB_TEMP_CB, void*)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::StopPullTemp()
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::CorrectShutter()
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::GetPalleteType(int*)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::SetPalleteType(int)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::GetTempLevel(int*)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::SetTempLevel(int)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::GetFPATemp(float*)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::GetCameraTemp(float*)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::GetFPASize(int*, int*)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::GetEnvParam(OZL_USB_ENV_PARAM*)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::SetEnvParam(const OZL_USB_ENV_PARAM*)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::GetTempUnit(int*)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::SetTempUnit(int)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::GetImageLevel(int*)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::SetImageLevel(int)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::GetImageParam(int, int*)
{
    return OZL_USB_NOT_SUPPORTED;
}
int BaseDevCtrl::SetImageParam(int, int)
{
    return OZL_USB_NOT_SUPPORTED;
}
void BaseDevCtrl::OnDataRecv(unsigned char*, unsigned long) {}

namespace {

thread_local const BaseDevCtrl* t_delivering = nullptr;
thread_local bool t_polling = false;

}  // namespace

const BaseDevCtrl* BaseDevCtrl::DeliveringDevice()
{
    return t_delivering;
}
bool BaseDevCtrl::OnPollThread()
{
    return t_polling;
}

BaseDevCtrl::DeliveryScope::DeliveryScope(const BaseDevCtrl* device) : m_previous(t_delivering)
{
    t_delivering = device;
}
BaseDevCtrl::DeliveryScope::~DeliveryScope()
{
    t_delivering = m_previous;
}
BaseDevCtrl::PollScope::PollScope()
{
    t_polling = true;
}
BaseDevCtrl::PollScope::~PollScope()
{
    t_polling = false;
}

bool BaseDevCtrl::StoreExceptionCallback(OZL_USB_EXCEPTION_CB callback, void* user)
{
    std::lock_guard<std::mutex> lock(m_exceptionMutex);
    if (m_exceptionsClosed)
        return false;
    m_exceptionCb = callback;
    m_exceptionUser = user;
    return true;
}

void BaseDevCtrl::CloseExceptions()
{
    // On the poll thread this is the callback's own thread: the recursive
    // lock lets it through instead of waiting for itself.
    std::lock_guard<std::recursive_mutex> running(m_exceptionRunning);
    std::lock_guard<std::mutex> lock(m_exceptionMutex);
    m_exceptionsClosed = true;
    m_exceptionCb = nullptr;
    m_exceptionUser = nullptr;
}

void BaseDevCtrl::OpenExceptions()
{
    std::lock_guard<std::mutex> lock(m_exceptionMutex);
    m_exceptionsClosed = false;
}

void BaseDevCtrl::SendException(int code)
{
    std::lock_guard<std::recursive_mutex> running(m_exceptionRunning);
    OZL_USB_EXCEPTION_CB callback;
    void* user;
    {
        std::lock_guard<std::mutex> lock(m_exceptionMutex);
        callback = m_exceptionCb;
        user = m_exceptionUser;
    }
    if (callback == nullptr || m_exceptions.count(code) != 0)
        return;
    callback(Handle(), code, user);
    m_exceptions.insert(code);
}

void BaseDevCtrl::ResetException(int code)
{
    m_exceptions.erase(code);
}
