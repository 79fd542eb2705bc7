# Threads, unplug, slow consumers, collection and interpreter exit.
import gc
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import vivazuzoz
from conftest import eventually, rss_bytes


def test_other_python_threads_run_while_read_or_a_command_waits(vcam, open_camera):
    vcam.add_camera()
    cam = open_camera()
    cam.read(timeout=5)
    vcam.stall(0, 3600)  # no frame until the helper resumes the camera

    def resume_once_read_waits():
        # Runs only if read let go of the interpreter lock.
        if eventually(lambda: cam._waiting_readers == 1, limit=60):
            vcam.stall(0, 0)

    helper = threading.Thread(target=resume_once_read_waits)
    helper.start()
    try:
        frame = cam.read(timeout=60)
    finally:
        vcam.stall(0, 0)
        helper.join()
    assert frame.image.shape == (192, 256)

    # A command waiting for its reply: only this thread can give it one.
    vcam.set_port_fault(0, "silence")
    sent = vcam.request_count(0)
    outcome = []
    shutter = threading.Thread(target=lambda: outcome.append(cam.shutter()))
    shutter.start()
    try:
        assert eventually(lambda: vcam.request_count(0) > sent)
        assert cam.read(timeout=5).sequence > frame.sequence
        vcam.inject_port_bytes(0, SHUTTER_ACKNOWLEDGED)
    finally:
        shutter.join()
    assert outcome == [None], "the shutter command did not see the reply sent while it waited"


# The camera's reply to a shutter request: head, length, code, status, ack,
# checksum, tail.
SHUTTER_ACKNOWLEDGED = bytes([0x55, 0x04, 0x11, 0x33, 0x01, 0x9E, 0xEB, 0xAA])


def test_closing_from_another_thread_ends_frames_and_wakes_a_waiting_read(vcam, open_camera):
    vcam.add_camera()
    cam = open_camera()
    got = []

    def consume():
        for frame in cam.frames(timeout=60):
            got.append(frame.sequence)

    consumer = threading.Thread(target=consume)
    consumer.start()
    assert eventually(lambda: len(got) >= 3)
    cam.close()
    consumer.join(60)
    assert not consumer.is_alive()
    assert got == sorted(got)

    # A read blocked on a stalled camera ends with the close, not its time-out.
    vcam.add_camera()
    stalled = open_camera(1)
    stalled.read(timeout=5)
    vcam.stall(1, 3600)
    # Frames already on their way when the stall began still arrive (a busy
    # machine can hold up a few); then a read times out.
    timed_out = None
    for _ in range(10):
        try:
            stalled.read(timeout=0.1)
        except vivazuzoz.Timeout as e:
            timed_out = e
            break
    assert timed_out is not None, "reads kept returning frames from a stalled camera"
    assert timed_out.code == 1 and isinstance(timed_out, TimeoutError)
    outcome = []

    def wait():
        try:
            stalled.read(timeout=60)
        except vivazuzoz.Error as e:
            outcome.append(e)

    reader = threading.Thread(target=wait)
    reader.start()
    assert eventually(lambda: stalled._waiting_readers == 1)
    stalled.close()
    reader.join(60)
    assert len(outcome) == 1 and isinstance(outcome[0], vivazuzoz.InvalidParam), outcome


def test_an_unplug_during_frames_raises_disconnected_at_once_and_close_still_works(vcam, open_camera):
    vcam.add_camera()
    vcam.add_camera()
    cam = open_camera(0)
    other = open_camera(1)
    codes = []
    reported = threading.Event()
    cam.on_exception(lambda code: (codes.append(code), reported.set()))

    seen = 0
    with pytest.raises(vivazuzoz.Disconnected) as gone:
        for frame in cam.frames(timeout=60):  # a Timeout here would mean the unplug was missed
            seen += 1
            if seen == 3:
                vcam.unplug(0)
    assert gone.value.code == 1001
    assert reported.wait(10) and codes == [1001]
    with pytest.raises(vivazuzoz.Disconnected):
        cam.palette
    cam.close()
    assert cam.closed and not vcam.video_open(0)
    assert other.read(timeout=5).image.shape == (192, 256)  # the other camera is unaffected

    # With reconnect=True the loss is reported, and the camera plugged back
    # into its USB port (new nodes) streams into the same Camera again.
    other.close()
    back = open_camera(vcam.video_path(1), reconnect=True)
    before = back.info
    back.on_exception(lambda code: codes.append(code))
    first = back.read(timeout=5).sequence
    vcam.unplug(1)
    with pytest.raises(vivazuzoz.Timeout):
        while True:  # frames already on their way may still come
            back.read(timeout=1)
    with pytest.raises(vivazuzoz.Disconnected):
        back.palette
    vcam.replug(1)
    assert back.read(timeout=30).sequence > first
    assert back.palette == 0
    assert back.info.usb_port == before.usb_port and back.info.video_path != before.video_path
    assert codes == [1001, 1001]


