// A refused certificate says why, through both transports: the service's requests (libcurl)
// and downloads (Qt).

#include "Platform/Http/CurlSupport.h"
#include "Platform/Http/HttpClient.h"
#include "Platform/Http/TransportError.h"
#include "support/TestSupport.h"
#include "support/TlsServer.h"

#include <gtest/gtest.h>

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>

#include <openssl/x509_vfy.h>

using namespace quillmere;
using namespace quillmere::test;
using Code = TransportError::Code;

namespace {

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
