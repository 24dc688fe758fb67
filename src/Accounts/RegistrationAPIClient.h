#pragma once

#include "Accounts/APIConfig.h"
#include "Accounts/AuthResponse.h"
#include "Accounts/SubscriptionPlan.h"
#include "Accounts/UserProfile.h"

#include <QByteArray>
#include <QCoroTask>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <exception>
#include <map>
#include <optional>
#include <stop_token>
#include <vector>

namespace quillmere {

// The onboarding windows' calls to the account endpoints and the reading of the sign-in reply.
// Each call is one request straight through HttpClient (60 s inactivity time-out, no shard
// header, no token renewal): TransportError and json::JsonError reach the caller unchanged.
// Reading a sign-in reply stores nothing (AuthResponse::home goes to the sign-in's commit).
class RegistrationAPIClient
{
public:
    RegistrationAPIClient() = delete;

    // Field name to the service's messages for it.
    using FieldErrors = std::map<QString, QStringList>;

    class RegistrationError : public std::exception
    {
    public:
        enum class Code {
            validationFailed,
            serverError,
            invalidResponse,
            tokenVerificationFailed,
            emailAlreadyExists,
            rateLimited,
        };

        static RegistrationError validationFailed(FieldErrors fields);
        static RegistrationError serverError(int statusCode);
        static RegistrationError invalidResponse() { return RegistrationError(Code::invalidResponse); }
        static RegistrationError tokenVerificationFailed() { return RegistrationError(Code::tokenVerificationFailed); }
        static RegistrationError emailAlreadyExists() { return RegistrationError(Code::emailAlreadyExists); }
        static RegistrationError rateLimited() { return RegistrationError(Code::rateLimited); }

        Code code() const { return m_code; }
        int statusCode() const { return m_statusCode; }
        const FieldErrors &fieldErrors() const { return m_fields; }
        QString message() const;
        const char *what() const noexcept override { return m_what.constData(); }

    private:
        explicit RegistrationError(Code code, int statusCode = 0, FieldErrors fields = {});
        Code m_code;
        int m_statusCode;
        FieldErrors m_fields;
        QByteArray m_what;
    };

    // What the registration form sends; the values travel exactly as typed.
    struct Registration
    {
        QString name;
        QString email;
        QString password;
        QString passwordConfirmation;
    };

    // The sign-in reply: "user" object, "token" and a strict "expires_at" or invalidResponse
    // (then nothing is stored); a body that is not JSON throws json::JsonError.
    static AuthResponse parseAuthResponse(const QByteArray &body);
    // The "errors" member when it maps every field to an array of strings, else empty.
    static FieldErrors parseValidationErrors(const QByteArray &body);

    // POST /api/v1/auth/register. 201: the sign-in reply; 422: validationFailed with the
    // fields' messages; 429: rateLimited; any other status: serverError.
    static QCoro::Task<AuthResponse> registerAccount(Registration registration, QUrl baseURL = APIConfig::baseURL(),
                                                     std::stop_token stop = {});
    // How registerAccount reads the answer.
    static AuthResponse readRegistrationReply(int status, const QByteArray &body);

    // GET /api/v1/account: 200 only, else serverError with the status.
    static QCoro::Task<UserProfile> fetchAccount(QString token, QUrl baseURL = APIConfig::baseURL(),
                                                 std::stop_token stop = {});
    // How fetchAccount reads the answer: the profile of a 200 (UserProfile::fromJson of its
    // object), serverError for any other status, json::JsonError for a body that is not JSON.
    static UserProfile readAccountReply(int status, const QByteArray &body);
    // POST /api/v1/account/checkout: the payment page's address, or nullopt for any refused
    // status or a reply without a string "checkout_url". Open it with ExternalURLOpener.
    static QCoro::Task<std::optional<QString>> createCheckoutSession(QString token, QString plan, QString interval,
                                                                     QUrl baseURL = APIConfig::baseURL(),
                                                                     std::stop_token stop = {});
    // How createCheckoutSession reads the answer.
    static std::optional<QString> readCheckoutReply(int status, const QByteArray &body);

    // POST /api/v1/account/subscription-portal (no body): the plans offered to the account.
    // 200 only, else serverError with the status; nullopt when the reply has no "plans" array.
    static QCoro::Task<std::optional<std::vector<SubscriptionPlan>>>
    fetchSubscriptionPlans(QString token, QUrl baseURL = APIConfig::baseURL(), std::stop_token stop = {});
    // How fetchSubscriptionPlans reads the answer: the entries of "plans" that read as a plan,
    // in order (an entry that is not an object is dropped like any other unreadable entry).
    static std::optional<std::vector<SubscriptionPlan>> readSubscriptionPlansReply(int status, const QByteArray &body);
};

} // namespace quillmere
