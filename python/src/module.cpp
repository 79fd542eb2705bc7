// _vivazuzoz - the compiled part of the `vivazuzoz` package. The package's
// __init__.py builds the documented API on top of it.
//
// Interpreter lock: every call that can block (search, open, close, a
// command, waiting for a frame, copying a frame out) runs without it. Library
// threads never take it, except the poll thread to call a Python exception
// callback that the application registered.
#include "BufferPool.h"
#include "CameraCore.h"
#include "files.h"
#include <vivaclient/number_text.h>
#include <vivaclient/settings.h>

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
    return py::array_t<T>({height, width}, {width * static_cast<py::ssize_t>(sizeof(T)), static_cast<py::ssize_t>(sizeof(T))},
                          static_cast<T*>(owner->data), base);
}

// One frame handed to Python: arrays that own their memory.
struct Frame {
    py::object image;            // uint16 (height, width)
    py::object temperature;      // float32 degrees, or None
    py::object rawTemperature;   // int16 tenths of a degree, or None
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
        m_core = CameraCore::Make(which);
        SetListener(EventListeners(), m_core->id(), std::move(onEvent));
        try {
            WithoutGil([&] {
                m_core->Start();
                m_core->ReleaseHeldEvents();  // the callback may search or open cameras now
                return 0;
            });
        } catch (...) {
            // The callback hears nothing of a camera that never opened.
            SetListener(EventListeners(), m_core->id(), py::none());
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
                m_core->Close();
                return 0;
            });
        SetListener(Listeners(), m_core->id(), py::none());
        SetListener(EventListeners(), m_core->id(), py::none());
    }

    bool closed() const { return m_core->closed(); }
    int width() const { return m_core->ring().width(); }
    int height() const { return m_core->ring().height(); }
    bool radiometric() const { return m_core->ring().withTemps(); }
    uint64_t dropped() const { return m_core->ring().dropped(); }
    int waitingReaders() const { return m_core->ring().waiting(); }
    py::tuple info() const
    {
        const CameraInfo e = m_core->entry();
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
        if (m_core->closed())
            throw CameraCore::ClosedError("Camera.read");
        FrameRing& ring = m_core->ring();
        FrameRing::Slot* slot = nullptr;
        const FrameRing::Outcome outcome = WithoutGil([&] { return ring.Take(timeout, &slot); });
        switch (outcome) {
        case FrameRing::Outcome::Closed: throw CameraCore::ClosedError("Camera.read");
        case FrameRing::Outcome::Gone: throw m_core->GoneError("Camera.read");
        case FrameRing::Outcome::Timeout: {
            char text[96];
            std::snprintf(text, sizeof text, "Camera.read: no frame within %g s", timeout);
            throw CallError(CallError::Timeout, OZL_USB_FAILURE, text);
        }
        case FrameRing::Outcome::Frame: break;
        }
        struct Hold {  // gives the slot back however this ends
            FrameRing& ring;
            FrameRing::Slot* slot;
            ~Hold() { ring.Release(slot); }
        } hold{ring, slot};

        const py::ssize_t h = ring.height(), w = ring.width();
        py::array_t<uint16_t> image = PooledArray<uint16_t>(m_pool, h, w);
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
            py::array_t<int16_t> raw = PooledArray<int16_t>(m_pool, h, w);
            py::array_t<float> temps = PooledArray<float>(m_pool, h, w);
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

    // Settings, by the tool's names (client/settings.h): the table gives the
    // library call, the range and how the value travels.
    double Get(const char* name)
    {
        const vivaclient::Setting& setting = SettingNamed(name);
        vivaclient::SettingValue value;
        Run(setting.getFunction, [&](unsigned long h) { return vivaclient::ReadSetting(h, setting, value).result; });
        return value.number;
    }
    void Set(const char* name, double value, const std::string& typed)
    {
        const vivaclient::Setting& setting = SettingNamed(name);
        std::string error;
        if (!vivaclient::InSettingRange(setting, value, typed, error))
            throw CallError(CallError::Result, OZL_USB_INVALID_PARAM, error);
        Run(setting.setFunction, [&](unsigned long h) { return vivaclient::WriteSetting(h, setting, value).result; });
    }
    int GetImageParam(int type) { return static_cast<int>(Get(ImageParamName(type))); }
    void SetImageParam(int type, py::object value) { Set(ImageParamName(type), IntegerValue(value), Typed(value)); }
    void Shutter()
    {
        WithoutGil([&] {
            m_core->CorrectShutter("shutter: OZL_USB_CorrectShutter");
            return 0;
        });
    }
    // (atmos_temp, distance, emissivity, reflected_temp, transmittance), as the
    // record, each rounded to the 0.0001 it travels with.
    py::tuple GetEnv()
    {
        OZL_USB_ENV_PARAM p{};
        Run("OZL_USB_GetEnvParam", [&](unsigned long h) { return OZL_USB_GetEnvParam(h, &p); });
        auto exact = [](float v) { return static_cast<double>(vivaclient::EnvUnitsOfFloat(v)) / 10000.0; };
        return py::make_tuple(exact(p.atmosTemp), exact(p.distance), exact(p.emissivity), exact(p.reflectedTemp),
                              exact(p.transmittance));
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
        if (m_core->closed())
            throw CameraCore::ClosedError("Camera.on_exception");
        SetListener(Listeners(), m_core->id(), std::move(callback));
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
        const std::vector<SessionEvent> taken = WithoutGil([&] { return m_core->TakeEvents(timeout); });
        py::list out;
        for (const SessionEvent& e : taken)
            out.append(EventRecord(e));
        return out;
    }

    // An integral Python value (bool excluded), as the integer settings take.
    static double IntegerValue(const py::object& value)
    {
        if (!py::isinstance<py::int_>(value) || py::isinstance<py::bool_>(value))
            throw py::type_error("expected an integer, not " + Typed(value));
        return value.cast<double>();
    }
    static std::string Typed(const py::object& value) { return py::repr(value).cast<std::string>(); }

private:
    static const vivaclient::Setting& SettingNamed(const char* name)
    {
        const vivaclient::Setting* setting = vivaclient::FindSetting(name);
        if (!setting)
            throw std::logic_error(std::string("no setting ") + name);
        return *setting;
    }
    static const char* ImageParamName(int type)
    {
        for (const vivaclient::Setting& s : vivaclient::Settings())
            if (s.access == vivaclient::SettingAccess::ImageParam && s.slot == type)
                return s.name;
        throw CallError(CallError::Result, OZL_USB_INVALID_PARAM, "image parameter " + std::to_string(type) + ": expected 0..5");
    }

    template <typename Call>
    void Run(const char* what, Call call)
    {
        WithoutGil([&] {
            m_core->Command(what, call);
            return 0;
        });
    }

    std::shared_ptr<CameraCore> m_core;
    // Buffers of the arrays handed out: three frames' worth are recycled.
    std::shared_ptr<BufferPool> m_pool = std::make_shared<BufferPool>(9);
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

}  // namespace

