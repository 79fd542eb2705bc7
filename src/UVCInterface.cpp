#include "UVCInterface.h"

std::map<int, std::string> UVCInterface::m_videoMap;

bool is_video_capture_node(const char*) { return false; }

UVCInterface::UVCInterface() : m_vd(nullptr), m_readThread(), m_opened(false), m_owner(nullptr), m_devState(0) {}
UVCInterface::~UVCInterface() { CloseDev(); }
int UVCInterface::OpenDev(int, BaseDevCtrl* owner)
{
    m_owner = owner;
    return OZL_USB_OPEN_FAILED;
}
void UVCInterface::CloseDev() { m_opened = false; }
int UVCInterface::GetDevState() { return m_devState; }
void* UVCInterface::uvc_read_task(void*) { return nullptr; }
int UVCInterface::SearchDev(std::vector<OZL_USB_DEV_INFO>& devs)
{
    devs.clear();
    return 0;
}
