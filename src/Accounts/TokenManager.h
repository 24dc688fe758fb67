#pragma once

#include "Accounts/APIConfig.h"
#include "Accounts/TokenData.h"
#include "Platform/Async/AsyncMutex.h"
#include "Platform/Async/Clock.h"

#include <QCoroTask>
#include <QDateTime>
#include <QString>
#include <QUrl>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace quillmere {

class KeychainVault;
struct HttpResponse;
struct TokenRenewals;

// The bearer token in one vault entry. Several managers over the same entry may exist (each
// service client holds one); they meet only in the vault, whose worker runs their reads and
// writes in call order. Refreshes are never merged across holders. One holder renews one token
// at a time, and a renewal asked for a token the holder has since replaced sends nothing: with a
// service that retires a token when it renews it, two renewals of one token would retire each
// other's results. Main thread. The manager shares its vault's ownership, so work that resumes
// after the vault's owner is gone (a quit while a renewal or a sign-out is at the service) still
// finds it; the reference constructor does not, and its vault must outlive the manager and
// everything that holds it.
class TokenManager
{
public:
    class TokenError : public std::exception
    {
    public:
        enum class Code { noToken };
        Code code() const { return Code::noToken; }
        const char *what() const noexcept override { return "No authentication token found."; }
    };

    // A renewal's mark did not reach the keyring (the write was refused, or not answered within
    // vaultAnswerLimit): nothing was sent and the token stays as it was, good for as long as it
    // was; a later renewal tries again. No verdict on the token.
    class MarkNotStoredError : public std::exception
    {
    public:
        explicit MarkNotStoredError(bool unanswered) : m_unanswered(unanswered) {}
        const char *what() const noexcept override { return "The keyring did not store the sign-in's renewal."; }
        // The keyring has not answered the write yet (an unlock prompt); keyringAnswered() tells
        // when it has. Otherwise it refused the write.
        bool unanswered() const noexcept { return m_unanswered; }

    private:
        bool m_unanswered;
    };

    using BaseURLSource = std::function<QUrl()>;

    // How long a renewal waits for the keyring to store its mark, with no other renewal and no
    // sign-in check able to go on meanwhile; the longest any caller waits for the vault before
    // it says so.
    static constexpr Clock::Duration vaultAnswerLimit = std::chrono::seconds(5);

    // What the vault holds. unreadable: the vault could not be read (a locked keyring), which
    // says nothing about whether a token exists.
    struct StoredToken
    {
        std::optional<TokenData> token;
        bool unreadable = false;
    };

    // The clock times the wait for the mark's write (vaultAnswerLimit); it must outlive the
    // manager and every renewal it starts.
    explicit TokenManager(std::shared_ptr<KeychainVault> vault, QString vaultKey = QStringLiteral("bearer-token"),
                          BaseURLSource baseURL = &APIConfig::baseURL, Clock &clock = Clock::system());
    explicit TokenManager(KeychainVault &vault, QString vaultKey = QStringLiteral("bearer-token"),
                          BaseURLSource baseURL = &APIConfig::baseURL, Clock &clock = Clock::system());

    const QString &vaultKey() const { return m_vaultKey; }
    // Where the service is reached for this account at the moment of the call.
    QUrl baseURL() const { return m_baseURL(); }

    // Every call below that replaces or removes the stored token removes the renewal mark in the
    // same write of the vault: a mark never outlives the token it names, and a process that ends
    // between two writes cannot leave one behind.

