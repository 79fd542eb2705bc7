// Arbitrary replies, delivered whole, in a first piece or not at all, to
// every command of the camera. Each command must answer a documented code,
// write its output only on success, and never read or write out of bounds.
#include "ScriptedCamera.h"

#include <cmath>

namespace {

constexpr int kUntouched = -12345;

void Check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

bool Documented(int result) { return result >= OZL_USB_SUCCESS && result <= OZL_USB_INVALID_PARAM; }

// Runs one command chosen by `which`; its arguments come from the input.
void RunCommand(ScriptedCamera& cam, FuzzInput& in, uint8_t which)
{
    int value = kUntouched;
    float number = -1.0f;
    int result = OZL_USB_SUCCESS;
    bool wroteInt = false;
    bool wroteFloat = false;
    const int arg = static_cast<int16_t>(in.Word());
    switch (which % 20) {
    case 0: result = cam.CorrectShutter(); break;
    case 1: result = cam.GetPalleteType(&value); wroteInt = true; break;
    case 2: result = cam.SetPalleteType(arg); break;
    case 3: result = cam.GetTempLevel(&value); wroteInt = true; break;
    case 4: result = cam.SetTempLevel(arg); break;
    case 5: result = cam.GetFPATemp(&number); wroteFloat = true; break;
    case 6: result = cam.GetCameraTemp(&number); wroteFloat = true; break;
    case 7: result = cam.GetTempUnit(&value); wroteInt = true; break;
    case 8: result = cam.SetTempUnit(arg); break;
    case 9: result = cam.GetImageLevel(&value); wroteInt = true; break;
    case 10: result = cam.SetImageLevel(arg); break;
    case 11: result = cam.GetImageParam(arg % 8, &value); wroteInt = true; break;
    case 12: result = cam.SetImageParam(arg % 8, arg); break;
    case 13: {
        OZL_USB_ENV_PARAM env = {-1, -1, -1, -1, -1};
        result = cam.GetEnvParam(&env);
        if (result == OZL_USB_SUCCESS)
            Check(std::isfinite(env.atmosTemp) && std::isfinite(env.transmittance));
        break;
    }
    case 14: {
        OZL_USB_ENV_PARAM env;
        float* fields[] = {&env.atmosTemp, &env.distance, &env.emissivity, &env.reflectedTemp, &env.transmittance};
        for (float* f : fields) {
            const uint16_t bits = in.Word();
            *f = bits == 0xFFFF ? NAN : static_cast<float>(static_cast<int16_t>(bits)) * 1e3f;
        }
        result = cam.SetEnvParam(&env);
        break;
    }
    case 15: cam.GetDevFunc(); break;
    case 16: cam.GetTempFormula(); break;
    case 17: {
        int w = kUntouched, h = kUntouched;
        result = cam.GetFPASize(&w, &h);
        Check(result == OZL_USB_SUCCESS && w == 0 && h == 0);
        break;
    }
    case 18: {
        char buf[600];
        int received = kUntouched;
        result = cam.UVCDevCtrl::ReadPort(buf, arg, &received, 0);  // the real port: closed, so it fails
        Check(result == OZL_USB_FAILURE);
        break;
    }
    default: {
        char request[8] = {};
        result = cam.UVCDevCtrl::WritePort(request, 8);  // the real port: closed
        Check(result == OZL_USB_FAILURE);
        break;
    }
    }
    Check(Documented(result));
    if (result != OZL_USB_SUCCESS) {
        // Nothing is written on failure.
        if (wroteInt)
            Check(value == kUntouched);
        if (wroteFloat)
            Check(number == -1.0f);
    } else {
        if (wroteInt)
            Check(value >= 0 && value <= 0xFFFF);
        if (wroteFloat)
            Check(number >= -327.68f && number <= 327.67f);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    ScriptedCamera cam(in);
    // The stream's layout and the capability report decide which commands
    // pass their gates.
    const uint8_t setup = in.Byte();
    cam.m_frameMode = setup % 3;
    const uint16_t caps = in.Word();
    bool* flags[] = {&cam.m_devFunc.detail,        &cam.m_devFunc.spatialDenoising,    &cam.m_devFunc.contrast,
                     &cam.m_devFunc.brightness,    &cam.m_devFunc.timeDenoising,       &cam.m_devFunc.dynamicRange,
                     &cam.m_devFunc.detailAlt,     &cam.m_devFunc.spatialDenoisingAlt, &cam.m_devFunc.contrastAlt,
                     &cam.m_devFunc.brightnessAlt, &cam.m_devFunc.timeDenoisingAlt,    &cam.m_devFunc.dynamicRangeAlt};
    for (int i = 0; i < 12; ++i)
        *flags[i] = (caps >> i) & 1;
    for (int commands = 0; commands < 64 && !in.Empty(); ++commands)
        RunCommand(cam, in, in.Byte());
    return 0;
}
