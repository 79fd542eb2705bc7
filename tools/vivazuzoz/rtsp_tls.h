// rtsp_tls.h - RTSPS for `vivazuzoz rtsp`: the certificate of --tls-cert and
// --tls-key, or of --tls-self-signed, on gst-rtsp-server's connections.
#pragma once

#include "tls_certificate.h"

#include <gst/rtsp-server/rtsp-server.h>

#include <cstdio>
#include <string>

namespace vivatool {

struct ParsedArgs;

// The certificate and key the options ask for (`files` stays empty without
// them); a self-signed one is made, or found, in the state folder for
// `address` (what --listen gives). 0, or the exit status with the message
// printed on `err`: a usage error for a wrong combination of options, a
// failure for files that cannot be read or made.
int RtspTlsFromArgs(const ParsedArgs& args, const std::string& address, FILE* err, TlsFiles& files);

// Makes every connection of `server` TLS with the files' certificate. The
// server's authentication (RequirePassword's, when there is one) carries the
// certificate; without one, an authentication that lets every client in as
// `role` is made, so the mounts must require `role`. False with `error` when
// GLib cannot load the files or has no TLS backend (glib-networking).
bool UseRtspTls(GstRTSPServer* server, const TlsFiles& files, const char* role, std::string& error);

}  // namespace vivatool
