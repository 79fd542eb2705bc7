#!/usr/bin/python3
"""Figures of the shutter correction policy under the virtual camera's drift
(not run by CTest).

  bench/shutter_figures.py [--build build] [--plot docs/shutter-drift.png]

The virtual camera drifts (--drift 0.3: its FPA cools and readings rise 0.3
degrees a minute, plus a fixed pattern growing with the time since the last
correction) with its time running 20 times as fast, so 30 s of recording are
ten simulated minutes. The shutter shows a 15 C flat field for 0.5 s. Three
recordings of the mug (a steady 58.0 C) at 10 fps: no policy,
--shutter-every 3 (one simulated minute) and --shutter-on-drift 0.25 (the FPA
is read every 2 s, 40 simulated seconds).

For each: the worst error of the mug's region mean over the frames a front
end measures (frames flagged shutter or settling hold the last good value),
and the alarms an --alarm-below and an --alarm-above one degree outside the
mug's true range would raise, with the flags and with them ignored (every
frame measured). The alarm rule is the tool's: the region's maximum, raised
beyond the threshold, cleared one degree (the default hysteresis) back.

Needs /usr/bin/python3 with numpy, tifffile and matplotlib (Debian's
python3-numpy, python3-tifffile, python3-matplotlib).
"""
import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile

import numpy
import tifffile

TIME_SCALE = 20
SECONDS = 30
TRUTH = 58.0  # the mug's inside, in the virtual camera's scene
REGION = (145, 100, 16, 30)  # x, y, width, height: inside the mug at 256x192
CAMERA = ["--drift", "0.3", "--time-scale", str(TIME_SCALE), "--fps", "10", "--shutter-time", "500",
          "--shutter-look", "flat"]
CASES = [("no policy", []), ("--shutter-every 3", ["--shutter-every", "3"]),
         ("--shutter-on-drift 0.25", ["--shutter-on-drift", "0.25"])]


def record(build, folder, name, policy):
    path = os.path.join(folder, name.replace(" ", "_").strip("-") + ".tiff")
    command = [os.path.join(build, "bin", "vivazuzoz-vcam")] + CAMERA + [
        "--", os.path.join(build, "bin", "vivazuzoz"), "record", "-o", path, "--seconds", str(SECONDS)] + policy
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return path


def frames(path):
    """Per frame: simulated minutes, the region's mean and max (degrees), and whether it is flagged."""
    x, y, w, h = REGION
    out = []
    with tifffile.TiffFile(path) as tif:
        for page in tif.pages[1::2]:  # the temperature pages
            d = json.loads(page.description)
            t = page.asarray()[y:y + h, x:x + w] / 10.0
            out.append((d["time"] * TIME_SCALE / 60.0, float(t.mean()), float(t.max()),
                        bool(d.get("shutter") or d.get("settling"))))
    return out


def held(series, flags=True):
    """The readings a front end reports: flagged frames hold the last good value."""
    readings, last = [], None
    for minutes, mean, peak, flagged in series:
        if not (flags and flagged) or last is None:
            last = (mean, peak)
        readings.append((minutes,) + last)
    return readings


def alarms(readings, threshold, below, hysteresis=1.0):
    raised, count = False, 0
    for _, _, peak in readings:
        if not raised and (peak < threshold if below else peak > threshold):
            raised, count = True, count + 1
        elif raised and (peak >= threshold + hysteresis if below else peak <= threshold - hysteresis):
            raised = False
    return count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--plot", default="docs/shutter-drift.png")
    args = parser.parse_args()
    results = []
    with tempfile.TemporaryDirectory() as folder:
        for name, policy in CASES:
            series = frames(record(args.build, folder, name, policy))
            results.append((name, series))
            os.remove(os.path.join(folder, name.replace(" ", "_").strip("-") + ".tiff"))
    print("Ten simulated minutes, drift 0.3 degrees a minute; the mug reads %.1f C" % TRUTH)
    print("%-26s %12s %11s %24s %24s" % ("policy", "worst error", "corrections", "alarms below 57 (flags/none)",
                                         "above 59 (flags/none)"))
    for name, series in results:
        with_flags, without = held(series), held(series, flags=False)
        worst = max(abs(mean - TRUTH) for _, mean, _ in with_flags)
        corrections = sum(1 for i in range(1, len(series)) if series[i][3] and not series[i - 1][3])
        print("%-26s %10.2f C %11d %15d / %-8d %15d / %-8d" % (
            name, worst, corrections, alarms(with_flags, TRUTH - 1, True), alarms(without, TRUTH - 1, True),
            alarms(with_flags, TRUTH + 1, False), alarms(without, TRUTH + 1, False)))
    plot(results, args.plot)
    print("plot:", args.plot)


def plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(8, 4.2), dpi=100)
    for name, series in results:
        readings = held(series)
        ax.plot([r[0] for r in readings], [r[1] for r in readings], label=name, linewidth=1.4)
    name, series = results[1]
    raw = held(series, flags=False)
    ax.plot([r[0] for r in raw], [r[1] for r in raw], color="0.6", linewidth=0.6, zorder=0,
            label=name + ", flags ignored")
    ax.axhline(TRUTH, color="black", linestyle="--", linewidth=0.8, label="true %.1f C" % TRUTH)
    ax.set_ylim(TRUTH - 4, TRUTH + 4.5)
    ax.set_xlabel("simulated minutes")
    ax.set_ylabel("mug region mean, C")
    ax.set_title("A steady object under detector drift, with and without a correction policy")
    ax.legend(loc="upper left", fontsize=8)
    ax.grid(alpha=0.3)
    fig.tight_layout()
    pathlib.Path(path).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path)


if __name__ == "__main__":
    sys.exit(main())
