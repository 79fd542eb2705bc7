"""Files as programs nobody here wrote read them: GDAL (gdalinfo and its
Python bindings), rasterio, exiftool, Pillow, tifffile and ImageJ, against
the temperatures the tool writes as CSV. Each judge is skipped, saying so,
where it is not installed (scripts/install-deps.sh --tests installs them)."""
import json
import os
import shutil
import subprocess

import numpy
import pytest

import vivazuzoz

HERE = os.path.dirname(os.path.abspath(__file__))
IMAGEJ_JAR = "/usr/share/java/ij.jar"


def tool(*args, camera=(), env=None):
    """The built tool under a virtual camera of its own; its standard output."""
    run = subprocess.run([os.environ["VIVAZUZOZ_VCAM_RUN"], *camera, "--", os.environ["VIVAZUZOZ_TOOL"], *args],
                         capture_output=True, text=True, timeout=120, env=env)
    assert run.returncode == 0, run.stderr
    return run.stdout


def csv_tenths(path):
    return numpy.round(numpy.loadtxt(path, delimiter=",") * 10).astype(numpy.int64)


def tenths(degrees):
    return numpy.round(numpy.asarray(degrees, dtype=numpy.float64) * 10).astype(numpy.int64)


@pytest.fixture(scope="module")
def files():
    """One snapshot as TIFF with its CSV, one as JPEG, a two-frame recording
    and the CSV of its frame 1, written by the tool in a folder of its own."""
    os.makedirs("judges", exist_ok=True)
    os.chdir("judges")
    tool("snapshot", "s.tiff", "--temperature", "s.csv")
    tool("snapshot", "s.jpg")
    tool("record", "-o", "r.tiff", "--frames", "2")
    tool("snapshot", "--from", "r.tiff", "--frame", "1", "-o", "r1.csv")
    yield os.getcwd()
    os.chdir("..")


def test_gdal_reads_the_snapshot_and_the_recordings_temperature_pages_as_degrees(files):
    gdal = pytest.importorskip("osgeo.gdal", reason="GDAL's Python bindings (python3-gdal) are not installed")
    if shutil.which("gdalinfo") is None:
        pytest.skip("gdalinfo (gdal-bin) is not installed")
    info = json.loads(subprocess.run(["gdalinfo", "-stats", "-json", "s.tiff"], capture_output=True, text=True,
                                     check=True).stdout)
    band = info["bands"][0]
    assert (band["minimum"], band["maximum"]) == (22.0, 110.0)
    assert band["unit"] == "degC"
    assert info["metadata"][""]["EMISSIVITY"] == "0.95"

    snapshot = gdal.Open("s.tiff")
    assert numpy.array_equal(tenths(snapshot.GetRasterBand(1).ReadAsArray()), csv_tenths("s.csv"))
    gdal.UseExceptions()
    # Each dataset is kept while its band is used (a band outlives no dataset).
    pages = gdal.Open("GTIFF_DIR:4:r.tiff")  # frame 1's temperature page
    page = pages.GetRasterBand(1)
    assert (page.GetScale(), page.GetOffset(), page.GetUnitType()) == (0.1, 0.0, "degC")
    degrees = page.ReadAsArray() * page.GetScale() + page.GetOffset()
    assert numpy.array_equal(tenths(degrees), csv_tenths("r1.csv"))
    assert (degrees.min(), degrees.max()) == pytest.approx((22.0, 110.0))
    image = gdal.Open("GTIFF_DIR:3:r.tiff")
    assert image.GetRasterBand(1).GetUnitType() == "counts"


def test_rasterio_reads_the_same_degrees(files):
    rasterio = pytest.importorskip("rasterio", reason="rasterio (python3-rasterio) is not installed")
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # no georeferencing: a picture, not a map
        with rasterio.open("s.tiff") as snapshot:
            assert snapshot.units[0] == "degC"
            assert numpy.array_equal(tenths(snapshot.read(1)), csv_tenths("s.csv"))
        with rasterio.open("GTIFF_DIR:4:r.tiff") as page:
            assert (page.scales[0], page.offsets[0], page.units[0]) == (0.1, 0.0, "degC")
            degrees = page.read(1) * page.scales[0] + page.offsets[0]
            assert numpy.array_equal(tenths(degrees), csv_tenths("r1.csv"))


