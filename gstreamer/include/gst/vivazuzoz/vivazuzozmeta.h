/*
 * vivazuzozmeta.h - what a buffer of vivazuzozsrc carries besides its samples.
 *
 * Each buffer of the source holds one plane of a camera frame as GRAY16_LE
 * samples (the image, or the temperatures: see the source's `plane`
 * property). The meta below carries the frame's other plane and its
 * sequence number, so that an application reads both planes of one frame
 * from one buffer, and a colouring element can work in degrees.
 *
 * Temperatures, in the buffer or in the meta, are unsigned 16-bit values
 * holding tenths of a degree offset by 32768:
 *
 *     degrees = (value - 32768) / 10        value = tenths + 32768
 *
 * which keeps every temperature the camera reports (a signed number of
 * tenths) exactly. Degrees are in the camera's temperature unit (Celsius
 * unless the camera's `temp-unit` setting says otherwise).
 *
 * Header only: include it and link GStreamer, nothing else. The API type is
 * the one the plugin attaches, found by name once the plugin is loaded.
 *
 *     GstVivazuzozMeta *meta = gst_buffer_get_vivazuzoz_meta (buffer);
 *     if (meta && meta->other) { GstMapInfo map; gst_buffer_map (meta->other, &map, GST_MAP_READ); ... }
 */
#ifndef GST_VIVAZUZOZ_META_H
#define GST_VIVAZUZOZ_META_H

#include <gst/gst.h>

G_BEGIN_DECLS

/* The offset of the temperature mapping above. */
#define GST_VIVAZUZOZ_TEMPERATURE_OFFSET 32768

/* Which plane of the frame some samples are. */
typedef enum {
    GST_VIVAZUZOZ_PLANE_IMAGE = 0,      /* the camera's raw image samples */
    GST_VIVAZUZOZ_PLANE_TEMPERATURE = 1 /* temperatures, mapped as above */
} GstVivazuzozPlane;

typedef struct {
    GstMeta meta;
    guint64 sequence; /* 1 for the first frame the camera sent after the source started, counting dropped frames */
    GstVivazuzozPlane plane; /* what the buffer's own samples are */
    gint width;              /* of both planes */
    gint height;
    GstVivazuzozPlane other_plane; /* what `other` holds */
    GstBuffer* other; /* width*height GRAY16_LE samples, rows without padding; NULL on a stream without temperatures */
    gboolean camera_lost; /* TRUE on a repeat of the last frame, sent while the camera is away
                             (keep-alive=true); thermalcolorize marks such frames "CAMERA LOST" */
    gboolean shutter;     /* TRUE on a frame taken during a shutter (flat-field) correction, the
                             source's own or the camera's: a frozen or flat picture, not the scene */
    gboolean settling;    /* TRUE on a frame taken just after one (the source's settle time) */
} GstVivazuzozMeta;

#define GST_VIVAZUZOZ_META_API_NAME "GstVivazuzozMetaAPI"

/* The meta's API type; 0 until the plugin (or this function) registered it. */
static inline GType gst_vivazuzoz_meta_api_get_type(void)
{
    static gsize type = 0;
    if (g_once_init_enter(&type)) {
        GType t = g_type_from_name(GST_VIVAZUZOZ_META_API_NAME);
        if (t == 0) {
            static const gchar* tags[] = {NULL};
            t = gst_meta_api_type_register(GST_VIVAZUZOZ_META_API_NAME, tags);
        }
        g_once_init_leave(&type, t);
    }
    return (GType)type;
}

static inline GstVivazuzozMeta* gst_buffer_get_vivazuzoz_meta(GstBuffer* buffer)
{
    return (GstVivazuzozMeta*)gst_buffer_get_meta(buffer, gst_vivazuzoz_meta_api_get_type());
}

/* Degrees for a temperature value of either plane. */
static inline double gst_vivazuzoz_degrees(guint16 value)
{
    return ((int)value - GST_VIVAZUZOZ_TEMPERATURE_OFFSET) / 10.0;
}

G_END_DECLS

#endif /* GST_VIVAZUZOZ_META_H */
