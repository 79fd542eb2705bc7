// rtsp_tls.h - RTSPS for `vivazuzoz rtsp`: the certificate of --tls-cert and
// --tls-key, or of --tls-self-signed (tls_certificate.h), on gst-rtsp-server's
// connections.
#pragma once

#include "tls_certificate.h"

#include <gst/rtsp-server/rtsp-server.h>

#include <string>

namespace vivatool {

// Makes every connection of `server` TLS with the files' certificate. The
// server's authentication (RequirePassword's, when there is one) carries the
// certificate; without one, an authentication that lets every client in as
// the mounts' role (kRtspRole) is made, so the mounts must require it.
// Returns "" or a message: GLib cannot load the files or has no TLS backend
// (glib-networking).
std::string UseRtspTls(GstRTSPServer* server, const TlsFiles& files);

}  // namespace vivatool
