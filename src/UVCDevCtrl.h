// UVCDevCtrl - device control of the thermal camera family: command frames on
// the serial port, open and close, frames to callbacks, settings.
#pragma once

#include "BaseDevCtrl.h"
#include "Common/SerialPort.h"
#include "UVCInterface.h"

#include <atomic>
#include <cstdint>
#include <vector>

enum FrameMode { FRAME_MODE_IMAGE = 0, FRAME_MODE_IMAGE_TEMP = 1, FRAME_MODE_NONE = 2 };

class UVCDevCtrl : public BaseDevCtrl {
public:
    struct DevFuncUsability {
        bool detail = false;
        bool spatialDenoising = false;
        bool contrast = false;
        bool brightness = false;
        bool timeDenoising = false;
        bool dynamicRange = false;
        bool detailAlt = false;
        bool spatialDenoisingAlt = false;
        bool contrastAlt = false;
        bool brightnessAlt = false;
        bool timeDenoisingAlt = false;
        bool dynamicRangeAlt = false;
    };

    UVCDevCtrl();
    ~UVCDevCtrl() override;

    int Probe() override;
    int SearchDev(std::vector<OZL_USB_DEV_INFO>& list) override;

    // The list of the last successful search, shared by all objects.
    static std::vector<OZL_USB_DEV_INFO> m_devList;

protected:
    UVCInterface m_uvc;
    SerialPort m_serial;
};
