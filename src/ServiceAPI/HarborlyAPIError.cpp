#include "ServiceAPI/HarborlyAPIError.h"

#include "Platform/Async/CancelledError.h"
#include "Platform/Http/TransportError.h"

namespace quillmere {

HarborlyAPIError::HarborlyAPIError(Code code, int statusCode, QString message, std::exception_ptr underlying,
                                   QString description)
    : m_code(code),
      m_statusCode(statusCode),
      m_message(std::move(message)),
      m_underlying(std::move(underlying)),
      m_description(std::move(description)),
      m_what(m_description.toUtf8())
{
}

HarborlyAPIError HarborlyAPIError::networkError(std::exception_ptr underlying, const QString &underlyingDescription)
{
    return HarborlyAPIError(Code::networkError, 0, QString(), std::move(underlying),
                            QStringLiteral("Network error: ") + underlyingDescription);
}

HarborlyAPIError HarborlyAPIError::serverError(int statusCode, const QString &message)
{
    return HarborlyAPIError(Code::serverError, statusCode, message, nullptr,
                            QStringLiteral("Server error (%1): %2").arg(QString::number(statusCode), message));
}

HarborlyAPIError HarborlyAPIError::notAuthenticated()
{
    return HarborlyAPIError(Code::notAuthenticated, 0, QString(), nullptr,
                            QStringLiteral("Not authenticated. Please connect your Harborly account."));
}

HarborlyAPIError HarborlyAPIError::invalidResponse()
{
    return HarborlyAPIError(Code::invalidResponse, 0, QString(), nullptr,
                            QStringLiteral("Invalid response from server."));
}

bool HarborlyAPIError::isCancellation() const
{
    if (m_code != Code::networkError || !m_underlying)
        return false;
    try {
        std::rethrow_exception(m_underlying);
    } catch (const TransportError &error) {
        return error.isCancellation();
    } catch (const CancelledError &) {
        return true;
    } catch (...) {
        // Any other cause is a failure, not a stop.
    }
    return false;
}

QString describeError(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const HarborlyAPIError &apiError) {
        return apiError.errorDescription();
    } catch (const std::exception &other) {
        return QString::fromUtf8(other.what());
    } catch (...) {
        // Not an exception of ours: described by the fixed text below.
    }
    return QStringLiteral("Unknown error");
}

} // namespace quillmere
