# Finding cameras and reading their frames as numpy arrays, with the virtual
# camera's scene as the oracle for the temperatures.
import os
import re
import subprocess
import sys
import time

import numpy as np
import pytest

import vivazuzoz


def test_search_reports_every_camera_with_its_paired_nodes_and_opens_by_index_info_or_path(vcam, open_camera):
    vcam.add_camera(name="Left")
    vcam.add_camera(width=384, height=288, name="Right")

    found = vivazuzoz.search()
    assert [(i.index, i.name) for i in found] == [(0, "Left"), (1, "Right")]
    for i, info in enumerate(found):
        assert info.video_path == vcam.video_path(i)
        assert info.serial_path == vcam.serial_path(i)

    by_index = open_camera(1)
    assert (by_index.width, by_index.height, by_index.info) == (384, 288, found[1])
    by_index.close()
    assert open_camera(found[1]).width == 384
    # The command port names the camera, whatever its index.
    by_port = open_camera(vcam.serial_path(0))
    assert (by_port.width, by_port.info.name) == (256, "Left")

    with pytest.raises(vivazuzoz.OpenFailed) as failed:
        vivazuzoz.Camera(2)
    assert failed.value.code == 4 and "index 2" in str(failed.value)
    with pytest.raises(vivazuzoz.OpenFailed):
        vivazuzoz.Camera("/dev/no-such-node")


def test_a_radiometric_frame_has_the_scenes_temperatures_in_float32_degrees(vcam, open_camera):
    vcam.add_camera(width=384, height=288)
    started = time.monotonic()
    cam = open_camera()
    assert cam.radiometric

    frame = cam.read(timeout=5)
    assert frame.timestamp >= started and frame.timestamp <= time.monotonic()
    assert frame.image.dtype == np.uint16 and frame.image.shape == (288, 384)
    assert frame.raw_temperature.dtype == np.int16 and frame.raw_temperature.shape == (288, 384)
    assert frame.temperature.dtype == np.float32 and frame.temperature.shape == (288, 384)
    np.testing.assert_array_equal(frame.temperature, frame.raw_temperature.astype(np.float32) / np.float32(10))

    compared = 0
    for y in range(0, 288, 7):
        for x in range(0, 384, 5):
            if vcam.is_static(0, x, y):
                assert frame.raw_temperature[y, x] == vcam.scene_tenths(0, x, y), (x, y)
                compared += 1
    assert compared > 1000
    hx, hy = vcam.hotspot(0)
    assert frame.temperature[hy, hx] == np.float32(vcam.scene_tenths(0, hx, hy) / 10)
    assert np.unravel_index(np.argmax(frame.temperature), frame.temperature.shape) != (0, 0)

    # Each read is a newer frame than the last, and a frame kept is not
    # changed by the ones read after it (the moving object changes the image).
    kept = frame.image.copy(), frame.raw_temperature.copy(), frame.temperature.copy()
    later = [cam.read(timeout=5) for _ in range(12)]
    assert all(b.sequence > a.sequence and b.timestamp > a.timestamp for a, b in zip([frame] + later, later))
    assert any((f.image != kept[0]).any() for f in later)
    for array, copy in zip((frame.image, frame.raw_temperature, frame.temperature), kept):
        np.testing.assert_array_equal(array, copy)


def test_an_image_only_stream_has_no_temperature_and_refuses_temperature_settings(vcam, open_camera):
    vcam.add_camera(width=640, height=512, with_temp=False)
    cam = open_camera()
    assert (cam.width, cam.height, cam.radiometric) == (640, 512, False)
    frame = cam.read(timeout=5)
    assert frame.image.dtype == np.uint16 and frame.image.shape == (512, 640)
    assert frame.temperature is None and frame.raw_temperature is None
    assert frame.image.max() > frame.image.min()  # a scene, not a blank buffer
    for read_setting in (lambda: cam.temp_level, lambda: cam.temp_unit, lambda: cam.env):
        with pytest.raises(vivazuzoz.NotSupported) as refused:
            read_setting()
        assert refused.value.code == 2
    assert cam.palette == 0  # the rest still works


def test_frames_yields_the_count_asked_each_newer_than_the_last(vcam, open_camera):
    vcam.add_camera()
    cam = open_camera()
    frames = list(cam.frames(count=5, timeout=5))
    assert len(frames) == 5
    sequences = [f.sequence for f in frames]
    assert sequences == sorted(set(sequences))
    assert list(cam.frames(count=0)) == []
    with pytest.raises(vivazuzoz.InvalidParam):
        cam.frames(count=-1)


def test_the_hotspot_example_prints_the_scenes_hottest_point_for_each_frame(vcam):
    vcam.add_camera()  # the scene depends on the size only: the example's camera has the same
    hottest = vcam.scene_tenths(0, *vcam.hotspot(0))
    example = os.path.join(os.environ["VIVAZUZOZ_EXAMPLES"], "hotspot.py")
    run = subprocess.run([os.environ["VIVAZUZOZ_VCAM_RUN"], "--", sys.executable, example, "-n", "3", "--no-window"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0] == "Virtual Thermal Camera: 256x192, image and temperature"
    assert len(lines) == 4
    for line in lines[1:]:
        printed = re.fullmatch(r"frame \d+: hottest x (\d+), y (\d+) \((\d+\.\d) degrees\)", line)
        assert printed, line
        x, y, degrees = int(printed[1]), int(printed[2]), float(printed[3])
        assert vcam.scene_tenths(0, x, y) == hottest and degrees == hottest / 10, line
