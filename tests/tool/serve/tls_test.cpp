// The live view's server over TLS, with a certificate the test makes with
// the openssl program: curl and ffmpeg reach it with that certificate as
// their authority and refuse it without; a WSS stream brings frames; and the
// caps and time limits hold for connections that never start TLS.
#include "../child_process.h"
#include "http_client.h"
#include "raw_client.h"
#include "served_hub.h"
#include "tls_certificate.h"

#include "../../support/eventually.h"

#include <vcam/VirtualCamera.h>

#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/WebSocket.h>


#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

using namespace vivaclient;

using namespace vivatool::serve;

// Under ThreadSanitizer: OpenSSL is not instrumented, so memory it hands from
// one connection's thread to another through its own locks looks like a
// race. Reports with an OpenSSL frame are left out; the server's own races
// are still reported.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:libssl.so\nrace:libcrypto.so\n";
}

namespace {

class TlsTest : public ServedHub {
protected:
    // A certificate for 127.0.0.1 and localhost and its key, made by openssl.
    void MakeCertificate()
    {
        certificate_ = dir_.path() + "/cert.pem";
        key_ = dir_.path() + "/key.pem";
        const ChildResult made = RunChild({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                           "ec_paramgen_curve:P-256", "-nodes", "-keyout", key_, "-out", certificate_,
                                           "-days", "2", "-subj", "/CN=localhost", "-addext",
                                           "subjectAltName=IP:127.0.0.1,DNS:localhost"},
                                          30);
        ASSERT_EQ(made.status, 0) << made.err;
    }

    void ServeTls(ServerOptions options = ServerOptions())
    {
        MakeCertificate();
        options.tlsCertificate = certificate_;
        options.tlsKey = key_;
        Serve(options);
    }

    std::string HttpsUrl(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(port_) + path; }

    // curl's exit status and the response's status code and body.
    ChildResult Curl(const std::vector<std::string>& extra, const std::string& path)
    {
        std::vector<std::string> argv = {"/usr/bin/curl", "-sS", "-m", "20", "-H", "X-Token: t", "-w",
                                         "\n%{http_code}"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        argv.push_back(HttpsUrl(path));
        return RunChild(argv, 30);
    }

    std::string certificate_;
    std::string key_;
};

}  // namespace

TEST_F(TlsTest, CurlFfmpegAndAWssStreamReachTheServerWithItsCertificate)
{
    vcam::AddCamera();
    ServerOptions options;
    options.token = "t";
    ServeTls(options);

    // curl trusts the certificate it is given, and no other.
    const ChildResult trusted = Curl({"--cacert", certificate_}, "/api/cameras");
    ASSERT_EQ(trusted.status, 0) << trusted.err;
    EXPECT_NE(trusted.out.find("\"name\":\"Virtual Thermal Camera\""), std::string::npos) << trusted.out;
    EXPECT_EQ(trusted.out.substr(trusted.out.rfind('\n') + 1), "200");
    // The token's cookie goes over TLS only.
    const ChildResult login = Curl({"--cacert", certificate_, "-o", "/dev/null", "-D", "-"}, "/?token=t");
    EXPECT_NE(login.out.find("Set-Cookie: vivazuzoz-token=t; Path=/; HttpOnly; SameSite=Strict; Secure"),
              std::string::npos)
        << login.out;
    const ChildResult untrusted = Curl({}, "/api/cameras");
    EXPECT_EQ(untrusted.status, 60) << "curl accepted an unknown certificate: " << untrusted.out;

    // Plain HTTP on the TLS port gets no page.
    Reply plain;
    try {
        plain = Get(port_, "/api/cameras");
    } catch (const Poco::Exception&) {
    }
    EXPECT_NE(plain.status, 200);

    // A WSS stream: the state, then frames.
    Poco::Net::Context::Params params;
    params.caLocation = certificate_;
    params.verificationMode = Poco::Net::Context::VERIFY_RELAXED;
    Poco::Net::Context::Ptr context = new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, params);
    Poco::Net::HTTPSClientSession session("127.0.0.1", port_, context);
    session.setTimeout(Poco::Timespan(20, 0));
    Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_GET, "/api/cameras/0/stream",
                                   Poco::Net::HTTPMessage::HTTP_1_1);
    request.set("Origin", "https://127.0.0.1:" + std::to_string(port_));
    request.set("Authorization", "Bearer t");
    Poco::Net::HTTPResponse response;
    Poco::Net::WebSocket socket(session, request, response);
    socket.setReceiveTimeout(Poco::Timespan(20, 0));
    std::vector<char> buffer(1 << 20);
    int binary = 0;
    bool state = false;
    for (int i = 0; i < 50 && binary < 5; ++i) {
        int flags = 0;
        const int n = socket.receiveFrame(buffer.data(), static_cast<int>(buffer.size()), flags);
        ASSERT_GT(n, 0);
        const int opcode = flags & Poco::Net::WebSocket::FRAME_OP_BITMASK;
        if (opcode == Poco::Net::WebSocket::FRAME_OP_TEXT)
            state = std::string(buffer.data(), static_cast<size_t>(n)).find("\"live\":true") != std::string::npos;
        if (opcode == Poco::Net::WebSocket::FRAME_OP_BINARY)
            ++binary;
    }
    EXPECT_TRUE(state);
    EXPECT_EQ(binary, 5);
    socket.shutdown();

    // ffmpeg decodes the MJPEG stream over HTTPS, checking the certificate.
    const std::string output = dir_.path() + "/frames.txt";
    const ChildResult ffmpeg = RunChild({"/usr/bin/ffmpeg", "-v", "error", "-tls_verify", "1", "-ca_file", certificate_,
                                         "-i", HttpsUrl("/api/cameras/0/stream.mjpg?fps=10&token=t"), "-frames:v", "3",
                                         "-f", "framemd5", output},
                                        60);
    EXPECT_EQ(ffmpeg.status, 0) << ffmpeg.err;
    std::ifstream frames(output);
    int lines = 0;
    for (std::string line; std::getline(frames, line);)
        lines += !line.empty() && line[0] != '#';
    EXPECT_EQ(lines, 3);
}

