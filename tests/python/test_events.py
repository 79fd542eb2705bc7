# What happens to a camera, as Python hears it: the event feed (callback and
# Camera.events()), Disconnected naming the loss, the gap mark on frames, and
# the library's own lines in the "vivazuzoz" logger instead of on stderr.
import ctypes
import logging
import threading
import time

import pytest

import vivazuzoz
from conftest import eventually


def test_the_feed_across_an_unplug_says_lost_and_back_and_frames_mark_the_gap(vcam, open_camera):
    vcam.add_camera()
    heard = []
    cam = open_camera(0, reconnect=True, on_event=heard.append)
    before = cam.read(timeout=5)
    assert not before.after_gap
    vcam.unplug(0)
    assert eventually(lambda: [e.kind for e in heard] == ["opened", "lost"])
    lost = heard[1]
    assert "lost" in lost.message and lost.camera.usb_port in lost.message
    with pytest.raises(vivazuzoz.Disconnected) as away:
        cam.palette
    assert away.value.event == "lost" and away.value.code == 1001 and lost.message in str(away.value)

    vcam.replug(0)
    first = cam.read(timeout=30)
    while not first.after_gap:  # frames of the old camera may still have been on their way
        assert first.sequence < lost.sequence
        first = cam.read(timeout=30)
    after = cam.read(timeout=5)
    assert first.sequence >= lost.sequence > before.sequence  # numbered on across the gap
    assert after.sequence > first.sequence and not after.after_gap
    assert cam.palette == 0

    cam.close()
    kinds = [e.kind for e in heard]
    assert kinds == ["opened", "lost", "opened", "back", "closed"], kinds
    back = heard[3]
    # Away from the last frame before the loss, which came after `before`, to the reopen.
    assert 0 < back.gap <= back.monotonic - before.timestamp
    assert back.camera.usb_port == lost.camera.usb_port and back.camera.video_path != lost.camera.video_path
    assert all(a.monotonic <= b.monotonic for a, b in zip(heard, heard[1:]))
    assert abs(heard[0].time - time.time()) < 3600  # the wall clock, not the frames' clock
    # The same feed, taken from the camera instead.
    assert cam.events() == heard
    assert cam.events() == []


def test_without_reconnect_an_unplug_or_a_frozen_camera_ends_it_and_disconnected_names_why(vcam, open_camera):
    vcam.add_camera()
    vcam.add_camera()
    unplugged = open_camera(0)
    unplugged.read(timeout=5)
    vcam.unplug(0)
    with pytest.raises(vivazuzoz.Disconnected) as gone:
        while True:
            unplugged.read(timeout=30)
    assert gone.value.event == "lost" and "Camera.read: the camera was lost" in str(gone.value)
    assert [e.kind for e in unplugged.events()] == ["opened", "lost", "closed"]

    frozen = open_camera(vcam.video_path(1))  # camera 0 is gone from the search
    frozen.read(timeout=5)
    vcam.stall(1, 3600)
    with pytest.raises(vivazuzoz.Disconnected) as quiet:
        while True:  # the library counts a camera without frames for 3 s as lost
            frozen.read(timeout=30)
    assert quiet.value.event in ("lost", "stalled"), str(quiet.value)
    assert [e.kind for e in frozen.events(timeout=5)][1:] == [quiet.value.event, "closed"]
    with pytest.raises(vivazuzoz.Disconnected):
        frozen.shutter()


def test_an_event_callback_may_search_and_close_its_camera(vcam, open_camera):
    vcam.add_camera()
    closed_in_callback = threading.Event()
    found_in_callback = []

    def search_when_opened_close_when_lost(event):
        if event.kind == "opened":  # heard on the opening thread, once the open is done
            found_in_callback.append(len(vivazuzoz.search()))
        if event.kind == "lost":
            cam.close()
            closed_in_callback.set()

    cam = open_camera(0, reconnect=True, on_event=search_when_opened_close_when_lost)
    assert found_in_callback == [1]
    cam.read(timeout=5)
    vcam.unplug(0)
    assert closed_in_callback.wait(30)
    assert eventually(lambda: cam.closed)
    with pytest.raises(vivazuzoz.InvalidParam):
        cam.read(timeout=1)
    vcam.replug(0)  # nothing reopens it
    assert eventually(lambda: not vcam.video_open(0))
    with pytest.raises(TypeError):
        vivazuzoz.Camera(0, on_event=42)


def test_the_library_lines_of_an_unplug_go_to_the_logger_not_to_stderr(vcam, open_camera, capfd, caplog):
    caplog.set_level(logging.DEBUG, logger="vivazuzoz")
    vcam.add_camera()
    cam = open_camera()
    cam.read(timeout=5)
    vcam.unplug(0)
    with pytest.raises(vivazuzoz.Disconnected):
        while True:
            cam.read(timeout=30)
    cam.close()
    # What the rest of the process writes to the C streams still goes out,
    # and their descriptors are still the real ones.
    libc = ctypes.CDLL(None)
    c_stderr = ctypes.c_void_p.in_dll(libc, "stderr")
    libc.fputs(b"written by another extension\n", c_stderr)
    libc.fflush(c_stderr)
    assert libc.fileno(c_stderr) == 2
    out, err = capfd.readouterr()
    assert out == "" and "VIDIOC" not in err, err
    assert "written by another extension" in err
    logged = "\n".join(r.getMessage() for r in caplog.records if r.name == "vivazuzoz")
    assert "VIDIOC_DQBUF error 19" in logged  # the read thread's failure line
    assert "Set format success" in logged  # the open's progress lines


def test_a_shutter_correction_flags_its_frames_and_is_heard_as_two_events(vcam, open_camera):
    vcam.add_camera(shutter_ms=400, flat_shutter=True)
    heard = []
    cam = open_camera(0, on_event=heard.append)
    assert not cam.read(timeout=5).shutter
    done = threading.Event()
    threading.Thread(target=lambda: (cam.shutter(), done.set())).start()
    frames = []
    while not done.is_set() or len(frames) < 40:
        f = cam.read(timeout=5)
        frames.append((f.shutter, f.settling, bool((f.raw_temperature == f.raw_temperature[0, 0]).all())))
    assert any(shutter for shutter, _, _ in frames)
    assert any(settling for _, settling, _ in frames)
    assert all(shutter for shutter, _, flat in frames if flat)  # the flat shutter is never taken for the scene
    assert not any(shutter and settling for shutter, settling, _ in frames)
    kinds = [e.kind for e in heard]
    assert kinds.count("shutter-start") == 1 and kinds.count("shutter-end") == 1, kinds


def test_the_shutter_policy_corrects_on_its_schedule(vcam, open_camera):
    vcam.add_camera(shutter_ms=100)
    heard = []
    open_camera(0, on_event=heard.append, shutter_every=1, shutter_settle=0.5)
    assert eventually(lambda: [e.kind for e in heard].count("shutter-end") >= 2, limit=15)
    with pytest.raises(ValueError):
        vivazuzoz.Camera(0, shutter_every=-1)
