// _vivazuzoz - the compiled part of the `vivazuzoz` package. The package's
// __init__.py builds the documented API on top of it.
//
// Interpreter lock: every call that can block (search, open, close, a
// command, waiting for a frame, copying a frame out) runs without it. Library
// threads never take it, except the poll thread to call a Python exception
// callback that the application registered.
#include <vivaclient/number_text.h>
#include <vivaclient/settings.h>
#include "buffer_pool.h"
#include "camera_core.h"
#include "files.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cmath>
#include <map>
#include <optional>

namespace py = pybind11;
using namespace vivazuzoz_python;

namespace {

// The library's lines since the last call (what its threads and calls
// wrote to stdout and stderr), into Python's logging: logger "vivazuzoz",
// level DEBUG. Needs the interpreter lock.
void LogCoreLines()
{
    const std::string lines = CameraCore::TakeCoreLines();
    if (lines.empty())
        return;
    try {
        py::module_::import("logging").attr("getLogger")("vivazuzoz").attr("debug")("library:\n%s", lines);
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("vivazuzoz library lines");
    }
}

// Runs work() without the interpreter lock; what the thread writes to stdout
// and stderr meanwhile is the library's, and is logged on return. The lock
// is taken back in plain code, not in a destructor: at interpreter exit
// taking it may end this thread, and that must not happen inside a destructor.
template <typename Work>
auto WithoutGil(Work&& work)
{
    PyThreadState* state = PyEval_SaveThread();
    std::exception_ptr error;
    decltype(work()) result{};
    try {
        LibraryLines library;
        result = work();
    } catch (...) {
        error = std::current_exception();
    }
    PyEval_RestoreThread(state);
    LogCoreLines();
    if (error)
        std::rethrow_exception(error);
    return result;
}

// False from interpreter exit on: no more Python callbacks.
std::atomic<bool> g_pythonAlive{true};
std::atomic<int> g_listeners{0};  // exception and event callbacks registered

// Python callbacks by camera id: exception callbacks (on_exception) and
// event callbacks (on_event). Guarded by the interpreter lock; never
// destroyed (they are empty by the time the interpreter is gone).
std::map<uint64_t, py::object>& Listeners()
{
    static auto* listeners = new std::map<uint64_t, py::object>();
    return *listeners;
}
std::map<uint64_t, py::object>& EventListeners()
{
    static auto* listeners = new std::map<uint64_t, py::object>();
    return *listeners;
}

// On a library thread: calls the callback registered for `id` in
// `listeners` with argument(), under the interpreter lock; nothing escapes
// into the library's thread.
template <typename Argument>
void CallListener(std::map<uint64_t, py::object>& (*listeners)(), uint64_t id, const char* what, Argument argument)
{
    if (!g_pythonAlive.load() || g_listeners.load() == 0)
        return;
    py::gil_scoped_acquire gil;
    if (!g_pythonAlive.load())
        return;
    LogCoreLines();
    const auto it = listeners().find(id);
    if (it == listeners().end())
        return;
    py::object callback = it->second;
    try {
        callback(argument());
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable(what);
    } catch (const std::exception&) {
    }
}

// (kind, time, monotonic, message, gap, sequence, camera): what the
// package's Event is made of. Needs the interpreter lock.
py::tuple EventRecord(const SessionEvent& e)
{
    const double time = std::chrono::duration<double>(e.when.time_since_epoch()).count();
    const double monotonic = std::chrono::duration<double>(e.at.time_since_epoch()).count();
    const CameraInfo& c = e.camera;
    return py::make_tuple(vivaclient::EventName(e.kind), time, monotonic, e.message, e.gapSeconds, e.sequence,
                          py::make_tuple(c.index, c.name, c.videoPath, c.serialPath, c.usbPort));
}

void ForwardException(uint64_t id, int code)
{
    CallListener(&Listeners, id, "vivazuzoz exception callback", [code] { return py::int_(code); });
}

void ForwardEvent(uint64_t id, const SessionEvent& event)
{
    CallListener(&EventListeners, id, "vivazuzoz event callback", [&event] { return EventRecord(event); });
}

void SetListener(std::map<uint64_t, py::object>& listeners, uint64_t id, py::object callback)
{
    const bool had = listeners.count(id) != 0;
    if (callback.is_none()) {
        if (had) {
            listeners.erase(id);
            --g_listeners;
        }
        return;
    }
    listeners[id] = std::move(callback);
    if (!had)
        ++g_listeners;
}

// A (height, width) array whose buffer comes from `pool` and goes back to it
// when the array is gone; nothing else refers to the buffer.
template <typename T>
py::array_t<T> PooledArray(const std::shared_ptr<BufferPool>& pool, py::ssize_t height, py::ssize_t width)
{
    struct Owner {
        std::shared_ptr<BufferPool> pool;
        void* data;
        size_t bytes;
    };
    const size_t bytes = static_cast<size_t>(height * width) * sizeof(T);
    auto* owner = new Owner{pool, pool->Get(bytes), bytes};
    py::capsule base(owner, [](void* p) {
        auto* o = static_cast<Owner*>(p);
        o->pool->Put(o->data, o->bytes);
        delete o;
    });
    return py::array_t<T>({height, width},
                          {width * static_cast<py::ssize_t>(sizeof(T)), static_cast<py::ssize_t>(sizeof(T))},
                          static_cast<T*>(owner->data), base);
}

// One frame handed to Python: arrays that own their memory.
struct Frame {
    py::object image;           // uint16 (height, width)
    py::object temperature;     // float32 degrees, or None
    py::object rawTemperature;  // int16 tenths of a degree, or None
    uint64_t sequence = 0;
    double timestamp = 0;
    bool afterGap = false;
    bool shutter = false;
    bool settling = false;
};

class Camera {
public:
    Camera(int index, const std::string& path, bool reconnect, py::object onEvent, double shutterEvery,
           double shutterOnDrift, double shutterSettle)
    {
        if (!onEvent.is_none() && !PyCallable_Check(onEvent.ptr()))
            throw py::type_error("Camera: on_event must be callable or None");
        if (!(shutterEvery >= 0 && shutterEvery <= 7 * 86400) || !(shutterOnDrift >= 0 && shutterOnDrift <= 100) ||
            !(shutterSettle >= 0 && shutterSettle <= 600))
            throw py::value_error(
                "Camera: shutter_every takes 0 to 604800 seconds, shutter_on_drift 0 to 100 "
                "degrees, shutter_settle 0 to 600 seconds");
        Selector which;
        which.index = index;
        which.path = path;
        which.reconnect = reconnect;
        which.shutter.every = std::chrono::milliseconds(std::llround(shutterEvery * 1000));
        which.shutter.onDrift = shutterOnDrift;
        which.shutter.settleTime = std::chrono::milliseconds(std::llround(shutterSettle * 1000));
        core_ = CameraCore::Make(which);
        SetListener(EventListeners(), core_->id(), std::move(onEvent));
        try {
            WithoutGil([&] {
                core_->Start();
                core_->ReleaseHeldEvents();  // the callback may search or open cameras now
                return 0;
            });
        } catch (...) {
            // The callback hears nothing of a camera that never opened.
            SetListener(EventListeners(), core_->id(), py::none());
            Close();
            throw;
        }
    }
    ~Camera() { Close(); }

