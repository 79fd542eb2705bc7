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
from ._files import RecordedFrame, Recording, Snapshot, TemperatureUnit, declared_unit, open_recording, read_snapshot
from . import _vivazuzoz
from ._vivazuzoz import Frame
from ._vivazuzoz import correct_emissivity  # the client layer's broadband formula (emissivity.h)

__all__ = [
    "search", "show_core_output", "Camera", "CameraInfo", "EnvParams", "Event", "Frame", "IMAGE_PARAMS", "SETTINGS",
    "Setting",
    "Error", "NotSupported", "InvalidParam", "OpenFailed", "Timeout", "Disconnected",
    "open_recording", "read_snapshot", "declared_unit", "Recording", "RecordedFrame", "Snapshot", "TemperatureUnit",
]
__all__ += ["correct_emissivity"]

@dataclass(frozen=True)
class Setting:
    """One camera setting, as the library's settings table (the one the
    command-line tool, the live page and GStreamer use) describes it.
    ``name`` is the table's name ("image-level"), ``attribute`` the
    :class:`Camera` property that reads and sets it ("image_level"); ``kind``
    is "integer", "decimal" or "size" (a (width, height) pair); ``minimum``
    and ``maximum`` bound what may be set; ``group`` is "camera",
    "environment", "image-tuning" or "read-only"."""

    name: str
    attribute: str
    description: str
    label: str
    unit: str
    group: str
    kind: str
    minimum: float
    maximum: float
    decimals: int
    read_only: bool


def _setting_of(row):
    fields = {key: value for key, value in row.items() if key != "number"}
    return Setting(attribute=row["name"].replace("-", "_"), **fields)


_TABLE = _vivazuzoz._settings()

#: Every setting of the table, in its order.
SETTINGS = tuple(_setting_of(row) for row in _TABLE)

#: Image-tuning parameters by name, with the numbers the camera uses.
IMAGE_PARAMS = {row["name"].replace("-", "_"): row["number"] for row in _TABLE if row["number"] >= 0}
_IMAGE_PARAM_SETTINGS = {row["number"]: row["name"] for row in _TABLE if row["number"] >= 0}


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


@dataclass(frozen=True)
class Event:
    """Something that happened to an open camera, as :meth:`Camera.events`
    and the ``on_event`` callback give it.

    ``kind`` is one of ``"opened"`` (opened and streaming; also after a
    reopen, before ``"back"``), ``"lost"`` (unplugged, no longer answering,
    or 3 s without a frame), ``"stalled"`` (no frame for the stall limit,
    5 s, when the library did not count it lost), ``"back"``
    (streaming again after a loss or stall; ``gap`` is how many seconds it
    was away), ``"error"`` (it cannot go on: it came back, but not as it
    was) and ``"closed"`` (the last one). ``time`` is the wall clock
    (``time.time()``), ``monotonic`` the same moment on the frames' clock
    (``Frame.timestamp``), ``message`` one line for a person, ``sequence``
    the number the next frame will have, ``camera`` the camera as last
    opened (its nodes change on a replug)."""

    kind: str
    time: float
    monotonic: float
    message: str
    gap: float
    sequence: int
    camera: CameraInfo

    @classmethod
    def _of(cls, record):
        kind, time, monotonic, message, gap, sequence, camera = record
        return cls(kind, time, monotonic, message, gap, sequence, CameraInfo(*camera))


def search():
    """Searches for cameras now: a list of :class:`CameraInfo`."""
    return [CameraInfo(*record) for record in _vivazuzoz.search()]


def show_core_output(on=True):
    """The library writes lines of its own to stdout and stderr (the capture
    core, its video part, reports each open in a few dozen lines, and its
    failures, such as an unplug). They are kept out of sight and logged to
    the ``vivazuzoz`` logger at DEBUG level; ``show_core_output()`` prints them
    on standard error as they come instead."""
    _vivazuzoz._show_core_lines(bool(on))


def _image_param_number(param):
    if isinstance(param, str):
        if param not in IMAGE_PARAMS:
            raise InvalidParam("image parameter %r: expected one of %s" % (param, ", ".join(IMAGE_PARAMS)), 3)
        return IMAGE_PARAMS[param]
    if isinstance(param, int) and not isinstance(param, bool) and param in _IMAGE_PARAM_SETTINGS:
        return param
    raise InvalidParam("image parameter %r: expected a name or a number %d..%d"
                       % (param, min(_IMAGE_PARAM_SETTINGS), max(_IMAGE_PARAM_SETTINGS)), 3)


