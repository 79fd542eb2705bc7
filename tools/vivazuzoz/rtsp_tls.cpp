#include "rtsp_tls.h"

#include "rtsp_server.h"

#include <gio/gio.h>

namespace vivatool {

std::string UseRtspTls(GstRTSPServer* server, const TlsFiles& files)
{
    if (!g_tls_backend_supports_tls(g_tls_backend_get_default()))
        return "GLib has no TLS support here: install glib-networking";
    GError* failure = nullptr;
    GTlsCertificate* certificate = g_tls_certificate_new_from_files(files.certificate.c_str(), files.key.c_str(),
                                                                    &failure);
    if (!certificate) {
        const std::string error = "cannot use " + files.certificate + " with " + files.key + ": " +
                                  (failure ? failure->message : "unknown error");
        if (failure)
            g_error_free(failure);
        return error;
    }
    GstRTSPAuth* auth = gst_rtsp_server_get_auth(server);
    if (!auth) {
        // Without a password every client is let in, as the role the mounts
        // ask for; gst-rtsp-server takes the certificate from the
        // authentication only.
        auth = gst_rtsp_auth_new();
        GstRTSPToken* anyone = gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, kRtspRole, nullptr);
        gst_rtsp_auth_set_default_token(auth, anyone);
        gst_rtsp_token_unref(anyone);
        gst_rtsp_server_set_auth(server, auth);
    }
    gst_rtsp_auth_set_tls_certificate(auth, certificate);
    g_object_unref(auth);
    g_object_unref(certificate);
    return "";
}

}  // namespace vivatool
