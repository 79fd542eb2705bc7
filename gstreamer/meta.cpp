// meta.cpp - GstVivazuzozMeta: the other plane and the sequence of a frame.
#include "elements.h"

namespace {

gboolean MetaInit(GstMeta* meta, gpointer, GstBuffer*)
{
    auto* m = reinterpret_cast<GstVivazuzozMeta*>(meta);
    m->sequence = 0;
    m->plane = GST_VIVAZUZOZ_PLANE_IMAGE;
    m->other_plane = GST_VIVAZUZOZ_PLANE_TEMPERATURE;
    m->width = m->height = 0;
    m->other = nullptr;
    m->camera_lost = FALSE;
    m->shutter = m->settling = FALSE;
    return TRUE;
}

void MetaFree(GstMeta* meta, GstBuffer*)
{
    auto* m = reinterpret_cast<GstVivazuzozMeta*>(meta);
    if (m->other)
        gst_buffer_unref(m->other);
    m->other = nullptr;
}

// Copies go along (the other plane is shared, read-only); a scaled or
// cropped buffer no longer matches the other plane, so the meta stays behind.
gboolean MetaTransform(GstBuffer* dest, GstMeta* meta, GstBuffer*, GQuark type, gpointer data)
{
    auto* m = reinterpret_cast<GstVivazuzozMeta*>(meta);
    if (!GST_META_TRANSFORM_IS_COPY(type))
        return FALSE;
    auto* copy = static_cast<GstMetaTransformCopy*>(data);
    if (copy->region)
        return FALSE;
    GstVivazuzozMeta* to = vivazuzoz_buffer_add_meta(dest, m->sequence, m->plane, m->width, m->height,
                                                     m->other ? gst_buffer_ref(m->other) : nullptr);
    to->other_plane = m->other_plane;
    to->camera_lost = m->camera_lost;
    to->shutter = m->shutter;
    to->settling = m->settling;
    return TRUE;
}

}  // namespace

const GstMetaInfo* vivazuzoz_meta_get_info(void)
{
    static const GstMetaInfo* info = nullptr;
    if (g_once_init_enter(&info)) {
        const GstMetaInfo* made = gst_meta_register(gst_vivazuzoz_meta_api_get_type(), "GstVivazuzozMeta",
                                                    sizeof(GstVivazuzozMeta), MetaInit, MetaFree, MetaTransform);
        g_once_init_leave(&info, made);
    }
    return info;
}

GstVivazuzozMeta* vivazuzoz_buffer_add_meta(GstBuffer* buffer, guint64 sequence, GstVivazuzozPlane plane, gint width,
                                            gint height, GstBuffer* other)
{
    auto* m = reinterpret_cast<GstVivazuzozMeta*>(gst_buffer_add_meta(buffer, vivazuzoz_meta_get_info(), nullptr));
    m->sequence = sequence;
    m->plane = plane;
    m->width = width;
    m->height = height;
    m->other_plane = plane == GST_VIVAZUZOZ_PLANE_IMAGE ? GST_VIVAZUZOZ_PLANE_TEMPERATURE : GST_VIVAZUZOZ_PLANE_IMAGE;
    m->other = other;
    m->camera_lost = FALSE;
    m->shutter = m->settling = FALSE;
    return m;
}
