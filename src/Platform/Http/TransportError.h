#pragma once

#include <QList>
#include <QNetworkReply>
#include <QSslError>

#include <exception>

namespace quillmere {

// A transfer that ended without an HTTP status. The description is fixed per code and never
// carries the URL: callers show it to the user and match on the code, and Qt's own error
// strings embed the address (a file id in a path would read like a status number).
class TransportError : public std::exception
{
public:
    enum class Code {
        timedOut,
        cannotFindHost,
        cannotConnect,
        connectionLost,
        notConnected,
        cancelled,
        secureConnectionFailed,
        // The secure connection failed on the server's certificate, for the reason named.
        certificateUntrusted,
        certificateExpired,
        certificateForAnotherName,
        unsupportedURL,
        // A body held in memory grew past HttpClient::maximumBodySize.
        responseTooLarge,
        // Framing or encoding that cannot be trusted: conflicting lengths, an encoded download.
        badServerResponse,
        // A download whose bytes differ from the size or checksum the caller expected.
        contentMismatch,
        unknown,
    };

    // Never sent as far as the code alone tells (failsBeforeSending).
    explicit TransportError(Code code) : m_code(code), m_neverSent(failsBeforeSending(code)) {}
    // For a transfer that knows whether any of the request went out.
    TransportError(Code code, bool neverSent) : m_code(code), m_neverSent(neverSent) {}

    Code code() const noexcept { return m_code; }
    // Nothing of the request left this device, so the server cannot have acted on it: no host
    // or connection to send it on, a secure connection that failed before it was used. False
    // whenever it may have left: a time-out, a connection cut, an answer that cannot be read.
    bool wasNeverSent() const noexcept { return m_neverSent; }
    // The failures that only come before a request is sent on a connection: the host not found,
    // the connection refused, the secure handshake failed, an address never sent to. Not "not
    // connected", which a network that goes away mid-transfer reports too.
    static bool failsBeforeSending(Code code) noexcept;
    // A cancelled transfer is the caller's own stop, never a failure to count or show.
    bool isCancellation() const noexcept { return m_code == Code::cancelled; }
    const char *what() const noexcept override { return description(m_code); }

    static const char *description(Code code) noexcept;
    // For a reply that finished without a status; OperationCanceledError maps to cancelled.
    static Code codeFor(QNetworkReply::NetworkError error) noexcept;
    // Why the handshake refused the server's certificate, from what the verification found
    // (a chain not trusted comes first: it says nothing of the rest); secureConnectionFailed
    // when none of the three.
    static Code codeFor(const QList<QSslError> &errors) noexcept;
    // Any failure of the secure connection, the certificate's included.
    bool isSecureConnectionFailure() const noexcept;
    // The server's certificate was refused (a network that intercepts the connection): the one
    // failure whose cause is worth telling the user, since waiting does not end it.
    bool isCertificateFailure() const noexcept
    {
        return m_code == Code::certificateUntrusted || m_code == Code::certificateExpired
            || m_code == Code::certificateForAnotherName;
    }

private:
    Code m_code;
    bool m_neverSent;
};

} // namespace quillmere
