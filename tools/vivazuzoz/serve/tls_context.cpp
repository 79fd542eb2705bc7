#include "tls_context.h"

#include <Poco/Net/SSLException.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace vivatool::serve {

Poco::Net::Context::Ptr TlsServerContext(const std::string& certificate, const std::string& key)
{
    Poco::Net::Context::Params params;
    params.verificationMode = Poco::Net::Context::VERIFY_NONE;  // clients show no certificates
    params.loadDefaultCAs = false;
    params.cipherList = "HIGH:!aNULL:!MD5:!RC4:!3DES:!CAMELLIA:!ARIA:!PSK:!SRP";
    Poco::Net::Context::Ptr context = new Poco::Net::Context(Poco::Net::Context::TLS_SERVER_USE, params);
    context->requireMinimumProtocol(Poco::Net::Context::PROTO_TLSV1_2);
    SSL_CTX* ssl = context->sslContext();
    if (SSL_CTX_use_certificate_chain_file(ssl, certificate.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ssl, key.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ssl) != 1) {
        const unsigned long code = ERR_get_error();
        ERR_clear_error();
        const char* reason = ERR_reason_error_string(code);
        throw Poco::Net::SSLContextException("cannot use " + certificate + " and " + key, reason ? reason : "");
    }
    return context;
}

}  // namespace vivatool::serve
