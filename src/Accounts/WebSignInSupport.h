#pragma once

#include "Accounts/AuthResponse.h"
#include "Accounts/SignInReply.h"
#include "Platform/WebAuth/WebAuthSession.h"

#include <QByteArray>
#include <QCoroTask>
#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <exception>
#include <optional>
#include <stop_token>
#include <utility>

namespace quillmere {

struct HttpResponse;

// What the Apple and Google managers share. Both run one flow: a fresh state value goes out
// with the provider's page, the browser sheet comes back on the provider's scheme with a code
// and that state, and the service exchanges the code for a sign-in. Each manager keeps what is
// its own: the page and its query, the scheme, whether the callback's "error" item is read,
// the exchange's request and its status mapping, and its error cases and their messages.
namespace websignin {

// Sent as "device_name" by the Apple page and by both exchanges.
inline const QString deviceName = QStringLiteral("Quillmere");

// A fresh state or nonce value: upper-case UUID text.
QString newStateValue();

// The value of the first query item of that name; absent when there is none or it is empty.
std::optional<QString> firstQueryValue(const QUrl &url, const QString &name);

// Where a shared step found no sign-in. Each manager names every fault by a case of its own
// error enumeration (ErrorFor), so what the user reads stays the provider's.
enum class Fault {
    sessionStartFailed,
    userCancelled,
    sessionFailed, // any other error of the session; its description goes along
    noAuthorizationCode,
    stateMismatch,
    invalidResponse, // an accepted exchange whose reply lacks what a sign-in needs
};

template <typename Error>
using ErrorFor = Error (*)(Fault fault, const QString &text);

// What both managers' errors carry besides their own case: the session's or the service's
// text, the HTTP status, and the message made once so what() never allocates.
class SignInError : public std::exception
{
public:
    int statusCode() const { return m_statusCode; }
    // The session's or the service's message, for the cases that carry one.
    const QString &text() const { return m_text; }
    const char *what() const noexcept override { return m_what.constData(); }

protected:
    SignInError(QString text, int statusCode) : m_text(std::move(text)), m_statusCode(statusCode) {}
    // Called by the derived constructor once its case is set.
    void keepMessage(const QString &message) { m_what = message.toUtf8(); }

private:
    QString m_text;
    int m_statusCode;
    QByteArray m_what;
};

// The URL a completed session came back with. A session that did not start, was cancelled or
// failed, and a callback without a usable URL, throw the manager's error for it.
template <typename Error>
QUrl callbackURL(const WebAuthOutcome &outcome, ErrorFor<Error> errorFor)
{
    switch (outcome.kind) {
    case WebAuthOutcome::Kind::notStarted:
        throw errorFor(Fault::sessionStartFailed, {});
    case WebAuthOutcome::Kind::cancelled:
        throw errorFor(Fault::userCancelled, {});
    case WebAuthOutcome::Kind::failed:
        throw errorFor(Fault::sessionFailed, outcome.errorMessage);
    case WebAuthOutcome::Kind::completed:
        break;
    }
    if (!outcome.callbackURL || !outcome.callbackURL->isValid())
        throw errorFor(Fault::noAuthorizationCode, {});
    return *outcome.callbackURL;
}

// The code and the state of a callback for a flow that sent `state`: the first "code" item
// must have a value and the first "state" item must be exactly the one sent.
template <typename Error>
std::pair<QString, QString> codeAndState(const QUrl &callback, const QString &state, ErrorFor<Error> errorFor)
{
    const auto code = firstQueryValue(callback, QStringLiteral("code"));
    if (!code)
        throw errorFor(Fault::noAuthorizationCode, {});
    if (firstQueryValue(callback, QStringLiteral("state")) != state)
        throw errorFor(Fault::stateMismatch, {});
    return {*code, state};
}

// Posts the exchange: `body` with the device name added, as JSON, to `url`. The response comes
// back whatever its status; transport failures pass through.
QCoro::Task<HttpResponse> postExchange(QUrl url, QJsonObject body, std::stop_token stop);

// The sign-in an accepted exchange's body carries. A body without what a sign-in needs throws
// the manager's invalidResponse; a body that is not JSON passes the reader's error on.
template <typename Error>
AuthResponse acceptedReply(const QByteArray &body, ErrorFor<Error> errorFor)
{
    auto reply = readSignInReply(body);
    if (!reply)
        throw errorFor(Fault::invalidResponse, {});
    return std::move(*reply);
}

} // namespace websignin
} // namespace quillmere