    // The event callback hears the close (the last event), then no more.
    void Close()
    {
        // After interpreter exit began, the library has closed every camera.
        if (g_pythonAlive.load())
            WithoutGil([&] {
                core_->Close();
                return 0;
            });
        SetListener(Listeners(), core_->id(), py::none());
        SetListener(EventListeners(), core_->id(), py::none());
    }

    bool closed() const { return core_->closed(); }
    int width() const { return core_->ring().width(); }
    int height() const { return core_->ring().height(); }
    bool radiometric() const { return core_->ring().withTemps(); }
    uint64_t dropped() const { return core_->ring().dropped(); }
    int waitingReaders() const { return core_->ring().waiting(); }
    py::tuple info() const
    {
        const CameraInfo e = core_->entry();
        return py::make_tuple(e.index, e.name, e.videoPath, e.serialPath, e.usbPort);
    }

    Frame Read(py::object timeoutArg)
    {
        double timeout = -1;
        if (!timeoutArg.is_none()) {
            timeout = timeoutArg.cast<double>();
            if (!(timeout >= 0))
                throw CallError(CallError::Result, OZL_USB_INVALID_PARAM,
                                "Camera.read: timeout must be a number of seconds >= 0, or None");
        }
        if (core_->closed())
            throw CameraCore::ClosedError("Camera.read");
        FrameRing& ring = core_->ring();
        FrameRing::Slot* slot = nullptr;
        const FrameRing::Outcome outcome = WithoutGil([&] { return ring.Take(timeout, &slot); });
        switch (outcome) {
        case FrameRing::Outcome::Closed:
            throw CameraCore::ClosedError("Camera.read");
        case FrameRing::Outcome::Gone:
            throw core_->GoneError("Camera.read");
        case FrameRing::Outcome::Timeout: {
            char text[96];
            std::snprintf(text, sizeof text, "Camera.read: no frame within %g s", timeout);
            throw CallError(CallError::Timeout, OZL_USB_FAILURE, text);
        }
        case FrameRing::Outcome::Frame:
            break;
        }
        struct Hold {  // gives the slot back however this ends
            FrameRing& ring;
            FrameRing::Slot* slot;
            ~Hold() { ring.Release(slot); }
        } hold{ring, slot};

        const py::ssize_t h = ring.height(), w = ring.width();
        py::array_t<uint16_t> image = PooledArray<uint16_t>(pool_, h, w);
        uint16_t* imageOut = image.mutable_data();
        Frame frame;
        frame.sequence = slot->sequence;
        frame.timestamp = slot->timestamp;
        frame.afterGap = slot->afterGap;
        frame.shutter = slot->shutter;
        frame.settling = slot->settling;
        frame.image = image;
        int16_t* rawOut = nullptr;
        float* tempOut = nullptr;
        if (slot->hasTemps) {
            py::array_t<int16_t> raw = PooledArray<int16_t>(pool_, h, w);
            py::array_t<float> temps = PooledArray<float>(pool_, h, w);
            rawOut = raw.mutable_data();
            tempOut = temps.mutable_data();
            frame.rawTemperature = raw;
            frame.temperature = temps;
        } else {
            frame.rawTemperature = py::none();
            frame.temperature = py::none();
        }
        WithoutGil([&] {
            ring.CopyOut(*slot, imageOut, rawOut, tempOut);
            return 0;
        });
        return frame;
    }

