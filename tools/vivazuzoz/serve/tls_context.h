// tls_context.h - the TLS side of the live server's listening socket.
#pragma once

#include <Poco/Net/Context.h>

#include <string>

namespace vivatool::serve {

// TLS 1.2 and 1.3 with a certificate chain (PEM, intermediates after the
// certificate) and its key (PEM, no passphrase), read and checked by the
// command before. Throws Poco::Exception.
Poco::Net::Context::Ptr TlsServerContext(const std::string& certificate, const std::string& key);

}  // namespace vivatool::serve
