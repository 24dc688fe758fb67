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

} // namespace quillmere
