// thermalcolorize.cpp - false colours for 16-bit grey video, with the colour
// maps of the tool.
//
// A buffer that carries temperatures (a vivazuzozsrc buffer of the
// temperature plane, or one whose meta holds them) is coloured by its
// temperatures, as the tool's pictures are; other buffers by their samples.
// The fixed range is then in degrees, else in raw sample values. A repeat of
// the last frame that vivazuzozsrc sends while its camera is away
// (keep-alive=true) is dimmed and marked "CAMERA LOST".
#include "colour_frame.h"
#include "elements.h"

#include <vivaclient/colormaps.h>
#include <vivaclient/colour_kernel.h>

#include <gst/video/gstvideofilter.h>
#include <gst/video/video.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

GST_DEBUG_CATEGORY_STATIC(thermal_colorize_debug);
#define GST_CAT_DEFAULT thermal_colorize_debug

namespace {

enum { PROP_0, PROP_COLORMAP, PROP_RANGE, PROP_MIN, PROP_MAX, PROP_COLORBAR, PROP_MARKERS };

constexpr const char* kOutFormats = "{ RGBx, BGRx, RGB, I420 }";

GType RangeEnumType()
{
    static gsize type = 0;
    if (g_once_init_enter(&type)) {
        static const GEnumValue values[] = {
            {static_cast<gint>(vivagst::RangeMode::Auto), "Each frame's range, followed smoothly (no flicker)", "auto"},
            {static_cast<gint>(vivagst::RangeMode::Frame),
             "Each frame's own minimum to maximum, as the tool's pictures", "frame"},
            {static_cast<gint>(vivagst::RangeMode::Fixed),
             "From min to max (degrees when the buffers carry temperatures, else raw values)", "fixed"},
            {0, nullptr, nullptr}};
        g_once_init_leave(&type, g_enum_register_static("ThermalColorizeRange", values));
    }
    return type;
}

struct ColorizeState {
    // Properties, guarded by the object lock.
    std::string colormap = vivaclient::Colormaps().front().name;
    vivagst::RangeMode mode = vivagst::RangeMode::Auto;
    double min = 0, max = 0;
    bool colourBar = false, markers = false;
    // Streaming thread only.
    vivagst::ColourRange range;
    vivaclient::ColourKernel kernel;
    std::vector<uint16_t> packed;  // the temperatures of a buffer that carries them in its meta
};

}  // namespace

struct ThermalColorize {
    GstVideoFilter parent;
    ColorizeState* state;
};

struct ThermalColorizeClass {
    GstVideoFilterClass parent_class;
};

G_DEFINE_TYPE(ThermalColorize, thermal_colorize, GST_TYPE_VIDEO_FILTER)

namespace {

ColorizeState& State(gpointer self)
{
    return *reinterpret_cast<ThermalColorize*>(self)->state;
}

GstCaps* WithFormats(GstCaps* caps, const char* formats)
{
    GstCaps* out = gst_caps_new_empty();
    // A field of a caps string: "{ A, B }" or a single format.
    GValue list = G_VALUE_INIT;
    g_value_init(&list, formats[0] == '{' ? GST_TYPE_LIST : G_TYPE_STRING);
    if (!gst_value_deserialize(&list, formats))
        g_value_set_string(&list, formats);
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        GstStructure* s = gst_structure_copy(gst_caps_get_structure(caps, i));
        gst_structure_set_value(s, "format", &list);
        gst_structure_remove_fields(s, "colorimetry", "chroma-site", nullptr);
        gst_caps_append_structure(out, s);
    }
    g_value_unset(&list);
    return out;
}

GstCaps* TransformCaps(GstBaseTransform*, GstPadDirection direction, GstCaps* caps, GstCaps* filter)
{
    GstCaps* out = direction == GST_PAD_SINK ? WithFormats(caps, kOutFormats) : WithFormats(caps, "GRAY16_LE");
    if (filter) {
        GstCaps* both = gst_caps_intersect_full(filter, out, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(out);
        out = both;
    }
    return out;
}

// The output frame as the colouring kernel writes it.
vivagst::Canvas CanvasOf(GstVideoFrame* out)
{
    vivagst::Canvas canvas;
    switch (GST_VIDEO_FRAME_FORMAT(out)) {
    case GST_VIDEO_FORMAT_I420:
        canvas.layout = vivaclient::ColourLayout::I420;
        break;
    case GST_VIDEO_FORMAT_RGBx:
        canvas.layout = vivaclient::ColourLayout::Rgbx;
        break;
    case GST_VIDEO_FORMAT_BGRx:
        canvas.layout = vivaclient::ColourLayout::Bgrx;
        break;
    default:
        canvas.layout = vivaclient::ColourLayout::Rgb;
        break;
    }
    for (guint i = 0; i < GST_VIDEO_FRAME_N_PLANES(out) && i < 3; ++i) {
        canvas.planes.data[i] = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(out, i));
        canvas.planes.stride[i] = static_cast<size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(out, i));
    }
    canvas.width = GST_VIDEO_FRAME_WIDTH(out);
    canvas.height = GST_VIDEO_FRAME_HEIGHT(out);
    return canvas;
}