TEST_F(TlsTest, ConnectionsThatNeverStartTlsAreCappedAndCutInTime)
{
    vcam::AddCamera();
    ServerOptions options;
    options.maxPerAddress = 2;
    options.headerTimeout = std::chrono::milliseconds(1500);
    ServeTls(options);

    // Connections that send nothing: no TLS handshake.
    RawClient first("127.0.0.2", port_), second("127.0.0.2", port_);
    ASSERT_TRUE(Eventually([&] { return server_->stats().connections == 2; })) << server_->stats().connections;
    // Over the address's cap: closed as it comes.
    RawClient third("127.0.0.2", port_);
    bool closed = false;
    third.ReadAll(10, closed);
    EXPECT_TRUE(closed);
    EXPECT_GE(server_->stats().connectionsRefused, 1u);
    // Another address is served meanwhile: the silent ones hold no handshake
    // on the accepting thread.
    const ChildResult other = Curl({"--cacert", certificate_}, "/api/cameras");
    EXPECT_EQ(other.status, 0) << other.err;
    // The silent ones are cut at the time for a request's headers.
    for (RawClient* silent : {&first, &second}) {
        silent->ReadAll(20, closed);
        EXPECT_TRUE(closed);
    }
    EXPECT_GE(server_->stats().connectionsCut, 2u);
}

TEST_F(TlsTest, TheSelfSignedCertificateIsMadeOnceKeptPrivateAndTrustedByCurl)
{
    const char* previous = std::getenv("XDG_STATE_HOME");
    const std::string saved = previous ? previous : "";
    setenv("XDG_STATE_HOME", (dir_.path() + "/state").c_str(), 1);
    vivatool::TlsFiles files;
    std::string error;
    error = vivatool::MakeSelfSigned({"127.0.0.1"}, files);
    ASSERT_TRUE(error.empty()) << error;
    EXPECT_TRUE(files.made);
    EXPECT_EQ(files.certificate, dir_.path() + "/state/vivazuzoz/tls/certificate.pem");
    struct stat key;
    ASSERT_EQ(stat(files.key.c_str(), &key), 0);
    EXPECT_EQ(key.st_mode & 0777, 0600u);
    const std::string fingerprint = vivatool::CertificateFingerprint(files.certificate);
    const ChildResult openssl = RunChild({"/usr/bin/openssl", "x509", "-in", files.certificate, "-noout",
                                          "-fingerprint", "-sha256"},
                                         30);
    EXPECT_EQ(openssl.out, "sha256 Fingerprint=" + fingerprint + "\n");

    // The second run keeps the pair: clients that trust it go on trusting it.
    vivatool::TlsFiles again;
    error = vivatool::MakeSelfSigned({"127.0.0.1"}, again);
    ASSERT_TRUE(error.empty()) << error;
    EXPECT_FALSE(again.made);
    EXPECT_EQ(vivatool::CertificateFingerprint(again.certificate), fingerprint);
    if (previous)
        setenv("XDG_STATE_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_STATE_HOME");

    // curl takes it as its own authority, at 127.0.0.1 and at localhost.
    vcam::AddCamera();
    ServerOptions options;
    options.tlsCertificate = files.certificate;
    options.tlsKey = files.key;
    Serve(options);
    const ChildResult byAddress = Curl({"--cacert", files.certificate}, "/api/cameras");
    EXPECT_EQ(byAddress.status, 0) << byAddress.err;
    const ChildResult byName = RunChild({"/usr/bin/curl", "-sS", "-m", "20", "--cacert", files.certificate,
                                         "https://localhost:" + std::to_string(port_) + "/api/cameras"},
                                        30);
    EXPECT_EQ(byName.status, 0) << byName.err;
}
