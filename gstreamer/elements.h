// elements.h - the plugin's elements, its device provider and its meta, for
// the plugin's entry point and for programs that register them statically.
#pragma once

#include <gst/vivazuzoz/vivazuzozmeta.h>

#include <gst/gst.h>

G_BEGIN_DECLS

// Registers vivazuzozsrc, thermalcolorize and the device provider with
// `plugin`, or with a null plugin statically into the running program (so a
// program that links the elements needs no plugin path). Idempotent.
gboolean vivazuzoz_register_elements(GstPlugin* plugin);

GType vivazuzoz_src_get_type(void);
GType thermal_colorize_get_type(void);
GType vivazuzoz_device_provider_get_type(void);

// The meta's implementation (registered on first use).
const GstMetaInfo* vivazuzoz_meta_get_info(void);

// Attaches the meta to `buffer`, taking `other` (may be null).
GstVivazuzozMeta* vivazuzoz_buffer_add_meta(GstBuffer* buffer, guint64 sequence, GstVivazuzozPlane plane, gint width,
                                            gint height, GstBuffer* other);

G_END_DECLS
