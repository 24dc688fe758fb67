#pragma once

#include <QString>

#include <exception>

namespace quillmere {

// Every failure of the authorised transport and of the endpoint readers above it.
// what() is the fixed user message ("errorDescription").
class HarborlyAPIError : public std::exception
{
public:
    enum class Code { networkError, serverError, notAuthenticated, invalidResponse };

    // Wraps a failure that is not a HarborlyAPIError (transport failure, unreadable body...).
    // The description is the underlying error's user text, never one that embeds a URL.
    static HarborlyAPIError networkError(std::exception_ptr underlying, const QString &underlyingDescription);
    static HarborlyAPIError serverError(int statusCode, const QString &message);
    static HarborlyAPIError notAuthenticated();
    static HarborlyAPIError invalidResponse();

    Code code() const { return m_code; }
    // The HTTP status of a serverError, 0 otherwise.
    int statusCode() const { return m_statusCode; }
    // The server's message of a serverError.
    const QString &message() const { return m_message; }
    std::exception_ptr underlying() const { return m_underlying; }
    // A networkError that only says the caller's operation was stopped.
    bool isCancellation() const;

    QString errorDescription() const { return m_description; }
    const char *what() const noexcept override { return m_what.constData(); }

private:
    HarborlyAPIError(Code code, int statusCode, QString message, std::exception_ptr underlying,
                     QString description);

    Code m_code;
    int m_statusCode = 0;
    QString m_message;
    std::exception_ptr m_underlying;
    QString m_description;
    QByteArray m_what;
};

// The text shown for any failure: the service's description where there is one, else the
// exception's own message.
QString describeError(const std::exception_ptr &error);

} // namespace quillmere
