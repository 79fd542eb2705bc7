#include "tls_certificate.h"

#include <vivaclient/state_dir.h>
#include "cli.h"
#include "exit_status.h"
#include "listen_address.h"
#include "tool_support.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <Poco/Net/IPAddress.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace vivatool {
using namespace vivaclient;

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using File = std::unique_ptr<FILE, FileCloser>;
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Certificate = std::unique_ptr<X509, X509Free>;

// OpenSSL's reason for the last failure, and its error queue emptied.
std::string OpenSslReason()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "not in PEM format";
    const char* reason = ERR_reason_error_string(code);
    return reason ? reason : "unknown OpenSSL error";
}

// A key protected by a passphrase fails to load instead of OpenSSL asking
// for the passphrase on the terminal.
int NoPassphrase(char*, int, int, void*)
{
    return 0;
}

// Opens `path` for reading into `file`. Returns "" or a message.
std::string OpenToRead(const std::string& path, File& file)
{
    file.reset(std::fopen(path.c_str(), "r"));
    return file ? "" : "cannot read " + path + ": " + std::strerror(errno);
}

// The first PEM object of a file, read by `read` (PEM_read_X509, ...) into
// `object`. Returns "" or a message naming `what` when there is none.
template <typename Owned, typename Read>
std::string ReadPem(const std::string& path, Read read, const char* what, Owned& object)
{
    File file;
    if (std::string error = OpenToRead(path, file); !error.empty())
        return error;
    object.reset(read(file.get(), nullptr, NoPassphrase, nullptr));
    return object ? "" : path + " holds no " + what + " (" + OpenSslReason() + ")";
}

std::string ReadCertificate(const std::string& path, Certificate& certificate)
{
    return ReadPem(path, PEM_read_X509, "PEM certificate", certificate);
}

std::string ReadKey(const std::string& path, Key& key)
{
    return ReadPem(path, PEM_read_PrivateKey, "PEM private key without a passphrase", key);
}

// Writes `text` through `write` into `path` by way of a new file beside it
// that only the user may read, renamed over it at the end.
// Returns "" or a message.
template <typename Write>
std::string WritePrivately(const std::string& path, Write write)
{
    const std::string temporary = path + ".new";
    ::unlink(temporary.c_str());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    File file(fd >= 0 ? ::fdopen(fd, "w") : nullptr);
    if (!file) {
        const std::string error = "cannot write " + temporary + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return error;
    }
    const bool written = write(file.get()) == 1 && std::fflush(file.get()) == 0 && ::fsync(fd) == 0;
    file.reset();
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string error = "cannot write " + path + ": " + (written ? std::strerror(errno) : OpenSslReason());
        ::unlink(temporary.c_str());
        return error;
    }
    return "";
}

// "DNS:localhost,IP:127.0.0.1,..." for the certificate's subjectAltName.
std::string AlternativeNames(const std::vector<std::string>& hosts)
{
    std::vector<std::string> names = {"localhost", "127.0.0.1", "::1"};
    char hostName[256] = {};
    if (::gethostname(hostName, sizeof hostName - 1) == 0 && hostName[0])
        names.push_back(hostName);
    for (std::string host : hosts) {
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        names.push_back(host);
    }
    std::string text;
    std::vector<std::string> seen;
    for (const std::string& name : names) {
        if (name.empty() || std::find(seen.begin(), seen.end(), name) != seen.end())
            continue;
        Poco::Net::IPAddress ip;
        const bool isIp = Poco::Net::IPAddress::tryParse(name, ip);
        if (!isIp && name.find_first_of(",: ") != std::string::npos)
            continue;  // not a name a certificate can hold
        seen.push_back(name);
        text += (text.empty() ? "" : ",") + std::string(isIp ? "IP:" : "DNS:") + name;
    }
    return text;
}

bool AddExtension(X509* certificate, int nid, const std::string& value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (!extension)
        return false;
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A P-256 key and a certificate for it, signed by itself, valid from an
// hour ago (clocks differ) for ten years. Returns "" or a message.
std::string MakePair(const std::vector<std::string>& hosts, Key& key, Certificate& certificate)
{
    key.reset(EVP_EC_gen("P-256"));
    certificate.reset(X509_new());
    if (!key || !certificate)
        return "cannot make a key: " + OpenSslReason();
    X509* x = certificate.get();
    unsigned char serial[16];
    std::unique_ptr<BIGNUM, decltype(&BN_free)> number(nullptr, BN_free);
    if (RAND_bytes(serial, sizeof serial) == 1) {
        serial[0] &= 0x7f;  // a positive serial number
        number.reset(BN_bin2bn(serial, sizeof serial, nullptr));
    }
    X509_NAME* name = X509_get_subject_name(x);
    bool ok = number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(x)) && X509_set_version(x, 2) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(x), -3600) && X509_gmtime_adj(X509_getm_notAfter(x), 3650L * 86400) &&
              X509_set_pubkey(x, key.get()) == 1 &&
              X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("vivazuzoz"),
                                         -1, -1, 0) == 1 &&
              X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                         reinterpret_cast<const unsigned char*>("vivazuzoz self-signed"), -1, -1,
                                         0) == 1 &&
              X509_set_issuer_name(x, name) == 1;
    // A server's certificate, not an authority's: browsers refuse an
    // authority's certificate presented as a server's.
    ok = ok && AddExtension(x, NID_basic_constraints, "critical,CA:FALSE") &&
         AddExtension(x, NID_key_usage, "critical,digitalSignature") &&
         AddExtension(x, NID_ext_key_usage, "serverAuth") && AddExtension(x, NID_subject_key_identifier, "hash") &&
         AddExtension(x, NID_subject_alt_name, AlternativeNames(hosts)) && X509_sign(x, key.get(), EVP_sha256()) > 0;
    return ok ? "" : "cannot make a certificate: " + OpenSslReason();
}