def test_exiftool_lists_the_jpegs_xmp_fields(files):
    if shutil.which("exiftool") is None:
        pytest.skip("exiftool (libimage-exiftool-perl) is not installed")
    fields = json.loads(subprocess.run(["exiftool", "-j", "-XMP:all", "s.jpg"], capture_output=True, text=True,
                                       check=True).stdout)[0]
    assert fields["Camera"] == "Virtual Thermal Camera"
    assert (fields["Width"], fields["Height"]) == (256, 192)
    assert fields["TemperatureUnit"] == "degC"
    assert fields["TemperatureUnitNumber"] == 0
    assert fields["Scale"] == 0.1
    for name, value in (("Emissivity", 0.95), ("Distance", 1), ("AtmosTemp", 25), ("ReflectedTemp", 25),
                        ("Transmittance", 1)):
        assert fields[name] == value, name
    assert "CreateDate" in fields


def test_pillow_opens_the_jpeg_as_a_picture_of_the_scene(files):
    Image = pytest.importorskip("PIL.Image", reason="Pillow (python3-pil) is not installed")
    with Image.open("s.jpg") as picture:
        assert (picture.format, picture.size, picture.mode) == ("JPEG", (256, 192), "RGB")
        picture.load()
        # The hot plate (110 degrees, around x 199, y 56) is brighter than the room.
        hot = sum(picture.getpixel((205, 62)))
        cold = sum(picture.getpixel((20, 170)))
        assert hot > cold + 200


def test_read_snapshot_gives_back_the_exact_plane_of_both_formats(files):
    expected = csv_tenths("s.csv")
    for name in ("s.jpg", "s.tiff"):
        shot = vivazuzoz.read_snapshot(name)
        assert shot.raw_temperature.dtype == numpy.int16
        assert numpy.array_equal(shot.raw_temperature, expected), name
        assert numpy.array_equal(shot.temperature, shot.raw_temperature.astype(numpy.float32) / numpy.float32(10))
        assert shot.unit == vivazuzoz.TemperatureUnit(0, "degC", "Celsius", "°C")
        assert shot.metadata["emissivity"] == "0.95"
    assert vivazuzoz.read_snapshot("s.tiff").image.dtype == numpy.uint16
    assert vivazuzoz.read_snapshot("s.jpg").image is None
    with pytest.raises(ValueError, match="r.tiff"):
        vivazuzoz.read_snapshot("r.tiff")


def test_open_recording_gives_frames_in_degrees_with_times_and_metadata(files):
    rec = vivazuzoz.open_recording("r.tiff")
    assert (len(rec), rec.width, rec.height, rec.radiometric) == (2, 256, 192, True)
    assert rec.unit.symbol == "degC"
    assert rec.metadata["camera"] == "Virtual Thermal Camera"
    assert rec.times[0] == 0.0 and rec.times[1] > 0
    frames = list(rec)
    assert frames[1].sequence == frames[0].sequence + 1
    assert numpy.array_equal(tenths(frames[1].temperature), csv_tenths("r1.csv"))
    assert frames[1].image.dtype == numpy.uint16 and not frames[1].after_gap
    with pytest.raises(IndexError):
        rec[2]
    with pytest.raises(ValueError, match="not a recording"):
        vivazuzoz.open_recording("s.tiff")


def test_tifffile_reads_every_page_with_its_declared_meaning(files):
    tifffile = pytest.importorskip("tifffile", reason="tifffile (python3-tifffile) is not installed")
    with tifffile.TiffFile("s.tiff") as snapshot:
        assert snapshot.pages[0].dtype == numpy.float32
        assert numpy.array_equal(tenths(snapshot.pages[0].asarray()), csv_tenths("s.csv"))
        assert snapshot.pages[1].dtype == numpy.uint16
        assert "<Item name=\"UNITTYPE\" sample=\"0\" role=\"unittype\">degC</Item>" in \
            snapshot.pages[0].tags["GDAL_METADATA"].value
    with tifffile.TiffFile("r.tiff") as rec:
        assert len(rec.pages) == 4
        page = rec.pages[3]
        meaning = json.loads(page.description)
        assert (meaning["scale"], meaning["offset"], meaning["unit"]) == (0.1, 0, "degC")
        degrees = page.asarray() * meaning["scale"] + meaning["offset"]
        assert numpy.array_equal(tenths(degrees), csv_tenths("r1.csv"))
        assert json.loads(rec.pages[2].description)["unit"] == "counts"