    // A setting of the table (client/settings.h) by its name: an int for
    // integer settings, a float for decimal ones (an environment value as
    // the 0.0001 it travels with), (width, height) for the detector size.
    py::object GetSetting(const std::string& name)
    {
        const vivaclient::Setting& setting = SettingNamed(name);
        vivaclient::SettingValue value;
        Run(setting.getFunction, [&](unsigned long h) { return vivaclient::ReadSetting(h, setting, value).result; });
        if (setting.access == vivaclient::SettingAccess::FpaSize)
            return py::make_tuple(value.width, value.height);
        if (setting.isInteger())
            return py::int_(static_cast<long long>(value.number));
        if (setting.access == vivaclient::SettingAccess::EnvParam)
            return py::float_(Exact(static_cast<float>(value.number)));
        return py::float_(value.number);
    }
    // Checked against the table's range before anything is sent.
    void SetSetting(const std::string& name, const py::object& value)
    {
        const vivaclient::Setting& setting = SettingNamed(name);
        if (setting.readOnly())
            throw py::attribute_error("setting " + name + " is read-only");
        const double number = setting.isInteger() ? IntegerValue(value) : NumberValue(value);
        std::string error;
        if (!vivaclient::InSettingRange(setting, number, Typed(value), error))
            throw CallError(CallError::Result, OZL_USB_INVALID_PARAM, error);
        Run(setting.setFunction, [&](unsigned long h) { return vivaclient::WriteSetting(h, setting, number).result; });
    }
    void Shutter()
    {
        WithoutGil([&] {
            core_->CorrectShutter("shutter: OZL_USB_CorrectShutter");
            return 0;
        });
    }
    // (atmos_temp, distance, emissivity, reflected_temp, transmittance), as the
    // record, each rounded to the 0.0001 it travels with.
    py::tuple GetEnv()
    {
        OZL_USB_ENV_PARAM p{};
        Run("OZL_USB_GetEnvParam", [&](unsigned long h) { return OZL_USB_GetEnvParam(h, &p); });
        return py::make_tuple(Exact(p.atmosTemp), Exact(p.distance), Exact(p.emissivity), Exact(p.reflectedTemp),
                              Exact(p.transmittance));
    }
    // The fields given (None: keep the camera's), in the record's order; the
    // client layer reads the record and writes it back with these changed.
    void SetEnv(std::optional<double> atmos, std::optional<double> distance, std::optional<double> emissivity,
                std::optional<double> reflected, std::optional<double> transmittance)
    {
        const std::optional<double> values[vivaclient::kEnvFieldCount] = {atmos, distance, emissivity, reflected,
                                                                          transmittance};
        for (const vivaclient::Setting& s : vivaclient::Settings()) {
            std::string error;
            if (s.access == vivaclient::SettingAccess::EnvParam && values[s.slot] &&
                !vivaclient::InSettingRange(s, *values[s.slot], vivaclient::FormatDecimal(*values[s.slot], 6), error))
                throw CallError(CallError::Result, OZL_USB_INVALID_PARAM, "env: " + error);
        }
        Run("OZL_USB_SetEnvParam", [&](unsigned long h) { return vivaclient::WriteEnvironment(h, values).result; });
    }
    void OnException(py::object callback)
    {
        if (!callback.is_none() && !PyCallable_Check(callback.ptr()))
            throw py::type_error("Camera.on_exception: callback must be callable or None");
        if (core_->closed())
            throw CameraCore::ClosedError("Camera.on_exception");
        SetListener(Listeners(), core_->id(), std::move(callback));
    }
    // The events not taken yet, as records (EventRecord), waiting up to
    // `timeout` seconds (None: without limit) for one when there are none.
    py::list Events(py::object timeoutArg)
    {
        double timeout = -1;
        if (!timeoutArg.is_none()) {
            timeout = timeoutArg.cast<double>();
            if (!(timeout >= 0))
                throw CallError(CallError::Result, OZL_USB_INVALID_PARAM,
                                "Camera.events: timeout must be a number of seconds >= 0, or None");
        }
        const std::vector<SessionEvent> taken = WithoutGil([&] { return core_->TakeEvents(timeout); });
        py::list out;
        for (const SessionEvent& e : taken)
            out.append(EventRecord(e));
        return out;
    }

private:
    // An integral Python value (bool excluded), as the integer settings take.
    static double IntegerValue(const py::object& value)
    {
        if (!py::isinstance<py::int_>(value) || py::isinstance<py::bool_>(value))
            throw py::type_error("expected an integer, not " + Typed(value));
        return value.cast<double>();
    }
    // An int or a float (bool excluded), as the decimal settings take.
    static double NumberValue(const py::object& value)
    {
        if (!(py::isinstance<py::int_>(value) || py::isinstance<py::float_>(value)) || py::isinstance<py::bool_>(value))
            throw py::type_error("expected a number, not " + Typed(value));
        return value.cast<double>();
    }
    static std::string Typed(const py::object& value) { return py::repr(value).cast<std::string>(); }
    // An environment value read from the library, as the value x 10000 it stands for.
    static double Exact(float value) { return static_cast<double>(vivaclient::EnvUnitsOfFloat(value)) / 10000.0; }