    // True when the token reached the secret store (see KeychainVault::setValue); an expiry
    // that is not a valid date stores nothing and gives false.
    QCoro::Task<bool> saveToken(QString token, QDateTime expiresAt);
    // Absent when the entry is missing or does not decode, and while the vault is unreadable.
    QCoro::Task<std::optional<TokenData>> loadToken();
    // The start-up read. A mark left by an earlier version (the token's whole text) is rewritten
    // as the digest in the same step, and one that names no stored token is removed.
    QCoro::Task<StoredToken> readStoredToken();
    QCoro::Task<> clearToken();
    // Removes the stored token only while it is still `token` (one step in the vault): a token
    // another sign-in saved meanwhile stays. True when it was removed.
    QCoro::Task<bool> clearTokenIfStill(QString token);
    // Removes whatever token is stored and returns it, in one step in the vault: a renewal's
    // answer stored just before is taken with it, and one that arrives after finds the entry gone
    // and stores nothing. Nothing is removed while the vault cannot be read.
    QCoro::Task<std::optional<TokenData>> takeToken();
    // Sends the stored token to the service and returns the one it answers. Fails with
    // TokenError when nothing is stored (nothing is sent), otherwise with whatever
    // DeviceAuthClient::refresh fails with; the stored token then stays as it was. A stop before
    // the request is sent sends nothing; once sent, the renewal runs to its end and its answer is
    // stored even when the caller stopped meanwhile (the service may have retired the token
    // sent), and only the caller's result is cancelled (TransportError cancelled). The answer is
    // stored only while the entry still holds the token that was sent: a disconnect or another
    // holder's renewal during the request wins. The reply's home address and shard are stored
    // with it, and only then. Fails with MarkNotStoredError, sending nothing, when the renewal's
    // mark (see renewalWasCutOff) cannot be stored.
    QCoro::Task<TokenData> refreshToken(std::stop_token stop = {});
    // refreshToken() for a holder whose request carried `seen` (nullopt: it found no token),
    // unless the stored token is no longer that one: then nothing is sent and the result is
    // false. Waits for the holder's renewal in progress first.
    QCoro::Task<bool> renewUnlessReplaced(std::optional<QString> seen, std::stop_token stop = {});
    // Whether a renewal of `token` may have been carried out by the service without this device
    // hearing of it (the process ended while it was at the service, or no answer came back): the
    // service may have retired `token` on receiving it, so a refusal of it is no revocation.
    // Every renewal marks its token in the vault before it is sent. The mark goes with the token
    // it names, and when what followed shows that the service did not retire it: a renewal that
    // never left (no connection, no secure connection), a refusal of a renewal that marked it
    // itself, and, through noteTokenAnswered, a 2xx from the service's own address to a later
    // request made with it. Any other status to the renewal (a gateway's 5xx may follow a renewal
    // it forwarded) or to a later request, any answer from wherever a redirect to another origin
    // led (the renewal's own included: the service may have renewed before redirecting), a
    // time-out or a connection cut once the request was out keeps it, the mark of an earlier run
    // included.
    QCoro::Task<bool> renewalWasCutOff(QString token);
    // The vault entry of that mark, beside the token's own entry `vaultKey`. The mark holds the
    // token's digest (renewalMarkFor), never the token.
    static QString renewalMarkKey(const QString &vaultKey) { return vaultKey + QStringLiteral("-renewal-under-way"); }
    // SHA-256 of the token's UTF-8 text, in lower-case hex.
    static QByteArray renewalMarkFor(const QString &token);
    // Whether a stored mark names `token`: its digest, or its whole text as earlier versions
    // wrote it.
    static bool markNames(const QByteArray &mark, const QString &token);

    // Ends once the keyring has answered every call queued on the vault before this one, a
    // mark's write given up on (MarkNotStoredError::unanswered) and its taking back included.
    QCoro::Task<> keyringAnswered();

    // How many renewals of any manager are under way in this process, from the mark's write to
    // the stored answer: what a quit lets end before the process goes.
    static int renewalsUnderWay();

    // For a request sent with the stored token: the count to hand back to noteTokenAnswered.
    quint64 renewalTurns() const;
    // Whether the answer to a request shows that the service took the token the request carried:
    // a 2xx from the service's own address (the scheme, host and port of `serviceBase`) with no
    // redirect to another origin on the way. Wherever a redirect led, the token was dropped
    // there, and that host's 2xx says nothing of it.
    static bool showsTokenTaken(const HttpResponse &answer, const QUrl &serviceBase);
    // A request made with `token` got `answer`. When that shows the service took the token
    // (showsTokenTaken, against baseURL()), a mark on it goes; any other answer leaves it.
    // Nothing happens when a renewal ran at any time between the request's sending (`turns`
    // from renewalTurns() then) and now, since the service may have answered before that
    // renewal reached it. The removal is queued on the vault within the call, so the caller
    // does not wait for it: nothing queued on the vault after the call reads the mark it removes.
    void noteTokenAnswered(const QString &token, const HttpResponse &answer, quint64 turns);

private:
    QCoro::Task<> forgetMark(QString token, quint64 turns);

    std::shared_ptr<KeychainVault> m_vault;
    QString m_vaultKey;
    BaseURLSource m_baseURL;
    Clock &m_clock;
    // The renewal lock and what goes with it; shared so that a renewal outliving the manager
    // still has it.
    std::shared_ptr<TokenRenewals> m_renewals;
};

} // namespace quillmere