def test_imagej_shows_degrees_under_the_cursor(files):
    if shutil.which("java") is None or not os.path.exists(IMAGEJ_JAR):
        pytest.skip("ImageJ (Debian's imagej) or java is not installed")
    run = subprocess.run(["java", "-Djava.awt.headless=true", "-cp", IMAGEJ_JAR,
                          os.path.join(HERE, "ImageJProbe.java"), "s.tiff", "199", "56"],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.split() == ["bits=32", "value=110.0", "unit=degC"]


def test_a_unit_nobody_declared_is_named_by_its_number_in_every_file(files, tmp_path):
    state = str(tmp_path / "camera.state")
    camera = ("--state", state)
    tool("set", "temp-unit", "2", camera=camera)
    tool("snapshot", "u.tiff", camera=camera)
    tool("snapshot", "u.jpg", camera=camera)
    for name in ("u.tiff", "u.jpg"):
        shot = vivazuzoz.read_snapshot(name)
        assert shot.unit == vivazuzoz.TemperatureUnit(2, "unit 2", None, "unit 2"), name
    assert "unit 2 (camera's unit 2)" in tool("info", "u.jpg")
    declared = dict(os.environ, VIVAZUZOZ_TEMP_UNITS="2=F")
    tool("snapshot", "f.jpg", camera=camera, env=declared)
    tool("record", "-o", "f.tiff", "--frames", "1", camera=camera, env=declared)
    assert vivazuzoz.read_snapshot("f.jpg").unit == vivazuzoz.TemperatureUnit(2, "degF", "Fahrenheit", "°F")
    assert vivazuzoz.open_recording("f.tiff").unit.symbol == "degF"
    assert vivazuzoz.declared_unit(0).symbol == "degC" and not vivazuzoz.declared_unit(2).declared


def test_recordings_written_before_pages_declared_their_scale_still_read(files):
    tifffile = pytest.importorskip("tifffile", reason="tifffile (python3-tifffile) is not installed")
    # The old layout: JSON descriptions only, written here by another writer.
    with tifffile.TiffFile("r.tiff") as rec:
        planes = [page.asarray() for page in rec.pages]
        first = json.loads(rec.pages[0].description)
    for key in ("unit",):
        first.pop(key, None)
    with tifffile.TiffWriter("old.tiff") as old:
        for index, plane in enumerate(planes):
            text = first if index == 0 else {"frame": index // 2, "sequence": index // 2, "time": 0.04 * (index // 2),
                                              "plane": "image" if index % 2 == 0 else "temperature"}
            old.write(plane, description=json.dumps(text), metadata=None)
    rec = vivazuzoz.open_recording("old.tiff")
    assert len(rec) == 2 and rec.unit.symbol == "degC"
    assert numpy.array_equal(tenths(rec[1].temperature), csv_tenths("r1.csv"))
    assert "Temperature: min 22.0, max 110.0 degrees" in tool("replay", "old.tiff")


def test_the_documented_jpeg_layout_reads_the_plane_without_this_project(files):
    import struct
    import zlib
    data = open("s.jpg", "rb").read()
    parts, at, header = {}, 2, None
    while data[at + 1] != 0xDA:
        size = struct.unpack(">H", data[at + 2:at + 4])[0]
        body = data[at + 4:at + 2 + size]
        if data[at + 1] == 0xE9 and body[:8] == b"VZ-TEMP\0":
            fields = struct.unpack("<BBHHHHddh16sII", body[8:60])
            parts[fields[2]] = body[60:]
            header = fields
        at += 2 + size
    version, sample_format, _, count, width, height, scale, offset, number, symbol, length, crc = header
    assert (version, sample_format, width, height, scale, offset, number) == (1, 1, 256, 192, 0.1, 0.0, 0)
    assert symbol.rstrip(b"\0") == b"degC"
    stream = b"".join(parts[i] for i in range(count))
    assert len(stream) == length
    plane = zlib.decompress(stream)
    assert zlib.crc32(plane) == crc
    values = numpy.frombuffer(plane, "<i2").reshape(height, width)
    assert numpy.array_equal(values, csv_tenths("s.csv"))
