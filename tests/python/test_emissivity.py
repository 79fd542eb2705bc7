"""The emissivity correction in Python and on the live page: the client
layer's formula (emissivity.h) through the module, checked against values
worked out by hand, and the page's JavaScript (web/live-view/emissivity.js,
run by node) against it on a table of readings, units and emissivities."""

import json
import os
import shutil
import subprocess

import numpy
import pytest

import vivazuzoz

PAGE_SCRIPT = os.path.join(os.path.dirname(__file__), "..", "..", "web", "live-view", "emissivity.js")


def test_python_corrects_by_the_broadband_formula():
    # 110 °C read at emissivity 0.95 with 25 °C reflected, for an object of
    # 0.5: ((0.95*383.15^4 - 0.45*298.15^4) / 0.5)^(1/4) - 273.15 = 155.74.
    temps = numpy.array([[110.0, 25.0], [-20.0, 300.0]])
    out = vivazuzoz.correct_emissivity(temps, 0.5, 0.95, 25.0, "degC")
    assert out.shape == (2, 2)
    assert out[0, 0] == pytest.approx(155.74, abs=0.01)
    assert out[0, 1] == pytest.approx(25.0, abs=1e-9)  # the reflection itself is unchanged
    assert out[1, 0] < -20.0  # colder than the reflection: lower still
    # The camera's own emissivity changes nothing.
    assert numpy.allclose(vivazuzoz.correct_emissivity(temps, 0.95, 0.95, 25.0, "degC"), temps, atol=1e-9)
    # Fahrenheit and kelvins: the same object, in their units; the unit may
    # be a TemperatureUnit.
    fahrenheit = vivazuzoz.TemperatureUnit(1, "degF", "Fahrenheit", "\u00b0F")
    assert float(vivazuzoz.correct_emissivity(230.0, 0.5, 0.95, 77.0, fahrenheit)) == pytest.approx(
        155.74 * 9 / 5 + 32, abs=0.02)
    assert float(vivazuzoz.correct_emissivity(383.15, 0.5, 0.95, 298.15, "K")) == pytest.approx(155.74 + 273.15,
                                                                                            abs=0.01)
    with pytest.raises(ValueError, match="unit"):
        vivazuzoz.correct_emissivity(temps, 0.5, 0.95, 25.0, "unit 3")
    with pytest.raises(ValueError):
        vivazuzoz.correct_emissivity(temps, 0.0, 0.95, 25.0, "degC")


def test_the_page_corrects_as_the_client_layer_does():
    node = shutil.which("node") or shutil.which("nodejs")
    if not node:
        message = "node is not installed (scripts/install-deps.sh --tests installs nodejs)"
        if os.environ.get("CI", "").lower() not in ("", "0", "false", "no"):
            pytest.fail(message + "; CI=true, so this test may not be skipped")
        pytest.skip(message)
    readings = [t / 10 for t in range(-2800, 15001, 37)]
    cases = []
    for unit, reflected in (("degC", 25.0), ("degF", 77.0), ("K", 298.15)):
        for camera_e, e in ((0.95, 0.5), (0.95, 0.95), (1.0, 0.1), (0.3, 1.0)):
            cases.append((unit, reflected, camera_e, e))
    script = """
const { correctEmissivity } = require(%s);
const [readings, cases] = JSON.parse(require('fs').readFileSync(0, 'utf8'));
console.log(JSON.stringify(cases.map(([unit, reflectedTemp, emissivity, e]) =>
  readings.map((t) => correctEmissivity(t, e, { emissivity, reflectedTemp, unit })))));
""" % json.dumps(os.path.abspath(PAGE_SCRIPT))
    page = json.loads(subprocess.run([node, "-e", script], input=json.dumps([readings, cases]), text=True,
                                     capture_output=True, check=True, timeout=60).stdout)
    for (unit, reflected, camera_e, e), values in zip(cases, page):
        expected = vivazuzoz.correct_emissivity(numpy.array(readings), e, camera_e, reflected, unit)
        assert numpy.allclose(values, expected, rtol=0, atol=1e-9), (unit, camera_e, e)