    static const vivaclient::Setting& SettingNamed(const std::string& name)
    {
        const vivaclient::Setting* setting = vivaclient::FindSetting(name);
        if (!setting)
            throw CallError(CallError::Result, OZL_USB_INVALID_PARAM, "no setting " + name);
        return *setting;
    }

    template <typename Call>
    void Run(const char* what, Call call)
    {
        WithoutGil([&] {
            core_->Command(what, call);
            return 0;
        });
    }

    std::shared_ptr<CameraCore> core_;
    // Buffers of the arrays handed out: three frames' worth are recycled.
    std::shared_ptr<BufferPool> pool_ = std::make_shared<BufferPool>(9);
};

void Shutdown()
{
    g_pythonAlive.store(false);
    WithoutGil([] {
        CameraCore::ShutdownAll();
        return 0;
    });
    Listeners().clear();
    EventListeners().clear();
    g_listeners.store(0);
}

// The exception classes live in Python (vivazuzoz/_errors.py); CallError
// becomes the one its kind and code name.
void RegisterErrors()
{
    py::module_ errors = py::module_::import("vivazuzoz._errors");
    static py::handle byCode[5];
    static py::handle timeoutClass, goneClass, errorClass;
    // Kept for the life of the process (the translator may run until exit).
    auto keep = [&](const char* name) { return py::object(errors.attr(name)).release(); };
    errorClass = keep("Error");
    byCode[OZL_USB_NOT_SUPPORTED] = keep("NotSupported");
    byCode[OZL_USB_INVALID_PARAM] = keep("InvalidParam");
    byCode[OZL_USB_OPEN_FAILED] = keep("OpenFailed");
    timeoutClass = keep("Timeout");
    goneClass = keep("Disconnected");
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const CallError& e) {
            py::handle cls = errorClass;
            if (e.kind == CallError::Timeout)
                cls = timeoutClass;
            else if (e.kind == CallError::Gone)
                cls = goneClass;
            else if (e.code > 0 && e.code < 5 && byCode[e.code])
                cls = byCode[e.code];
            py::object error = e.event.empty() ? cls(e.what(), e.code) : cls(e.what(), e.code, e.event);
            PyErr_SetObject(cls.ptr(), error.ptr());
        }
    });
}