// Degrees as a temperature sample value, clamped to the samples' range.
double DegreesToSample(double degrees)
{
    return std::clamp(std::round(degrees * 10) + GST_VIVAZUZOZ_TEMPERATURE_OFFSET, 0.0, 65535.0);
}

GstFlowReturn TransformFrame(GstVideoFilter* filter, GstVideoFrame* in, GstVideoFrame* out)
{
    ColorizeState& s = State(filter);
    const int width = GST_VIDEO_FRAME_WIDTH(in), height = GST_VIDEO_FRAME_HEIGHT(in);
    const uint16_t* samples = static_cast<const uint16_t*>(GST_VIDEO_FRAME_PLANE_DATA(in, 0));
    size_t stride = static_cast<size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(in, 0)) / 2;
    bool temperatures = false;
    bool cameraLost = false;
    if (GstVivazuzozMeta* meta = gst_buffer_get_vivazuzoz_meta(in->buffer)) {
        cameraLost = meta->camera_lost;
        if (meta->plane == GST_VIVAZUZOZ_PLANE_TEMPERATURE) {
            temperatures = true;
        } else if (meta->other && meta->other_plane == GST_VIVAZUZOZ_PLANE_TEMPERATURE && meta->width == width &&
                   meta->height == height) {
            s.packed.resize(static_cast<size_t>(width) * height);
            gst_buffer_extract(meta->other, 0, s.packed.data(), s.packed.size() * 2);
            samples = s.packed.data();
            stride = static_cast<size_t>(width);
            temperatures = true;
        }
    }

    vivagst::ColourSettings settings;
    GST_OBJECT_LOCK(filter);
    const vivaclient::ColormapInfo* map = vivaclient::FindColormap(s.colormap);
    settings.mode = s.mode;
    settings.low = temperatures ? DegreesToSample(s.min) : s.min;
    settings.high = temperatures ? DegreesToSample(s.max) : s.max;
    settings.colourBar = s.colourBar;
    settings.markers = s.markers;
    GST_OBJECT_UNLOCK(filter);
    settings.cameraLost = cameraLost;
    settings.palette = (map ? map : &vivaclient::Colormaps().front())->build();

    // The kernel's table covers the frame's own span, whatever the range.
    const vivaclient::SampleSpan span = vivaclient::FindSpan(samples, stride, width, height);
    double low = 0, high = 0;
    s.range.Next(settings, span.min, span.max, low, high);
    if (temperatures && settings.colourBar) {
        settings.labels = true;
        settings.lowDegrees = gst_vivazuzoz_degrees(static_cast<guint16>(std::lround(std::clamp(low, 0.0, 65535.0))));
        settings.highDegrees = gst_vivazuzoz_degrees(static_cast<guint16>(std::lround(std::clamp(high, 0.0, 65535.0))));
    }
    vivagst::ColourFrame(settings, samples, stride, span, low, high, s.kernel, CanvasOf(out));
    return GST_FLOW_OK;
}

gboolean Start(GstBaseTransform* transform)
{
    State(transform).range.Reset();
    return TRUE;
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* param)
{
    ColorizeState& s = State(object);
    if (id == PROP_COLORMAP) {
        const char* name = g_value_get_string(value);
        if (!name || !vivaclient::FindColormap(name)) {
            g_warning("thermalcolorize: unknown colormap '%s'; colormaps are: %s", name ? name : "",
                      vivaclient::ColormapNames().c_str());
            return;
        }
    }
    GST_OBJECT_LOCK(object);
    switch (id) {
    case PROP_COLORMAP:
        s.colormap = g_value_get_string(value);
        break;
    case PROP_RANGE:
        s.mode = static_cast<vivagst::RangeMode>(g_value_get_enum(value));
        break;
    case PROP_MIN:
        s.min = g_value_get_double(value);
        break;
    case PROP_MAX:
        s.max = g_value_get_double(value);
        break;
    case PROP_COLORBAR:
        s.colourBar = g_value_get_boolean(value);
        break;
    case PROP_MARKERS:
        s.markers = g_value_get_boolean(value);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
    }
    GST_OBJECT_UNLOCK(object);
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* param)
{
    ColorizeState& s = State(object);
    GST_OBJECT_LOCK(object);
    switch (id) {
    case PROP_COLORMAP:
        g_value_set_string(value, s.colormap.c_str());
        break;
    case PROP_RANGE:
        g_value_set_enum(value, static_cast<gint>(s.mode));
        break;
    case PROP_MIN:
        g_value_set_double(value, s.min);
        break;
    case PROP_MAX:
        g_value_set_double(value, s.max);
        break;
    case PROP_COLORBAR:
        g_value_set_boolean(value, s.colourBar);
        break;
    case PROP_MARKERS:
        g_value_set_boolean(value, s.markers);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, param);
    }
    GST_OBJECT_UNLOCK(object);
}