def test_a_slow_consumer_gets_the_newest_frames_with_drops_counted_and_flat_memory(vcam, open_camera):
    vcam.add_camera(width=1280, height=1024)
    cam = open_camera()
    frame_bytes = 1280 * 1024 * 8  # image, raw and float temperatures

    def slow_reads(n):
        sequences = []
        for _ in range(n):
            frame = cam.read(timeout=10)
            sequences.append(frame.sequence)
            # Slow: read again only once a newer frame went unread.
            dropped = cam.dropped
            assert eventually(lambda: cam.dropped > dropped)
        return sequences

    slow_reads(3)
    before = rss_bytes()
    sequences = slow_reads(12)
    grown = rss_bytes() - before

    skipped = sum(b - a - 1 for a, b in zip(sequences, sequences[1:]))
    assert skipped >= 11  # at least one frame went unread between any two reads
    assert cam.dropped >= skipped
    assert grown < 2 * frame_bytes, "memory grew by %d bytes over %d dropped frames" % (grown, skipped)


def test_a_collected_camera_closes_and_can_be_opened_again(vcam):
    vcam.add_camera()
    cam = vivazuzoz.Camera(0)
    cam.read(timeout=5)
    assert vcam.video_open(0)
    del cam
    gc.collect()
    assert not vcam.video_open(0)
    with vivazuzoz.Camera(0) as again:
        assert again.read(timeout=5).image.shape == (192, 256)


EXIT_WITH_CAMERAS_OPEN = textwrap.dedent("""
    import threading, time, vcam_control, vivazuzoz
    vcam_control.add_camera()
    vcam_control.add_camera()
    vcam_control.add_camera()
    waiting = vivazuzoz.Camera(0)
    waiting.on_exception(lambda code: None)
    streaming = vivazuzoz.Camera(1)
    unplugged = vivazuzoz.Camera(2)
    unplugged.on_exception(lambda code: time.sleep(0.3))  # running while the interpreter exits
    waiting.read(timeout=5)
    vcam_control.stall(0, 3600)
    seen = []
    def read_forever():
        while True:
            waiting.read(timeout=None)
    def iterate():
        for frame in streaming.frames(timeout=60):
            seen.append(frame.sequence)
    for target in (read_forever, iterate):
        threading.Thread(target=target, daemon=True).start()
    while waiting._waiting_readers != 1 or len(seen) < 3:
        time.sleep(0.01)
    vcam_control.unplug(2)
    print("exiting with cameras open", flush=True)
""")


def test_interpreter_exit_with_cameras_open_and_threads_waiting_neither_hangs_nor_crashes(vcam):
    # The child inherits the preloaded virtual camera from this process.
    child = subprocess.run([sys.executable, "-c", EXIT_WITH_CAMERAS_OPEN], capture_output=True, text=True,
                           timeout=120, env=dict(os.environ))
    assert "exiting with cameras open" in child.stdout, child.stderr
    assert child.returncode == 0, child.stderr


WORKING_DIRECTORY_KEPT = textwrap.dedent("""
    import os, threading, time, vcam_control, vivazuzoz
    vcam_control.add_camera()
    here = os.getcwd()
    seen, written, stop = set(), [], threading.Event()
    def write_relative_files():
        while not stop.is_set():
            name = "probe-%d.txt" % len(written)
            with open(name, "w") as f:
                f.write(name)
            written.append(name)
            seen.add(os.getcwd())
            time.sleep(0.001)  # leaves the other core to the native watch
    writer = threading.Thread(target=write_relative_files)
    writer.start()
    vcam_control.start_directory_watch()  # the same without the interpreter lock
    vivazuzoz.search()  # the first call starts the library
    with vivazuzoz.Camera(0) as cam:
        for frame in cam.frames(count=5, timeout=10):
            pass
        cam.palette
    vivazuzoz.search()
    native_written, native_seen = vcam_control.stop_directory_watch()
    stop.set()
    writer.join()
    written += ["native-probe-%d.txt" % i for i in range(native_written)]
    print(len(written), sorted(seen | set(native_seen)) == [here],
          all(os.path.exists(os.path.join(here, n)) for n in written))
""")


def test_the_working_directory_never_moves_while_the_library_starts_opens_and_reads(tmp_path):
    work, state = tmp_path / "work", tmp_path / "state"
    work.mkdir()
    # The child inherits the preloaded virtual camera from this process.
    child = subprocess.run([sys.executable, "-c", WORKING_DIRECTORY_KEPT], capture_output=True, text=True,
                           timeout=120, cwd=work, env=dict(os.environ, XDG_STATE_HOME=str(state)))
    assert child.returncode == 0, child.stderr
    count, one_directory, all_here = child.stdout.split()
    assert int(count) > 10 and one_directory == "True" and all_here == "True", child.stdout
    # The library's log is in the state folder, and nothing of the writers' is.
    assert sorted(p.name for p in (state / "vivazuzoz").iterdir()) == ["VIVAZUZOZ.log"]
