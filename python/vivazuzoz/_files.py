"""Reading the files the tool writes: radiometric snapshots and recordings.

The compiled module reads them with the same code the tool writes them with;
this module turns the tenths of a degree into numpy arrays in degrees.
"""

import json
from dataclasses import dataclass, field
from typing import Optional

import numpy

from . import _vivazuzoz


@dataclass(frozen=True)
class TemperatureUnit:
    """The unit temperatures are in: ``number`` is the camera's number (-1
    when unknown), ``symbol`` the unit as files name it ("degC", "degF", "K",
    or "unit N" when nobody declared what the number means), ``name``
    ("Celsius", ...) or None when undeclared, ``label`` for people ("°C",
    "unit 1")."""

    number: int
    symbol: str
    name: Optional[str]
    label: str

    @property
    def declared(self):
        return self.name is not None


def declared_unit(number):
    """What the camera's temperature unit ``number`` (``cam.temp_unit``) means,
    as the user declared it in VIVAZUZOZ_TEMP_UNITS (default: 0 is Celsius,
    other numbers are undeclared): a :class:`TemperatureUnit`."""
    return TemperatureUnit(*_vivazuzoz.declared_unit(int(number)))


def _degrees(raw):
    # The float32 nearest to raw / 10, as the camera's frames give it.
    return raw.astype(numpy.float32) / numpy.float32(10)


@dataclass
class Snapshot:
    """A snapshot file read back: ``temperature`` (float32 degrees, height x
    width), ``raw_temperature`` (int16 tenths, exactly as taken), ``image``
    (uint16 raw counts, or None when the file has no image plane), ``unit``
    and ``metadata`` (camera, time, environment values and settings, as
    strings, by the tool's names)."""

    temperature: numpy.ndarray
    raw_temperature: numpy.ndarray
    image: Optional[numpy.ndarray]
    unit: TemperatureUnit
    metadata: dict = field(default_factory=dict)


def read_snapshot(path):
    """Reads a snapshot written by ``vivazuzoz snapshot FILE.tiff`` or
    ``FILE.jpg`` (radiometric JPEG). Raises ValueError for other files."""
    data = _vivazuzoz.read_snapshot(str(path))
    raw = data["raw_temperature"]
    return Snapshot(_degrees(raw), raw, data["image"], TemperatureUnit(*data["unit"]), dict(data["fields"]))


@dataclass
class RecordedFrame:
    """One frame of a recording: ``temperature`` (float32 degrees, or None
    for an image-only recording), ``raw_temperature`` (int16 tenths),
    ``image`` (uint16 raw counts), ``time`` (seconds since the first frame),
    ``sequence`` (number in the camera's stream) and ``after_gap`` (the first
    frame after the camera was lost and came back, as on a live frame)."""

    index: int
    time: float
    sequence: int
    after_gap: bool
    image: numpy.ndarray
    raw_temperature: Optional[numpy.ndarray]
    temperature: Optional[numpy.ndarray]


class Recording:
    """A recording (``vivazuzoz record``) open for reading. ``len()`` frames;
    ``rec[i]`` and iteration give :class:`RecordedFrame`; ``metadata`` is the
    first page's description (camera, size, layout, frame rate, settings),
    ``unit`` what the temperatures are in, ``times`` every frame's time."""

    def __init__(self, path):
        self._file = _vivazuzoz.Recording(str(path))
        self.path = str(path)
        self.metadata = json.loads(self._file.description)
        self.unit = TemperatureUnit(*self._file.unit)
        self.width = self._file.width
        self.height = self._file.height
        self.radiometric = self._file.radiometric

    def __len__(self):
        return self._file.frames

    def __getitem__(self, index):
        if index < 0:
            index += len(self)
        if not 0 <= index < len(self):
            raise IndexError("no frame %d in a recording of %d" % (index, len(self)))
        image, raw, time, sequence, after_gap = self._file.read(index)
        return RecordedFrame(index, time, sequence, after_gap, image, raw, None if raw is None else _degrees(raw))

    def __iter__(self):
        for index in range(len(self)):
            yield self[index]

    @property
    def times(self):
        return self._file.times

    def close(self):
        self._file = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def open_recording(path):
    """Opens a recording for reading: a :class:`Recording`. Raises ValueError
    when the file is no recording, or is cut or damaged."""
    return Recording(path)
