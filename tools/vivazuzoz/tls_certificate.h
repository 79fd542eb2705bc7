// tls_certificate.h - the certificate and key a server of the tool speaks
// TLS with: --tls-cert/--tls-key as the user gave them, or --tls-self-signed,
// a certificate this machine makes once and keeps in the state folder.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vivatool {

struct Context;
struct ParsedArgs;

struct TlsFiles {
    std::string certificate;  // PEM: the server's certificate, then any intermediate ones
    std::string key;          // PEM: its private key, without a passphrase
    bool selfSigned = false;  // made by MakeSelfSigned (on this or an earlier run)
    bool made = false;        // made on this run

    bool enabled() const { return !certificate.empty(); }
};

// --tls-cert FILE --tls-key FILE (both or neither; paths from the folder the
// user ran the tool in) or --tls-self-signed. Returns "" or what is wrong
// (a wrong combination, a file that cannot be used); `files` stays empty
// when TLS was not asked for.
std::string TlsFilesFromArgs(const ParsedArgs& args, TlsFiles& files);

// The self-signed certificate and key kept in the state folder
// ($XDG_STATE_HOME/vivazuzoz/tls/, the key readable by the user alone),
// made on first use for the names `hosts` (host names and IP addresses,
// IPv6 ones with or without brackets) besides localhost, 127.0.0.1, ::1 and
// the machine's host name. An existing pair is kept as it is, so that
// clients that trust it go on trusting it; delete the folder for a new one.
// Returns "" or a message.
std::string MakeSelfSigned(const std::vector<std::string>& hosts, TlsFiles& files);

// Reads the certificate and key and checks that they belong together.
// Returns "" or a message that names the file that is missing, unreadable
// or wrong.
std::string CheckTlsFiles(const TlsFiles& files);

// The certificate's SHA-256 fingerprint as "AB:CD:...", as browsers and
// `openssl x509 -fingerprint -sha256` show it; "" when it cannot be read.
std::string CertificateFingerprint(const std::string& certificatePath);

// The TLS options of `command` (serve, rtsp) as TlsFilesFromArgs reads them,
// with the self-signed certificate made or found for the addresses of
// `address` (what --listen gives). Returns kExitOk, or the status of a usage
// error or failure it has reported.
int TlsOption(Context& ctx, const char* command, const ParsedArgs& args, const std::string& address, TlsFiles& files);

// What a server prints about its certificate when it starts: where a
// certificate made on this run is kept, and the fingerprint clients compare.
void PrintTlsCertificate(FILE* out, const TlsFiles& files);

}  // namespace vivatool