bool Exists(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

std::string TlsFilesFromArgs(const ParsedArgs& args, TlsFiles& files)
{
    files = TlsFiles();
    const bool cert = args.has("tls-cert"), key = args.has("tls-key"), self = args.has("tls-self-signed");
    if (self && (cert || key))
        return "--tls-self-signed makes its own certificate: give it without --tls-cert and --tls-key";
    if (cert != key)
        return "--tls-cert and --tls-key go together";
    files.selfSigned = self;
    if (!cert)
        return "";
    const std::string typedCert = args.value("tls-cert"), typedKey = args.value("tls-key");
    files.certificate = vivaclient::UserPath(typedCert);
    files.key = vivaclient::UserPath(typedKey);
    const std::string error = CheckTlsFiles(files);
    return error.empty()
               ? ""
               : vivaclient::AsTyped(vivaclient::AsTyped(error, files.certificate, typedCert), files.key, typedKey);
}

std::string MakeSelfSigned(const std::vector<std::string>& hosts, TlsFiles& files)
{
    const std::string state = vivaclient::StateDirectory();
    if (state.empty())
        return "no state folder for the self-signed certificate (neither XDG_STATE_HOME nor HOME is set)";
    const std::string folder = state + "/tls";
    files.certificate = folder + "/certificate.pem";
    files.key = folder + "/key.pem";
    files.selfSigned = true;
    files.made = false;
    if (Exists(files.certificate) && Exists(files.key))
        return CheckTlsFiles(files);
    std::string error;
    if (!vivaclient::MakeDirectories(folder, error))
        return error;
    Key key;
    Certificate certificate;
    if (std::string error = MakePair(hosts, key, certificate); !error.empty())
        return error;
    // The key first: a certificate on disk always has its key beside it.
    const auto writeKey = [&](FILE* file) {
        return PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    };
    const auto writeCertificate = [&](FILE* file) { return PEM_write_X509(file, certificate.get()); };
    if (std::string error = WritePrivately(files.key, writeKey); !error.empty())
        return error;
    if (std::string error = WritePrivately(files.certificate, writeCertificate); !error.empty())
        return error;
    files.made = true;
    return "";
}

std::string CheckTlsFiles(const TlsFiles& files)
{
    Certificate certificate;
    Key key;
    if (std::string error = ReadCertificate(files.certificate, certificate); !error.empty())
        return error;
    if (std::string error = ReadKey(files.key, key); !error.empty())
        return error;
    if (X509_check_private_key(certificate.get(), key.get()) != 1) {
        ERR_clear_error();
        return files.key + " is not the key of the certificate in " + files.certificate;
    }
    return "";
}

std::string CertificateFingerprint(const std::string& certificatePath)
{
    Certificate certificate;
    ReadCertificate(certificatePath, certificate);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!certificate || X509_digest(certificate.get(), EVP_sha256(), digest, &length) != 1)
        return "";
    std::string text;
    char hex[4];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, i ? ":%02X" : "%02X", digest[i]);
        text += hex;
    }
    return text;
}

int TlsOption(Context& ctx, const char* command, const ParsedArgs& args, const std::string& address, TlsFiles& files)
{
    if (const std::string error = TlsFilesFromArgs(args, files); !error.empty())
        return UsageError(ctx, command, error);
    if (files.selfSigned)
        if (const std::string error = MakeSelfSigned(ReachableHosts(address), files); !error.empty())
            return Fail(ctx, error);
    return kExitOk;
}

void PrintTlsCertificate(FILE* out, const TlsFiles& files)
{
    if (files.made)
        std::fprintf(out, "Made a self-signed certificate: %s (key %s)\n", files.certificate.c_str(),
                     files.key.c_str());
    if (files.enabled())
        std::fprintf(out, "Certificate SHA-256 fingerprint: %s\n", CertificateFingerprint(files.certificate).c_str());
}

}  // namespace vivatool