// search, the core's lines and the exit handler.
void RegisterFunctions(py::module_& m)
{
    m.def(
        "search",
        [] {
            const std::vector<CameraInfo> found = WithoutGil([] { return Search(); });
            py::list out;
            for (const CameraInfo& e : found)
                out.append(py::make_tuple(e.index, e.name, e.videoPath, e.serialPath, e.usbPort));
            return out;
        },
        "A fresh search: a list of (index, name, video_path, serial_path, usb_port).");
    m.def(
        "_show_core_lines", [](bool on) { CameraCore::ShowCoreLines(on); },
        "Show the capture core's own lines on standard error as they come, instead of logging them.");
    m.def("_shutdown", &Shutdown, "Closes every camera and stops the library (run at interpreter exit).");
    py::module_::import("atexit").attr("register")(m.attr("_shutdown"));
}

// The settings table as the package makes its properties from it: one dict
// per setting, in the table's order. `number` is an image-tuning
// parameter's number (get_image_param), -1 for the others.
py::list SettingsTable()
{
    py::list rows;
    for (const vivaclient::Setting& s : vivaclient::Settings()) {
        py::dict row;
        row["name"] = s.name;
        row["description"] = s.description;
        row["label"] = s.label;
        row["unit"] = s.unit;
        row["group"] = vivaclient::SettingGroupName(s.group);
        row["kind"] = s.access == vivaclient::SettingAccess::FpaSize ? "size" : s.isInteger() ? "integer" : "decimal";
        row["minimum"] = s.min;
        row["maximum"] = s.max;
        row["decimals"] = s.decimals;
        row["read_only"] = s.readOnly();
        row["number"] = s.access == vivaclient::SettingAccess::ImageParam ? s.slot : -1;
        rows.append(std::move(row));
    }
    return rows;
}

