#include "UVCDevCtrl.h"

std::vector<OZL_USB_DEV_INFO> UVCDevCtrl::m_devList;

UVCDevCtrl::UVCDevCtrl() = default;
UVCDevCtrl::~UVCDevCtrl() = default;

int UVCDevCtrl::Probe() { return OZL_USB_SUCCESS; }

int UVCDevCtrl::SearchDev(std::vector<OZL_USB_DEV_INFO>& list)
{
    if (UVCInterface::SearchDev(list) != 0)
        return OZL_USB_FAILURE;
    m_devList = list;
    return OZL_USB_SUCCESS;
}
