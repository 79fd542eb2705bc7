// The package's file readers: radiometric snapshots (TIFF and JPEG) and
// recordings, read by the client layer's own code, so that Python reads
// exactly what the tool wrote. Files are read without the interpreter lock.
#include "files.h"

#include <vivaclient/emissivity.h>
#include <vivaclient/radiometric_jpeg.h>
#include <vivaclient/recording.h>
#include <vivaclient/snapshot_file.h>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace py = pybind11;

namespace vivazuzoz_python {

namespace {

template <typename T>
py::array_t<T> Plane(const std::vector<T>& values, int width, int height)
{
    py::array_t<T> array({static_cast<py::ssize_t>(height), static_cast<py::ssize_t>(width)});
    std::copy(values.begin(), values.end(), array.mutable_data());
    return array;
}

py::tuple UnitTuple(const vivaclient::TemperatureUnit& unit)
{
    return py::make_tuple(unit.number, unit.symbol, unit.declared() ? py::object(py::str(unit.name)) : py::none(),
                          unit.label);
}

py::dict ReadSnapshot(const std::string& path)
{
    vivaclient::ThermalSnapshot shot;
    std::string error;
    {
        py::gil_scoped_release unlocked;
        error = vivaclient::ReadSnapshotFile(path, shot);
    }
    if (!error.empty())
        throw std::invalid_argument(error);
    py::dict result;
    result["raw_temperature"] = Plane(shot.tenths, shot.width, shot.height);
    result["image"] = shot.image.empty() ? py::object(py::none()) : Plane(shot.image, shot.width, shot.height);
    result["unit"] = UnitTuple(shot.facts.unit);
    result["fields"] = vivaclient::FactFields(shot.facts);
    return result;
}

// A recording open for reading; frames are read in any order.
class Recording {
public:
    explicit Recording(const std::string& path)
    {
        std::string error;
        {
            py::gil_scoped_release unlocked;
            error = reader_.Open(path);
        }
        if (!error.empty())
            throw std::invalid_argument(error);
    }

    size_t frames() const { return reader_.frames(); }
    int width() const { return reader_.layout().width; }
    int height() const { return reader_.layout().height; }
    bool radiometric() const { return reader_.layout().withTemp; }
    const std::string& description() const { return reader_.description(); }
    py::tuple unit() const { return UnitTuple(reader_.layout().unit); }
    std::vector<double> times() const
    {
        std::vector<double> t;
        for (size_t i = 0; i < reader_.frames(); ++i)
            t.push_back(reader_.time(i));
        return t;
    }

    // (image, raw temperature or None, time, sequence, gap) of frame `index`.
    py::tuple Read(size_t index)
    {
        if (index >= reader_.frames())
            throw py::index_error("no frame " + std::to_string(index) + " in a recording of " +
                                  std::to_string(reader_.frames()));
        std::string error;
        {
            py::gil_scoped_release unlocked;
            error = reader_.Read(index, frame_);
        }
        if (!error.empty())
            throw std::runtime_error(error);
        py::object temps = py::none();
        if (reader_.layout().withTemp)
            temps = Plane(frame_.temp, width(), height());
        return py::make_tuple(Plane(frame_.image, width(), height()), temps, frame_.time, frame_.sequence,
                              frame_.afterGap);
    }

private:
    vivaclient::RecordingReader reader_;
    vivaclient::RecordedFrame frame_;
};

// Temperatures in degrees (any shape) corrected to `emissivity` from the
// camera's values: the client layer's CorrectEmissivity on each.
py::array_t<double> CorrectEmissivityArray(py::array_t<double, py::array::forcecast> temps, double emissivity,
                                           double cameraEmissivity, double reflectedTemp, py::object unit)
{
    const std::string symbol = py::str(py::hasattr(unit, "symbol") ? unit.attr("symbol") : unit);
    vivaclient::CameraRadiometry camera{cameraEmissivity, reflectedTemp, vivaclient::UnitFromFile(-1, symbol)};
    if (!camera.unit.declared())
        throw std::invalid_argument(
            "the emissivity correction needs a temperature unit (degC, degF or K, or C, F "
            "or K), not '" +
            symbol + "'; declare the camera's in VIVAZUZOZ_TEMP_UNITS");
    if (!(emissivity > 0) || emissivity > 1 || !(cameraEmissivity > 0) || cameraEmissivity > 1)
        throw std::invalid_argument("emissivities are above 0 and at most 1");
    py::array_t<double> out(temps.request().shape);
    const double* in = temps.data();
    double* to = out.mutable_data();
    for (py::ssize_t i = 0; i < temps.size(); ++i)
        to[i] = vivaclient::CorrectEmissivity(in[i], emissivity, camera);
    return out;
}

}  // namespace

void RegisterFiles(py::module_& m)
{
    m.attr("TEMPERATURE_SCALE") = vivaclient::kTemperatureScale;
    m.attr("TEMPERATURE_OFFSET") = vivaclient::kTemperatureOffset;
    m.def(
        "declared_unit", [](int number) { return UnitTuple(vivaclient::DeclaredUnit(number)); }, py::arg("number"),
        "What the camera's unit number means under VIVAZUZOZ_TEMP_UNITS: (number, symbol, name or None, label).");
    m.def("correct_emissivity", &CorrectEmissivityArray, py::arg("temps"), py::arg("emissivity"),
          py::arg("camera_emissivity"), py::arg("reflected_temp"), py::arg("unit"),
          "Temperatures (degrees, a number or an array of any shape) that the camera measured with its emissivity "
          "camera_emissivity and reflected temperature reflected_temp, as an object of `emissivity` reads them: "
          "T^4 = (ec*Tc^4 - (ec-e)*Tr^4)/e in kelvins. `unit`: a TemperatureUnit or its symbol (degC, degF, K). "
          "Returns float64 degrees in the same unit and shape.");
    m.def("read_snapshot", &ReadSnapshot, py::arg("path"),
          "A TIFF snapshot or radiometric JPEG: dict of raw_temperature (int16 tenths), image (uint16 or None), "
          "unit (number, symbol, name or None, label) and fields (name, value) pairs.");
    py::class_<Recording>(m, "Recording")
        .def(py::init<const std::string&>(), py::arg("path"))
        .def_property_readonly("frames", &Recording::frames)
        .def_property_readonly("width", &Recording::width)
        .def_property_readonly("height", &Recording::height)
        .def_property_readonly("radiometric", &Recording::radiometric)
        .def_property_readonly("description", &Recording::description)
        .def_property_readonly("unit", &Recording::unit)
        .def_property_readonly("times", &Recording::times)
        .def("read", &Recording::Read, py::arg("index"));
}

}  // namespace vivazuzoz_python
