// UVCDevCtrl's setting commands: shutter, palette, temperature level and
// unit, image level, detector and camera temperatures, the environment
// parameters and the image tuning parameters, each one exchange.
#include "UVCDevCtrl.h"
#include "UVCWire.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

using namespace uvcwire;
using Flags = UVCDevCtrl::DevFuncUsability;

// Environment parameters: group 07, one code per field.
constexpr uint8_t kEnvGroup = 0x07;
constexpr uint8_t kAtmosTemp = 0x10;
constexpr uint8_t kDistance = 0x13;
constexpr uint8_t kEmissivity = 0x12;
constexpr uint8_t kReflectedTemp = 0x0F;
constexpr uint8_t kTransmittance = 0x11;
constexpr float kEnvScale = 10000.0f;

// The camera's code for the level that the interface calls 2.
constexpr int kTempLevelTopCode = 3;
constexpr int kTempLevelTop = 2;

// Image tuning parameters by type number (group 01).
constexpr uint8_t kTuningGroup = 0x01;
constexpr uint8_t kNoCode = 0x00;
struct TuningParam {
    uint8_t primary;
    uint8_t alternate;  // kNoCode: the parameter has none
    uint8_t setOp;
    int width;  // value bytes on the wire
    bool Flags::*primaryFlag;
    bool Flags::*alternateFlag;
    int (UVCDevCtrl::*get)(int, int*);
    int (UVCDevCtrl::*set)(int, int);
};
constexpr TuningParam kTuning[] = {
    {0x1E, 0x38, 0x02, 1, &Flags::detail, &Flags::detailAlt, &UVCDevCtrl::GetDetail, &UVCDevCtrl::SetDetail},
    {0x1D, 0x39, 0x02, 1, &Flags::spatialDenoising, &Flags::spatialDenoisingAlt, &UVCDevCtrl::GetSpatialDenoising,
     &UVCDevCtrl::SetSpatialDenoising},
    {0x24, 0x37, 0x01, 2, &Flags::contrast, &Flags::contrastAlt, &UVCDevCtrl::GetContrast, &UVCDevCtrl::SetContrast},
    {0x26, 0x36, 0x01, 1, &Flags::brightness, &Flags::brightnessAlt, &UVCDevCtrl::GetBrightness,
     &UVCDevCtrl::SetBrightness},
    {0x05, 0x3A, 0x01, 1, &Flags::timeDenoising, &Flags::timeDenoisingAlt, &UVCDevCtrl::GetTimeDenoising,
     &UVCDevCtrl::SetTimeDenoising},
    {0x21, kNoCode, 0x01, 1, &Flags::dynamicRange, &Flags::dynamicRangeAlt, &UVCDevCtrl::GetDynamicRange,
     &UVCDevCtrl::SetDynamicRange},
};
constexpr int kTuningCount = sizeof(kTuning) / sizeof(kTuning[0]);
enum TuningType { kDetail = 0, kSpatialDenoising, kContrast, kBrightness, kTimeDenoising, kDynamicRange };

// value x 10000 in single precision, truncated toward zero; beyond the 32-bit
// range it saturates and NaN becomes 0.
int32_t ScaleForWire(float value)
{
    const float scaled = value * kEnvScale;
    if (std::isnan(scaled))
        return 0;
    if (scaled >= 2147483648.0f)
        return std::numeric_limits<int32_t>::max();
    if (scaled <= -2147483648.0f)
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(scaled);
}

}  // namespace

// Settings.
//
// A gate on the stream's layout is tested first; a null output is refused
// next. Either way nothing is sent and nothing written.

int UVCDevCtrl::CorrectShutter()
{
    return SettingByte(kShutter, 0x01);
}

