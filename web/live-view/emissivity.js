// The broadband emissivity correction of the client layer
// (client/emissivity.h, CorrectEmissivity and CorrectEmissivityTenths), for
// the rectangle's own emissivity. The same formula, step by step, so that the
// page and the tool agree to the tenth; tests/tool/serve/emissivity_test.py
// compares the two on a table of readings.
'use strict';

// Kelvins from the camera's unit (its symbol: "degC", "degF", "K") and back.
function toKelvin(t, symbol) {
  return symbol === 'degF' ? ((t - 32) * 5) / 9 + 273.15 : symbol === 'K' ? t : t + 273.15;
}

function fromKelvin(k, symbol) {
  return symbol === 'degF' ? ((k - 273.15) * 9) / 5 + 32 : symbol === 'K' ? k : k - 273.15;
}

// `reading` in the camera's unit, taken by the camera with emissivity
// `camera.emissivity` and reflected temperature `camera.reflectedTemp`, as
// an object of `emissivity` would read: T^4 = (ec Tc^4 - (ec - e) Tr^4) / e
// in kelvins.
function correctEmissivity(reading, emissivity, camera) {
  const tc = toKelvin(reading, camera.unit);
  if (!(tc > 0)) return reading;  // no radiance to correct
  const tr = toKelvin(camera.reflectedTemp, camera.unit);
  const ec = camera.emissivity;
  const fourth = (ec * Math.pow(tc, 4) - (ec - emissivity) * Math.pow(tr, 4)) / emissivity;
  return fromKelvin(fourth > 0 ? Math.pow(fourth, 0.25) : 0, camera.unit);
}

// The same on tenths of a degree, rounded as C++'s std::round (halves away
// from zero) and kept inside int16.
function correctEmissivityTenths(tenths, emissivity, camera) {
  const t = correctEmissivity(tenths / 10, emissivity, camera) * 10;
  const rounded = Math.sign(t) * Math.round(Math.abs(t));
  return Math.min(32767, Math.max(-32768, rounded));
}

if (typeof module !== 'undefined') module.exports = { correctEmissivity, correctEmissivityTenths };