PYBIND11_MODULE(_vivazuzoz, m)
{
    m.doc() = "Compiled core of the vivazuzoz package; use the package, not this module.";
    RegisterFiles(m);

    // The exception classes live in Python (vivazuzoz/_errors.py).
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

    CameraCore::SetExceptionHook(&ForwardException);
    CameraCore::SetEventHook(&ForwardEvent);
    CameraCore::CaptureCoreLines();

    // pybind11 loads numpy's C API on first use, behind a static guard. Two
    // threads reading their first frames at once would deadlock there (one
    // waits on the guard holding the interpreter lock, the other imports
    // numpy and needs that lock), so load it now.
    py::array_t<uint16_t> warmUp(0);

    m.def("search", [] {
        const std::vector<CameraInfo> found = WithoutGil([] { return Search(); });
        py::list out;
        for (const CameraInfo& e : found)
            out.append(py::make_tuple(e.index, e.name, e.videoPath, e.serialPath, e.usbPort));
        return out;
    }, "A fresh search: a list of (index, name, video_path, serial_path, usb_port).");
    m.def("_show_core_lines", [](bool on) { CameraCore::ShowCoreLines(on); },
          "Show the capture core's own lines on standard error as they come, instead of logging them.");
    m.def("_shutdown", &Shutdown, "Closes every camera and stops the library (run at interpreter exit).");
    py::module_::import("atexit").attr("register")(m.attr("_shutdown"));

    py::class_<Frame>(m, "Frame", "One frame; its arrays own their memory.")
        .def_readonly("image", &Frame::image,
                      "numpy.uint16 array (height, width): the camera's image plane.")
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
        .def_property("palette",
            [](Camera& c) { return static_cast<int>(c.Get("palette")); },
            [](Camera& c, py::object v) { c.Set("palette", Camera::IntegerValue(v), Camera::Typed(v)); },
            "Palette number, as the camera numbers its palettes (0 to 255).")
        .def_property("temp_level",
            [](Camera& c) { return static_cast<int>(c.Get("temp-level")); },
            [](Camera& c, py::object v) { c.Set("temp-level", Camera::IntegerValue(v), Camera::Typed(v)); },
            "Temperature level (measuring range) 0, 1 or 2; radiometric streams only.")
        .def_property("temp_unit",
            [](Camera& c) { return static_cast<int>(c.Get("temp-unit")); },
            [](Camera& c, py::object v) { c.Set("temp-unit", Camera::IntegerValue(v), Camera::Typed(v)); },
            "Temperature unit, as the camera numbers it (0 to 255); radiometric streams only.")
        .def_property("image_level",
            [](Camera& c) { return static_cast<int>(c.Get("image-level")); },
            [](Camera& c, py::object v) { c.Set("image-level", Camera::IntegerValue(v), Camera::Typed(v)); },
            "Image level (0 to 255).")
        .def_property_readonly("fpa_temperature",
            [](Camera& c) { return (c.Get("fpa-temp")); },
            "Detector (FPA) temperature in degrees.")
        .def_property_readonly("camera_temperature",
            [](Camera& c) { return (c.Get("camera-temp")); },
            "The camera's own temperature in degrees.")
        .def("_get_image_param", &Camera::GetImageParam)
        .def("_set_image_param", &Camera::SetImageParam)
        .def("shutter", &Camera::Shutter, "Runs the shutter (flat-field) correction; waits up to 10 s.")
        .def("_get_env", &Camera::GetEnv)
        .def("_set_env", &Camera::SetEnv)
        .def("_events", &Camera::Events, py::arg("timeout") = 0.0)
        .def("on_exception", &Camera::OnException, py::arg("callback"),
             "callback(code) runs on a library thread when the camera reports an exception "
             "(1001: the camera is gone); None removes it. Keep it short.");
}
