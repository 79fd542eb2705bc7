// emissivity.h - a reading corrected to another emissivity than the camera's.
#pragma once

#include <vivaclient/temperature_unit.h>

#include <cstdint>

namespace vivaclient {

// The camera's global radiometric values a reading is corrected from, in
// the camera's temperature unit.
struct CameraRadiometry {
    double emissivity = 1;
    double reflectedTemp = 0;
    TemperatureUnit unit;
};

// The broadband (Stefan-Boltzmann) emissivity correction. The camera turned
// the radiance it measured into `reading` assuming `camera.emissivity` and
// the reflected temperature Tr; an object of emissivity e seen through the
// same atmosphere gives the same radiance at the temperature T with
//
//     e T^4 + (1 - e) Tr^4 = ec Tc^4 + (1 - ec) Tr^4     (kelvins)
//     T = ((ec Tc^4 - (ec - e) Tr^4) / e)^(1/4)
//
// The atmosphere's own radiation and the transmittance act on both sides
// alike and cancel. Returns T in the camera's unit; the unit must be
// declared (Celsius, Fahrenheit or Kelvin). Where the right-hand side is
// below zero (a reading colder than the reflection allows) it gives
// absolute zero; a reading at or below absolute zero is returned as it is.
// The live page's rectangle does the same in JavaScript
// (web/live-view/emissivity.js); tests compare the two.
double CorrectEmissivity(double reading, double emissivity, const CameraRadiometry& camera);

// The same on the library's tenths of a degree: the corrected value rounded
// to the nearest tenth (halves away from zero), kept inside int16.
int16_t CorrectEmissivityTenths(int16_t tenths, double emissivity, const CameraRadiometry& camera);

}  // namespace vivaclient