void RegisterFrame(py::module_& m)
{
    py::class_<Frame>(m, "Frame", "One frame; its arrays own their memory.")
        .def_readonly("image", &Frame::image, "numpy.uint16 array (height, width): the camera's image plane.")
        .def_readonly("temperature", &Frame::temperature,
                      "numpy.float32 array (height, width): degrees in the camera's unit (Camera.temp_unit), "
                      "raw_temperature / 10; None on an image-only stream.")
        .def_readonly("raw_temperature", &Frame::rawTemperature,
                      "numpy.int16 array (height, width): tenths of a degree as the library delivers them; "
                      "None on an image-only stream.")
        .def_readonly("sequence", &Frame::sequence,
                      "Number of this frame among all that arrived from the camera since it was opened (from 1); "
                      "a gap means frames were dropped.")
        .def_readonly("timestamp", &Frame::timestamp, "Arrival time on the clock of time.monotonic().")
        .def_readonly("after_gap", &Frame::afterGap,
                      "True on the first frame read after the camera was lost or stalled and came back "
                      "(reconnect=True); the sequence numbers go on across the gap.")
        .def_readonly("shutter", &Frame::shutter,
                      "True on a frame taken during a shutter (flat-field) correction, commanded or the camera's "
                      "own (a frozen or flat picture): its temperatures say nothing of the scene.")
        .def_readonly("settling", &Frame::settling,
                      "True on a frame taken in the second after a shutter correction, while the picture settles.")
        .def("__repr__", [](const Frame& f) {
            py::object shape = f.image.attr("shape");
            return "<vivazuzoz.Frame " + std::to_string(f.sequence) + " " + py::str(shape).cast<std::string>() +
                   (f.temperature.is_none() ? " image only>" : " with temperature>");
        });
}

// The settings are not here: the package makes a property of every row of
// _settings() on its Camera, over _get_setting and _set_setting.
void RegisterCamera(py::module_& m)
{
    py::class_<Camera>(m, "Camera")
        .def(py::init<int, const std::string&, bool, py::object, double, double, double>(), py::arg("index") = 0,
             py::arg("path") = "", py::arg("reconnect") = false, py::arg("on_event") = py::none(),
             py::arg("shutter_every") = 0.0, py::arg("shutter_on_drift") = 0.0, py::arg("shutter_settle") = 1.0)
        .def("close", &Camera::Close,
             "Closes the camera (a read waiting in another thread raises, frames() ends); later calls do nothing.")
        .def_property_readonly("closed", &Camera::closed, "True once the camera is closed.")
        .def_property_readonly("width", &Camera::width, "Detector width in pixels.")
        .def_property_readonly("height", &Camera::height, "Detector height in pixels.")
        .def_property_readonly("radiometric", &Camera::radiometric,
                               "True on an image-and-temperature stream: frames carry temperatures.")
        .def_property_readonly("dropped", &Camera::dropped,
                               "Frames the camera delivered that no read took (a newer one replaced them).")
        .def_property_readonly("_waiting_readers", &Camera::waitingReaders)
        .def_property_readonly("_info", &Camera::info)
        .def("read", &Camera::Read, py::arg("timeout") = 2.0)
        .def("_get_setting", &Camera::GetSetting, py::arg("name"))
        .def("_set_setting", &Camera::SetSetting, py::arg("name"), py::arg("value"))
        .def("shutter", &Camera::Shutter, "Runs the shutter (flat-field) correction; waits up to 10 s.")
        .def("_get_env", &Camera::GetEnv)
        .def("_set_env", &Camera::SetEnv)
        .def("_events", &Camera::Events, py::arg("timeout") = 0.0)
        .def("on_exception", &Camera::OnException, py::arg("callback"),
             "callback(code) runs on a library thread when the camera reports an exception "
             "(1001: the camera is gone); None removes it. Keep it short.");
}

}  // namespace

PYBIND11_MODULE(_vivazuzoz, m)
{
    m.doc() = "Compiled core of the vivazuzoz package; use the package, not this module.";
    RegisterFiles(m);
    RegisterErrors();

    CameraCore::SetExceptionHook(&ForwardException);
    CameraCore::SetEventHook(&ForwardEvent);
    CameraCore::CaptureCoreLines();

    // pybind11 loads numpy's C API on first use, behind a static guard. Two
    // threads reading their first frames at once would deadlock there (one
    // waits on the guard holding the interpreter lock, the other imports
    // numpy and needs that lock), so load it now.
    py::array_t<uint16_t> warmUp(0);

    RegisterFunctions(m);
    m.def("_settings", &SettingsTable, "The settings table: one dict per setting (name, range, unit, access, group).");
    RegisterFrame(m);
    RegisterCamera(m);
}
