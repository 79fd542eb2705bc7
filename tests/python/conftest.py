# Shared set-up of the Python tests. They run under the vivazuzoz-vcam
# wrapper with no camera configured; each test adds the virtual cameras it
# needs and they are removed after it.
import gc
import os
import tempfile
import time

import pytest

import vcam_control
import vivazuzoz


def eventually(done, limit=10.0):
    """Polls done() every 10 ms for at most `limit` seconds; True once it holds."""
    end = time.monotonic() + limit
    while not done():
        if time.monotonic() > end:
            return False
        time.sleep(0.01)
    return True


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture(scope="session", autouse=True)
def scratch_directory():
    """The library's log file, and the children's, go to a directory of this run."""
    with tempfile.TemporaryDirectory(prefix="vivazuzoz-python-") as path:
        os.chdir(path)
        yield
        os.chdir("/")


@pytest.fixture
def vcam():
    """The virtual camera's test API; every camera it made is removed after the test."""
    yield vcam_control
    gc.collect()  # cameras the test dropped close before theirs vanish
    vcam_control.remove_all()


@pytest.fixture
def open_camera(vcam):
    """open_camera(which=0) opens a vivazuzoz.Camera that is closed after the test."""
    opened = []

    def open_(which=0, **options):
        cam = vivazuzoz.Camera(which, **options)
        opened.append(cam)
        return cam

    yield open_
    for cam in opened:
        cam.close()
