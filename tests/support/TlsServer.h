#pragma once

// Certificates made on the spot, and an https server on 127.0.0.1 that shows one: for tests of
// what a refused certificate does.

#include <httplib.h>

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace quillmere::test {

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

inline Key makeKey()
{
    return Key(EVP_EC_gen("P-256"));
}

inline void addExtension(X509 *certificate, X509 *issuer, int nid, const char *value)
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
inline Certificate makeCertificate(EVP_PKEY *key, const char *commonName, const char *altName, long fromDays,
                                   long untilDays, X509 *issuer = nullptr, EVP_PKEY *issuerKey = nullptr,
                                   bool ca = false)
{
    static std::atomic<long> serial{1};
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

inline QByteArray pem(X509 *certificate)
{
    BIO *bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, certificate);
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    QByteArray bytes(data, length);
    BIO_free(bio);
    return bytes;
}

// An https server on 127.0.0.1 that shows the given certificate, on its own thread; every GET
// or POST that gets through is answered "secret bytes".
class TlsServer
{
public:
    TlsServer(X509 *certificate, EVP_PKEY *key) : m_server(certificate, key)
    {
        // One request per connection: stop() then never waits on an idle kept-alive one.
        m_server.set_keep_alive_max_count(1);
        const auto answer = [](const httplib::Request &, httplib::Response &res) {
            res.set_content("secret bytes", "application/octet-stream");
        };
        m_server.Get(".*", answer);
        m_server.Post(".*", answer);
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
    TlsServer(const TlsServer &) = delete;
    TlsServer &operator=(const TlsServer &) = delete;

    QUrl url(const QString &path = QStringLiteral("/file")) const
    {
        return QUrl(QStringLiteral("https://127.0.0.1:%1%2").arg(m_port).arg(path));
    }

private:
    httplib::SSLServer m_server;
    int m_port = 0;
    std::thread m_thread;
};

} // namespace quillmere::test