class Camera(_vivazuzoz.Camera):
    """An open camera.

    ``Camera(0)`` opens camera 0 of a fresh search; ``Camera(info)`` the camera
    of a :class:`CameraInfo`, and ``Camera("/dev/...")`` the camera whose video
    node or command port has that path, whatever its index now. Raises
    :class:`OpenFailed` when there is no such camera or it cannot be opened.

    Every setting of :data:`SETTINGS` is a property named by its
    ``attribute`` (``palette``, ``temp_level``, ``image_level``,
    ``emissivity``, ``contrast``, ...; ``fpa_temp``, ``camera_temp`` and
    ``fpa_size`` read-only), and ``env`` reads or sets the environment
    parameters together; each is one exchange with the camera (at least
    120 ms), and commands on one camera run one at a time.

    A camera that is unplugged, stops answering or stops sending frames (3 s
    without one; 5 s at most, the stall limit) is gone: reads and commands raise :class:`Disconnected`,
    whose ``event`` says which. With ``reconnect=True`` it is waited for
    instead: when a camera comes back to the same USB port it is reopened in
    the same mode and frames go on, numbered on, the first one marked
    ``after_gap``. Meanwhile ``read`` waits up to its ``timeout`` and then
    raises :class:`Timeout`, and commands raise :class:`Disconnected`;
    ``on_exception`` still reports the loss (1001).

    Shutter (flat-field) corrections, commanded with :meth:`shutter`, by the
    policy or the camera's own (seen as a frozen or flat picture), mark the
    frames taken during them ``shutter`` and for ``shutter_settle`` seconds
    after ``settling``; ``shutter_every=S`` corrects every S seconds and
    ``shutter_on_drift=D`` when the detector's temperature, read every 2 s,
    moved D degrees since the last correction.

    What happens to the camera (opened, lost, stalled, back, error, closed,
    shutter-start, shutter-end) comes as :class:`Event` objects: ``on_event=callback`` calls
    ``callback(event)`` on a library thread as each happens (keep it short;
    it must not wait for this camera's frames), and :meth:`events` hands out
    those not taken yet. ``close()`` (or leaving a ``with`` block, or the
    object being collected) closes the camera; using a closed camera raises
    :class:`InvalidParam`.
    """

    def __init__(self, which=0, reconnect=False, on_event=None, shutter_every=0, shutter_on_drift=0,
                 shutter_settle=1):
        if on_event is not None:
            if not callable(on_event):
                raise TypeError("Camera(): on_event must be callable or None, not %r" % (on_event,))
            callback = on_event
            on_event = lambda record: callback(Event._of(record))  # noqa: E731
        if isinstance(which, CameraInfo):
            which = which.video_path or which.serial_path
        if isinstance(which, str):
            index, path = 0, which
        else:
            try:
                if isinstance(which, bool):
                    raise TypeError
                index, path = operator.index(which), ""
            except TypeError:
                raise TypeError("Camera(): expected an index, a CameraInfo or a node path, not %r" % (which,)) from None
        super().__init__(index, path, bool(reconnect), on_event, float(shutter_every), float(shutter_on_drift),
                         float(shutter_settle))
        self._opened = True  # a failed open leaves an object that only repr may touch (tracebacks do)

    # width, height, radiometric, dropped, closed, read, shutter,
    # on_exception and close come from the compiled core; the settings'
    # properties are made from the table below the class.

    @property
    def fpa_temperature(self):
        """The detector (FPA) temperature in degrees: ``fpa_temp`` by its older name."""
        return self.fpa_temp

    @property
    def camera_temperature(self):
        """The camera's own temperature in degrees: ``camera_temp`` by its older name."""
        return self.camera_temp

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

    def events(self, timeout=0):
        """The :class:`Event` objects not taken yet, oldest first (the newest
        256 are kept). With ``timeout`` (seconds; None: no limit) it waits for
        one when there are none; an empty list when none came (at once on a
        closed camera, which keeps the events it had)."""
        return [Event._of(record) for record in self._events(timeout)]

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
        """An image-tuning parameter by name (see IMAGE_PARAMS) or number 0..5,
        as its property (``cam.contrast``) gives it.
        Raises :class:`NotSupported` when the camera does not report it."""
        return self._get_setting(_IMAGE_PARAM_SETTINGS[_image_param_number(param)])

    def set_image_param(self, param, value):
        """Sets an image-tuning parameter by name or number 0..5."""
        self._set_setting(_IMAGE_PARAM_SETTINGS[_image_param_number(param)], value)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        if not getattr(self, "_opened", False):
            return "<vivazuzoz.Camera (not opened)>"
        state = "closed" if self.closed else "%dx%d %s" % (
            self.width, self.height, "radiometric" if self.radiometric else "image only")
        return "<vivazuzoz.Camera %s (%s)>" % (self.info.video_path or self.info.index, state)


def _setting_property(setting):
    name = setting.name

    def get(self):
        return self._get_setting(name)

    def set_(self, value):
        self._set_setting(name, value)

    what = setting.description + (" (%s)" % setting.unit if setting.unit else "")
    if setting.read_only:
        return property(get, doc="%s; read-only." % what)
    places = setting.decimals
    return property(get, set_, doc="%s; %.*f to %.*f." % (what, places, setting.minimum, places, setting.maximum))


for _setting in SETTINGS:
    # A row whose attribute were a method or property already would hide it.
    if hasattr(Camera, _setting.attribute):
        raise ImportError("vivazuzoz: setting %s would replace Camera.%s" % (_setting.name, _setting.attribute))
    setattr(Camera, _setting.attribute, _setting_property(_setting))
del _setting