void Finalize(GObject* object)
{
    delete reinterpret_cast<ThermalColorize*>(object)->state;
    G_OBJECT_CLASS(thermal_colorize_parent_class)->finalize(object);
}

}  // namespace

static void thermal_colorize_init(ThermalColorize* self)
{
    self->state = new ColorizeState;
}

static void thermal_colorize_class_init(ThermalColorizeClass* klass)
{
    GST_DEBUG_CATEGORY_INIT(thermal_colorize_debug, "thermalcolorize", 0, "false colours for 16-bit frames");
    auto* object = G_OBJECT_CLASS(klass);
    auto* element = GST_ELEMENT_CLASS(klass);
    object->set_property = SetProperty;
    object->get_property = GetProperty;
    object->finalize = Finalize;
    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_CONTROLLABLE);
    const std::string maps = "Colour map: " + vivaclient::ColormapNames();
    g_object_class_install_property(object, PROP_COLORMAP,
                                    g_param_spec_string("colormap", "Colour map", g_intern_string(maps.c_str()),
                                                        vivaclient::Colormaps().front().name, flags));
    g_object_class_install_property(object, PROP_RANGE,
                                    g_param_spec_enum("range", "Range", "Which values span the colour map",
                                                      RangeEnumType(), static_cast<gint>(vivagst::RangeMode::Auto),
                                                      flags));
    g_object_class_install_property(
        object, PROP_MIN,
        g_param_spec_double(
            "min", "Minimum",
            "range=fixed: the value of the map's first colour (degrees on temperatures, else a raw value)",
            -G_MAXDOUBLE, G_MAXDOUBLE, 0, flags));
    g_object_class_install_property(
        object, PROP_MAX,
        g_param_spec_double(
            "max", "Maximum",
            "range=fixed: the value of the map's last colour (degrees on temperatures, else a raw value)", -G_MAXDOUBLE,
            G_MAXDOUBLE, 0, flags));
    g_object_class_install_property(
        object, PROP_COLORBAR,
        g_param_spec_boolean(
            "colorbar", "Colour bar",
            "Draw the colour map along the right edge (hottest at the top), labelled in degrees on temperatures", FALSE,
            flags));
    g_object_class_install_property(object, PROP_MARKERS,
                                    g_param_spec_boolean("markers", "Markers",
                                                         "Mark the hottest and the coldest pixel with a cross", FALSE,
                                                         flags));

    const std::string out = std::string("video/x-raw, format=(string)") + kOutFormats +
                            ", width=(int)[1, 65535], height=(int)[1, 65535], framerate=(fraction)[0/1, 2147483647/1]";
    gst_element_class_add_pad_template(element, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS,
                                                                     gst_caps_from_string(out.c_str())));
    gst_element_class_add_pad_template(
        element,
        gst_pad_template_new("sink", GST_PAD_SINK, GST_PAD_ALWAYS,
                             gst_caps_from_string("video/x-raw, format=(string)GRAY16_LE, width=(int)[1, 65535], "
                                                  "height=(int)[1, 65535], framerate=(fraction)[0/1, 2147483647/1]")));
    gst_element_class_set_static_metadata(
        element, "Thermal false colours", "Filter/Effect/Converter/Video",
        "Colours 16-bit grey frames (image or temperatures) with a thermal colour map", "libVIVAZUZOZ maintainers");
    GST_BASE_TRANSFORM_CLASS(klass)->transform_caps = TransformCaps;
    GST_BASE_TRANSFORM_CLASS(klass)->start = Start;
    GST_VIDEO_FILTER_CLASS(klass)->transform_frame = TransformFrame;
}
