// A refused certificate says why, through both transports: the service's requests (libcurl)
// and downloads (Qt).

#include "Platform/Http/CurlSupport.h"
#include "Platform/Http/HttpClient.h"
#include "Platform/Http/TransportError.h"
#include "support/TestSupport.h"

#include <httplib.h>

#include <gtest/gtest.h>

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <memory>
#include <thread>

using namespace quillmere;
using namespace quillmere::test;
using Code = TransportError::Code;

namespace {

struct KeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct CertificateFree
{
    void operator()(X509 *certificate) const { X509_free(certificate); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Certificate = std::unique_ptr<X509, CertificateFree>;

Key makeKey()
{
    return Key(EVP_EC_gen("P-256"));
}

void addExtension(X509 *certificate, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    ASSERT_NE(extension, nullptr);
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

// A certificate for `key`, named `altName`, valid from `fromDays` to `untilDays` days from
// now, signed by the issuer (itself when none).
Certificate makeCertificate(EVP_PKEY *key, const char *commonName, const char *altName, long fromDays,
                            long untilDays, X509 *issuer = nullptr, EVP_PKEY *issuerKey = nullptr, bool ca = false)
{
    static long serial = 1;
    Certificate certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), fromDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), untilDays * 86400);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME *name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(commonName), -1, -1,
                               0);
    X509 *signer = issuer ? issuer : certificate.get();
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(signer));
    if (ca) {
        addExtension(certificate.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(certificate.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(certificate.get(), signer, NID_subject_alt_name, altName);
    }
    X509_sign(certificate.get(), issuerKey ? issuerKey : key, EVP_sha256());
    return certificate;
}

QByteArray pem(X509 *certificate)
{
    BIO *bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, certificate);
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    QByteArray bytes(data, length);
    BIO_free(bio);
    return bytes;
}

