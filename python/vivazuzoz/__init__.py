"""USB thermal cameras as numpy arrays.

    import vivazuzoz

    for info in vivazuzoz.search():
        print(info.index, info.name, info.video_path, info.serial_path)

    with vivazuzoz.Camera(0) as cam:
        frame = cam.read(timeout=2.0)
        frame.image           # numpy.uint16 (height, width)
        frame.temperature     # numpy.float32 degrees, or None on image-only streams

Frames are delivered newest first: a reader always gets the latest frame the
camera sent and never an older one; frames nobody read are counted in
``Camera.dropped``. Blocking calls release the interpreter lock, so other
Python threads keep running. Errors raise ``vivazuzoz.Error`` (``.code`` is the
library's result code) or one of its subclasses.
"""

import operator
import sys
from dataclasses import dataclass
from typing import Optional

try:
    import numpy  # noqa: F401  (the compiled core hands out numpy arrays)
except ImportError as error:
    raise ImportError(
        "vivazuzoz needs numpy, which this interpreter (%s) cannot import: install Debian's python3-numpy "
        "and run the package with /usr/bin/python3, or install numpy for this interpreter" % sys.executable
    ) from error

from ._errors import Disconnected, Error, InvalidParam, NotSupported, OpenFailed, Timeout
from . import _vivazuzoz
from ._vivazuzoz import Frame

__all__ = [
    "search", "show_core_output", "Camera", "CameraInfo", "EnvParams", "Frame", "IMAGE_PARAMS",
    "Error", "NotSupported", "InvalidParam", "OpenFailed", "Timeout", "Disconnected",
]

#: Image-tuning parameters by name, with the numbers the camera uses.
IMAGE_PARAMS = {
    "detail": 0,
    "spatial_denoising": 1,
    "contrast": 2,
    "brightness": 3,
    "time_denoising": 4,
    "dynamic_range": 5,
}


@dataclass(frozen=True)
class CameraInfo:
    """One camera found by :func:`search`. ``serial_path`` is the command port
    paired with ``video_path`` ("" when none was paired); ``usb_port`` is the
    physical USB port ("1-1.2"), the same after the camera is unplugged and
    plugged back into it ("" when unknown)."""

    index: int
    name: str
    video_path: str
    serial_path: str
    usb_port: str = ""


@dataclass
class EnvParams:
    """The camera's radiometric (environment) parameters, in the camera's
    units; they travel with a resolution of 0.0001. ``Camera.env`` gives all
    five; when one is set, the fields left out (None) keep the camera's
    values: ``cam.env = EnvParams(emissivity=0.95)`` changes only the
    emissivity."""

    emissivity: Optional[float] = None
    distance: Optional[float] = None
    atmos_temp: Optional[float] = None
    reflected_temp: Optional[float] = None
    transmittance: Optional[float] = None


def search():
    """Searches for cameras now: a list of :class:`CameraInfo`."""
    return [CameraInfo(*record) for record in _vivazuzoz.search()]


def show_core_output(on=True):
    """The capture core (the library's video part) reports each open in a few
    dozen lines on standard output. They are kept out of sight and logged to
    the ``vivazuzoz`` logger at DEBUG level; ``show_core_output()`` prints them
    on standard error as they come instead."""
    _vivazuzoz._show_core_lines(bool(on))


def _image_param_number(param):
    if isinstance(param, str):
        if param not in IMAGE_PARAMS:
            raise InvalidParam("image parameter %r: expected one of %s" % (param, ", ".join(IMAGE_PARAMS)), 3)
        return IMAGE_PARAMS[param]
    if isinstance(param, int) and not isinstance(param, bool) and 0 <= param <= 5:
        return param
    raise InvalidParam("image parameter %r: expected a name or a number 0..5" % (param,), 3)


