#include <vivaclient/emissivity.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace vivaclient {

namespace {

// Kelvins from the camera's unit and back.
double ToKelvin(double t, const std::string& symbol)
{
    return symbol == "degF" ? (t - 32) * 5 / 9 + 273.15 : symbol == "K" ? t : t + 273.15;
}

double FromKelvin(double k, const std::string& symbol)
{
    return symbol == "degF" ? (k - 273.15) * 9 / 5 + 32 : symbol == "K" ? k : k - 273.15;
}

}  // namespace

double CorrectEmissivity(double reading, double emissivity, const CameraRadiometry& camera)
{
    const std::string& unit = camera.unit.symbol;
    const double tc = ToKelvin(reading, unit);
    if (!(tc > 0))
        return reading;  // no radiance to correct
    const double tr = ToKelvin(camera.reflectedTemp, unit);
    const double ec = camera.emissivity;
    const double fourth = (ec * std::pow(tc, 4) - (ec - emissivity) * std::pow(tr, 4)) / emissivity;
    return FromKelvin(fourth > 0 ? std::pow(fourth, 0.25) : 0.0, unit);
}

int16_t CorrectEmissivityTenths(int16_t tenths, double emissivity, const CameraRadiometry& camera)
{
    const double t = std::round(CorrectEmissivity(tenths / 10.0, emissivity, camera) * 10);
    return static_cast<int16_t>(std::clamp(t, -32768.0, 32767.0));
}

}  // namespace vivaclient