// An https server on 127.0.0.1 that shows the given certificate, on its own thread.
class TlsServer
{
public:
    TlsServer(X509 *certificate, EVP_PKEY *key) : m_server(certificate, key)
    {
        // One request per connection: stop() then never waits on an idle kept-alive one.
        m_server.set_keep_alive_max_count(1);
        m_server.Get("/file", [](const httplib::Request &, httplib::Response &res) {
            res.set_content("secret bytes", "application/octet-stream");
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        while (!m_server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~TlsServer()
    {
        m_server.stop();
        m_thread.join();
    }
    QUrl url() const { return QUrl(QStringLiteral("https://127.0.0.1:%1/file").arg(m_port)); }

private:
    httplib::SSLServer m_server;
    int m_port = 0;
    std::thread m_thread;
};

HttpRequest get(const QUrl &url)
{
    HttpRequest request;
    request.method = "GET";
    request.url = url;
    return request;
}

class SecureConnectionTest : public ::testing::Test
{
protected:
    void TearDown() override { QSslConfiguration::setDefaultConfiguration(m_default); }

    // Downloads (Qt) trust this authority besides the system's, for the rest of the test.
    void trustForDownloads(X509 *authority)
    {
        auto configuration = m_default;
        configuration.addCaCertificate(QSslCertificate(pem(authority)));
        QSslConfiguration::setDefaultConfiguration(configuration);
    }

    std::optional<Code> downloadFailure(const QUrl &url)
    {
        return transportFailure(HttpClient::download(get(url), m_folder.filePath(QStringLiteral("file.bin"))));
    }

    QTemporaryDir m_folder;

private:
    const QSslConfiguration m_default = QSslConfiguration::defaultConfiguration();
};

TEST_F(SecureConnectionTest, TheVerificationsFindingsNameTheReason)
{
    using Errors = QList<QSslError>;
    EXPECT_EQ(TransportError::codeFor(Errors{QSslError(QSslError::CertificateExpired)}), Code::certificateExpired);
    EXPECT_EQ(TransportError::codeFor(Errors{QSslError(QSslError::HostNameMismatch)}), Code::certificateForAnotherName);
    EXPECT_EQ(TransportError::codeFor(Errors{QSslError(QSslError::UnableToGetLocalIssuerCertificate)}),
              Code::certificateUntrusted);
    // A certificate nobody vouches for says nothing true about its name or dates.
    EXPECT_EQ(TransportError::codeFor(Errors{QSslError(QSslError::CertificateExpired),
                                             QSslError(QSslError::HostNameMismatch),
                                             QSslError(QSslError::SelfSignedCertificate)}),
              Code::certificateUntrusted);
    EXPECT_EQ(TransportError::codeFor(Errors{QSslError(QSslError::CertificateExpired),
                                             QSslError(QSslError::HostNameMismatch)}),
              Code::certificateForAnotherName);
    EXPECT_EQ(TransportError::codeFor(Errors{}), Code::secureConnectionFailed);

    EXPECT_EQ(curl::certificateCode(X509_V_ERR_CERT_HAS_EXPIRED), Code::certificateExpired);
    EXPECT_EQ(curl::certificateCode(X509_V_ERR_HOSTNAME_MISMATCH), Code::certificateForAnotherName);
    EXPECT_EQ(curl::certificateCode(X509_V_OK), Code::certificateForAnotherName);
    EXPECT_EQ(curl::certificateCode(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT), Code::certificateUntrusted);
    EXPECT_EQ(curl::certificateCode(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY), Code::certificateUntrusted);
    EXPECT_EQ(curl::certificateCode(X509_V_ERR_CERT_NOT_YET_VALID), Code::secureConnectionFailed);
    for (const Code code : {Code::certificateUntrusted, Code::certificateExpired, Code::certificateForAnotherName})
        EXPECT_TRUE(TransportError(code).isSecureConnectionFailure());
    EXPECT_FALSE(TransportError(Code::connectionLost).isSecureConnectionFailure());
}

TEST_F(SecureConnectionTest, ACertificateNobodyVouchesForIsUntrustedOnBothTransports)
{
    if (!QSslSocket::supportsSsl())
        GTEST_SKIP() << "Qt has no TLS backend here";
    const Key key = makeKey();
    const Certificate selfSigned = makeCertificate(key.get(), "127.0.0.1", "IP:127.0.0.1", -1, 30);
    TlsServer server(selfSigned.get(), key.get());

    EXPECT_EQ(transportFailure(HttpClient::send(get(server.url()))), Code::certificateUntrusted);
    EXPECT_EQ(downloadFailure(server.url()), Code::certificateUntrusted);
    EXPECT_FALSE(QFile::exists(m_folder.filePath(QStringLiteral("file.bin"))));
}

TEST_F(SecureConnectionTest, ATrustedCertificateOutOfDateOrForAnotherNameSaysSo)
{
    if (!QSslSocket::supportsSsl())
        GTEST_SKIP() << "Qt has no TLS backend here";
    const Key authorityKey = makeKey();
    const Certificate authority = makeCertificate(authorityKey.get(), "Test authority", nullptr, -30, 30, nullptr,
                                                  nullptr, true);
    trustForDownloads(authority.get());

    const Key key = makeKey();
    {
        const Certificate expired = makeCertificate(key.get(), "127.0.0.1", "IP:127.0.0.1", -20, -10,
                                                    authority.get(), authorityKey.get());
        TlsServer server(expired.get(), key.get());
        EXPECT_EQ(downloadFailure(server.url()), Code::certificateExpired);
    }
    {
        const Certificate elsewhere = makeCertificate(key.get(), "elsewhere.example", "DNS:elsewhere.example", -1,
                                                      30, authority.get(), authorityKey.get());
        TlsServer server(elsewhere.get(), key.get());
        EXPECT_EQ(downloadFailure(server.url()), Code::certificateForAnotherName);
    }
    {
        // The same authority and a certificate in order: the download goes through.
        const Certificate fine = makeCertificate(key.get(), "127.0.0.1", "IP:127.0.0.1", -1, 30, authority.get(),
                                                 authorityKey.get());
        TlsServer server(fine.get(), key.get());
        const HttpResponse response = await(HttpClient::download(get(server.url()),
                                                                 m_folder.filePath(QStringLiteral("file.bin"))));
        EXPECT_EQ(response.status, 200);
        EXPECT_EQ(readFile(m_folder.filePath(QStringLiteral("file.bin"))), "secret bytes");
    }
}

} // namespace