int UVCDevCtrl::GetPalleteType(int* palette)
{
    if (palette == nullptr)
        return OZL_USB_INVALID_PARAM;
    Reply reply;
    if (Exchange(kPaletteGet, nullptr, 0, StatusCheck::Required, reply) != OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    *palette = reply.Data()[0];
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::SetPalleteType(int palette)
{
    return SettingByte(kPaletteSet, palette);
}

int UVCDevCtrl::GetTempLevel(int* level)
{
    if (m_frameMode != FRAME_MODE_IMAGE_TEMP)
        return OZL_USB_NOT_SUPPORTED;
    if (level == nullptr)
        return OZL_USB_INVALID_PARAM;
    Reply reply;
    if (Exchange(kTempLevelGet, nullptr, 0, StatusCheck::Required, reply) != OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    const int code = reply.Data()[0];
    *level = code == kTempLevelTopCode ? kTempLevelTop : code;
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::SetTempLevel(int level)
{
    if (m_frameMode != FRAME_MODE_IMAGE_TEMP)
        return OZL_USB_NOT_SUPPORTED;
    return SettingByte(kTempLevelSet, level == kTempLevelTop ? kTempLevelTopCode : level);
}

namespace {

// Detector and camera temperatures travel in hundredths of a degree.
float HundredthsToDegrees(const uint8_t* data)
{
    return static_cast<float>(static_cast<int16_t>(LittleEndian16(data))) / 100.0f;
}

}  // namespace

int UVCDevCtrl::GetFPATemp(float* temperature)
{
    if (temperature == nullptr)
        return OZL_USB_INVALID_PARAM;
    Reply reply;
    if (Exchange(kFpaTemp, nullptr, 0, StatusCheck::Required, reply) != OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    *temperature = HundredthsToDegrees(reply.Data());
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::GetCameraTemp(float* temperature)
{
    if (temperature == nullptr)
        return OZL_USB_INVALID_PARAM;
    Reply reply;
    if (Exchange(kCameraTemp, nullptr, 0, StatusCheck::Required, reply) != OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    *temperature = HundredthsToDegrees(reply.Data());
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::GetFPASize(int* width, int* height)
{
    if (width == nullptr || height == nullptr)
        return OZL_USB_INVALID_PARAM;
    *width = m_width;
    *height = m_height;
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::GetTempUnit(int* unit)
{
    // The gate comes first: on an image-only stream the answer is "not
    // supported" whatever the output.
    if (m_frameMode != FRAME_MODE_IMAGE_TEMP)
        return OZL_USB_NOT_SUPPORTED;
    if (unit == nullptr)
        return OZL_USB_INVALID_PARAM;
    Reply reply;
    if (Exchange(kTempUnitGet, nullptr, 0, StatusCheck::Required, reply) != OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    *unit = reply.Data()[0];
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::SetTempUnit(int unit)
{
    if (m_frameMode != FRAME_MODE_IMAGE_TEMP)
        return OZL_USB_NOT_SUPPORTED;
    return SettingByte(kTempUnitSet, unit);
}

int UVCDevCtrl::GetImageLevel(int* level)
{
    if (level == nullptr)
        return OZL_USB_INVALID_PARAM;
    Reply reply;
    if (Exchange(kImageLevelGet, nullptr, 0, StatusCheck::Required, reply) != OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    *level = reply.Data()[0];
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::SetImageLevel(int level)
{
    return SettingByte(kImageLevelSet, level);
}

// ------------------------------------------------------------ environment

int UVCDevCtrl::GetEnvValue(uint8_t code, float* value)
{
    if (value == nullptr)
        return OZL_USB_INVALID_PARAM;
    Reply reply;
    if (Exchange(Command{kEnvGroup, code, 0x00, kShortTimeout}, nullptr, 0, StatusCheck::Required, reply) !=
        OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    *value = static_cast<float>(LittleEndian32(reply.Data())) / kEnvScale;
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::SetEnvValue(uint8_t code, int value)
{
    const uint32_t bits = static_cast<uint32_t>(value);
    const uint8_t arg[4] = {uint8_t(bits), uint8_t(bits >> 8), uint8_t(bits >> 16), uint8_t(bits >> 24)};
    return Setting(Command{kEnvGroup, code, 0x01, kShortTimeout}, arg, 4);
}

int UVCDevCtrl::GetAtmosTemp(float* value)
{
    return GetEnvValue(kAtmosTemp, value);
}
int UVCDevCtrl::SetAtmosTemp(int value)
{
    return SetEnvValue(kAtmosTemp, value);
}
int UVCDevCtrl::GetDistance(float* value)
{
    return GetEnvValue(kDistance, value);
}
int UVCDevCtrl::SetDistance(int value)
{
    return SetEnvValue(kDistance, value);
}
int UVCDevCtrl::GetEmissivity(float* value)
{
    return GetEnvValue(kEmissivity, value);
}
int UVCDevCtrl::SetEmissivity(int value)
{
    return SetEnvValue(kEmissivity, value);
}
int UVCDevCtrl::GetReflectedTemp(float* value)
{
    return GetEnvValue(kReflectedTemp, value);
}
int UVCDevCtrl::SetReflectedTemp(int value)
{
    return SetEnvValue(kReflectedTemp, value);
}
int UVCDevCtrl::GetTransmittance(float* value)
{
    return GetEnvValue(kTransmittance, value);
}
int UVCDevCtrl::SetTransmittance(int value)
{
    return SetEnvValue(kTransmittance, value);
}

namespace {

// The record's fields in wire order, with their single-parameter operations.
struct EnvField {
    float OZL_USB_ENV_PARAM::*field;
    int (UVCDevCtrl::*get)(float*);
    int (UVCDevCtrl::*set)(int);
};
constexpr EnvField kEnvFields[] = {
    {&OZL_USB_ENV_PARAM::atmosTemp, &UVCDevCtrl::GetAtmosTemp, &UVCDevCtrl::SetAtmosTemp},
    {&OZL_USB_ENV_PARAM::distance, &UVCDevCtrl::GetDistance, &UVCDevCtrl::SetDistance},
    {&OZL_USB_ENV_PARAM::emissivity, &UVCDevCtrl::GetEmissivity, &UVCDevCtrl::SetEmissivity},
    {&OZL_USB_ENV_PARAM::reflectedTemp, &UVCDevCtrl::GetReflectedTemp, &UVCDevCtrl::SetReflectedTemp},
    {&OZL_USB_ENV_PARAM::transmittance, &UVCDevCtrl::GetTransmittance, &UVCDevCtrl::SetTransmittance},
};

}  // namespace

int UVCDevCtrl::GetEnvParam(OZL_USB_ENV_PARAM* param)
{
    if (m_frameMode != FRAME_MODE_IMAGE_TEMP)
        return OZL_USB_NOT_SUPPORTED;
    if (param == nullptr)
        return OZL_USB_INVALID_PARAM;
    for (const EnvField& f : kEnvFields) {
        if ((this->*f.get)(&(param->*f.field)) != OZL_USB_SUCCESS)
            return OZL_USB_FAILURE;
    }
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::SetEnvParam(const OZL_USB_ENV_PARAM* param)
{
    if (m_frameMode != FRAME_MODE_IMAGE_TEMP)
        return OZL_USB_NOT_SUPPORTED;
    if (param == nullptr)
        return OZL_USB_INVALID_PARAM;
    for (const EnvField& f : kEnvFields) {
        if ((this->*f.set)(ScaleForWire(param->*f.field)) != OZL_USB_SUCCESS)
            return OZL_USB_FAILURE;
    }
    return OZL_USB_SUCCESS;
}

// ----------------------------------------------------------- image tuning

int UVCDevCtrl::GetImageParam(int type, int* value)
{
    if (value == nullptr)
        return OZL_USB_INVALID_PARAM;
    if (type < 0 || type >= kTuningCount)
        return OZL_USB_FAILURE;
    const TuningParam& p = kTuning[type];
    if (m_devFunc.*p.primaryFlag)
        return (this->*p.get)(0, value);
    if (m_devFunc.*p.alternateFlag)
        return (this->*p.get)(1, value);
    return OZL_USB_NOT_SUPPORTED;
}

int UVCDevCtrl::SetImageParam(int type, int value)
{
    if (type < 0 || type >= kTuningCount)
        return OZL_USB_FAILURE;
    const TuningParam& p = kTuning[type];
    if (m_devFunc.*p.primaryFlag)
        return (this->*p.set)(0, value);
    if (m_devFunc.*p.alternateFlag)
        return (this->*p.set)(1, value);
    return OZL_USB_NOT_SUPPORTED;
}

int UVCDevCtrl::GetTuning(int type, int variant, int* value)
{
    if (value == nullptr)
        return OZL_USB_INVALID_PARAM;
    const TuningParam& p = kTuning[type];
    const uint8_t code = variant == 0 ? p.primary : p.alternate;
    if (code == kNoCode)
        return OZL_USB_NOT_SUPPORTED;
    Reply reply;
    if (Exchange(Command{kTuningGroup, code, 0x00, kShortTimeout}, nullptr, 0, StatusCheck::Required, reply) !=
        OZL_USB_SUCCESS)
        return OZL_USB_FAILURE;
    *value = p.width == 2 ? LittleEndian16(reply.Data()) : reply.Data()[0];
    return OZL_USB_SUCCESS;
}

int UVCDevCtrl::SetTuning(int type, int variant, int value)
{
    const TuningParam& p = kTuning[type];
    const uint8_t code = variant == 0 ? p.primary : p.alternate;
    if (code == kNoCode)
        return OZL_USB_NOT_SUPPORTED;
    const uint8_t arg[2] = {uint8_t(value), uint8_t(value >> 8)};
    return Setting(Command{kTuningGroup, code, p.setOp, kShortTimeout}, arg, p.width);
}

int UVCDevCtrl::GetDetail(int variant, int* value)
{
    return GetTuning(kDetail, variant, value);
}
int UVCDevCtrl::SetDetail(int variant, int value)
{
    return SetTuning(kDetail, variant, value);
}
int UVCDevCtrl::GetSpatialDenoising(int variant, int* value)
{
    return GetTuning(kSpatialDenoising, variant, value);
}
int UVCDevCtrl::SetSpatialDenoising(int variant, int value)
{
    return SetTuning(kSpatialDenoising, variant, value);
}
int UVCDevCtrl::GetContrast(int variant, int* value)
{
    return GetTuning(kContrast, variant, value);
}
int UVCDevCtrl::SetContrast(int variant, int value)
{
    return SetTuning(kContrast, variant, value);
}
int UVCDevCtrl::GetBrightness(int variant, int* value)
{
    return GetTuning(kBrightness, variant, value);
}
int UVCDevCtrl::SetBrightness(int variant, int value)
{
    return SetTuning(kBrightness, variant, value);
}
int UVCDevCtrl::GetTimeDenoising(int variant, int* value)
{
    return GetTuning(kTimeDenoising, variant, value);
}
int UVCDevCtrl::SetTimeDenoising(int variant, int value)
{
    return SetTuning(kTimeDenoising, variant, value);
}
int UVCDevCtrl::GetDynamicRange(int variant, int* value)
{
    return GetTuning(kDynamicRange, variant, value);
}
int UVCDevCtrl::SetDynamicRange(int variant, int value)
{
    return SetTuning(kDynamicRange, variant, value);
}