class Camera(_vivazuzoz.Camera):
    """An open camera.

    ``Camera(0)`` opens camera 0 of a fresh search; ``Camera(info)`` the camera
    of a :class:`CameraInfo`, and ``Camera("/dev/...")`` the camera whose video
    node or command port has that path, whatever its index now. Raises
    :class:`OpenFailed` when there is no such camera or it cannot be opened.

    Settings are properties (``palette``, ``temp_level``, ``temp_unit``,
    ``image_level``, ``env``; ``fpa_temperature`` and ``camera_temperature``
    read-only); each is one exchange with the camera (at least 120 ms), and
    commands on one camera run one at a time.

    With ``reconnect=True`` a camera that is unplugged (or stops sending) is
    waited for: when a camera comes back to the same USB port it is reopened
    and frames go on. Meanwhile ``read`` waits up to its ``timeout`` and then
    raises :class:`Timeout`, and commands raise :class:`Disconnected`;
    ``on_exception`` still reports the loss (1001). ``close()`` (or leaving a
    ``with`` block, or the object being collected) closes the camera; using a
    closed camera raises :class:`InvalidParam`.
    """

    def __init__(self, which=0, reconnect=False):
        if isinstance(which, CameraInfo):
            which = which.video_path or which.serial_path
        if isinstance(which, str):
            super().__init__(0, which, bool(reconnect))
            return
        try:
            if isinstance(which, bool):
                raise TypeError
            index = operator.index(which)
        except TypeError:
            raise TypeError("Camera(): expected an index, a CameraInfo or a node path, not %r" % (which,)) from None
        super().__init__(index, "", bool(reconnect))

    # width, height, radiometric, dropped, closed, read, palette, temp_level,
    # temp_unit, image_level, fpa_temperature, camera_temperature, shutter,
    # on_exception and close come from the compiled core.

    @property
    def info(self):
        """The :class:`CameraInfo` of this camera, as found when it was opened."""
        return CameraInfo(*self._info)

    def read(self, timeout=2.0):
        """The newest frame, waiting up to ``timeout`` seconds (None: no limit)
        for one that this camera has not handed out yet.

        Returns a :class:`Frame`. Raises :class:`Timeout` when none arrives,
        :class:`Disconnected` as soon as the camera is gone, and
        :class:`InvalidParam` on a closed camera (also when another thread
        closes it during the wait).
        """
        return super().read(timeout)

    def frames(self, count=None, timeout=2.0):
        """Iterates over ``count`` frames (None: until the camera is closed),
        each as :meth:`read` gives it with ``timeout``."""
        if count is not None and count < 0:
            raise InvalidParam("Camera.frames: count must be >= 0 or None", 3)
        if self.closed:
            raise InvalidParam("Camera.frames: the camera is closed", 3)
        return self._frames(count, timeout)

    def _frames(self, count, timeout):
        taken = 0
        while count is None or taken < count:
            try:
                frame = self.read(timeout)
            except InvalidParam:
                if self.closed:
                    return
                raise
            taken += 1
            yield frame

    @property
    def env(self):
        """The environment parameters as :class:`EnvParams` (radiometric streams
        only). Setting it changes the fields given and keeps the others."""
        atmos, distance, emissivity, reflected, transmittance = self._get_env()
        return EnvParams(emissivity=round(emissivity, 4), distance=round(distance, 4),
                         atmos_temp=round(atmos, 4), reflected_temp=round(reflected, 4),
                         transmittance=round(transmittance, 4))

    @env.setter
    def env(self, params):
        if not isinstance(params, EnvParams):
            raise TypeError("Camera.env: expected vivazuzoz.EnvParams, not %r" % (params,))
        self._set_env(params.atmos_temp, params.distance, params.emissivity,
                      params.reflected_temp, params.transmittance)

    def get_image_param(self, param):
        """An image-tuning parameter by name (see IMAGE_PARAMS) or number 0..5.
        Raises :class:`NotSupported` when the camera does not report it."""
        return self._get_image_param(_image_param_number(param))

    def set_image_param(self, param, value):
        """Sets an image-tuning parameter by name or number 0..5."""
        self._set_image_param(_image_param_number(param), value)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        state = "closed" if self.closed else "%dx%d %s" % (
            self.width, self.height, "radiometric" if self.radiometric else "image only")
        return "<vivazuzoz.Camera %s (%s)>" % (self.info.video_path or self.info.index, state)
