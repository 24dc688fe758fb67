#include "Platform/Http/TransportError.h"

namespace quillmere {

const char *TransportError::description(Code code) noexcept
{
    switch (code) {
    case Code::timedOut:
        return "The request timed out.";
    case Code::cannotFindHost:
        return "A server with the specified hostname could not be found.";
    case Code::cannotConnect:
        return "Could not connect to the server.";
    case Code::connectionLost:
        return "The network connection was lost.";
    case Code::notConnected:
        return "The Internet connection appears to be offline.";
    case Code::cancelled:
        return "cancelled";
    case Code::secureConnectionFailed:
        return "A TLS error caused the secure connection to fail.";
    case Code::certificateUntrusted:
        return "The secure connection failed: the server's certificate is not trusted.";
    case Code::certificateExpired:
        return "The secure connection failed: the server's certificate has expired.";
    case Code::certificateForAnotherName:
        return "The secure connection failed: the server's certificate is for another name.";
    case Code::unsupportedURL:
        return "unsupported URL";
    case Code::responseTooLarge:
        return "The server's response is larger than allowed.";
    case Code::badServerResponse:
        return "The server returned a response that cannot be used.";
    case Code::contentMismatch:
        return "The downloaded file does not match its expected size or checksum.";
    case Code::unknown:
        break;
    }
    return "An unknown network error occurred.";
}

TransportError::Code TransportError::codeFor(QNetworkReply::NetworkError error) noexcept
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::ProxyConnectionRefusedError:
        return Code::cannotConnect;
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::ProxyNotFoundError:
        return Code::cannotFindHost;
    case QNetworkReply::TimeoutError:
    case QNetworkReply::ProxyTimeoutError:
        return Code::timedOut;
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::ProxyConnectionClosedError:
    // Qt wanted to send the request again after its connection closed unanswered.
    case QNetworkReply::ContentReSendError:
        return Code::connectionLost;
    case QNetworkReply::OperationCanceledError:
        return Code::cancelled;
    case QNetworkReply::SslHandshakeFailedError:
        return Code::secureConnectionFailed;
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::BackgroundRequestNotAllowedError:
        return Code::notConnected;
    case QNetworkReply::ProtocolUnknownError:
    case QNetworkReply::ProtocolInvalidOperationError:
        return Code::unsupportedURL;
    default:
        return Code::unknown;
    }
}

TransportError::Code TransportError::codeFor(const QList<QSslError> &errors) noexcept
{
    bool untrusted = false;
    bool otherName = false;
    bool expired = false;
    for (const QSslError &error : errors) {
        switch (error.error()) {
        case QSslError::SelfSignedCertificate:
        case QSslError::SelfSignedCertificateInChain:
        case QSslError::UnableToGetIssuerCertificate:
        case QSslError::UnableToGetLocalIssuerCertificate:
        case QSslError::UnableToVerifyFirstCertificate:
        case QSslError::CertificateUntrusted:
        case QSslError::CertificateRejected:
        case QSslError::InvalidCaCertificate:
        case QSslError::CertificateSignatureFailed:
        case QSslError::UnableToDecryptCertificateSignature:
        case QSslError::UnableToDecodeIssuerPublicKey:
        case QSslError::PathLengthExceeded:
        case QSslError::InvalidPurpose:
        case QSslError::CertificateRevoked:
        case QSslError::SubjectIssuerMismatch:
        case QSslError::AuthorityIssuerSerialNumberMismatch:
        case QSslError::CertificateBlacklisted:
            untrusted = true;
            break;
        case QSslError::HostNameMismatch:
            otherName = true;
            break;
        case QSslError::CertificateExpired:
            expired = true;
            break;
        default:
            break;
        }
    }
    if (untrusted)
        return Code::certificateUntrusted;
    if (otherName)
        return Code::certificateForAnotherName;
    if (expired)
        return Code::certificateExpired;
    return Code::secureConnectionFailed;
}

bool TransportError::failsBeforeSending(Code code) noexcept
{
    switch (code) {
    case Code::cannotFindHost:
    case Code::cannotConnect:
    case Code::unsupportedURL:
        return true;
    default:
        // The handshake comes before the request is written to the connection.
        return TransportError(code, false).isSecureConnectionFailure();
    }
}

bool TransportError::isSecureConnectionFailure() const noexcept
{
    switch (m_code) {
    case Code::secureConnectionFailed:
    case Code::certificateUntrusted:
    case Code::certificateExpired:
    case Code::certificateForAnotherName:
        return true;
    default:
        return false;
    }
}

} // namespace quillmere
