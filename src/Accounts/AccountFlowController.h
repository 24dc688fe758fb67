#pragma once

#include "Accounts/APIConfig.h"
#include "Accounts/AuthResponse.h"
#include "Accounts/GoogleSignInManager.h"
#include "Accounts/RegistrationAPIClient.h"
#include "Accounts/UserProfile.h"
#include "Platform/Async/Clock.h"
#include "Platform/Async/TaskHandle.h"
#include "Platform/WebAuth/WebAuthSession.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace quillmere {

class AuthState;

// The account window's requests and the completion of its sign-ins, kept apart from the
// widgets: a window closed while a registration or a code exchange is on its way loses
// nothing, because the answer is saved and committed here whether or not a window still shows.
//
// One request at a time (isBusy). A browser sign-in waits at most browserSignInLimit and ends
// early when the window of its opening closes; an HTTP request already sent runs to its end.
// A successful sign-in is completed in this order: the device link in progress is stopped (it
// must not store its token after ours); the account is learnt (the reply's id, else the
// account request made with the new token; unknown while another account is recorded fails
// the sign-in and saves nothing); when it differs from the linked one, or no account is
// recorded while local sync records exist (setHasLocalSyncRecords; nobody can say they are
// this account's), local sync state is wiped through the injected hook (a refused wipe fails
// the sign-in and saves nothing); the
// token is saved; the reply's service address and shard are stored; the account is recorded
// as linked; AuthState::commitSignIn.
//
// Main thread. The AuthState and the clock must outlive the controller; the base URL is the
// AuthState's token manager's.
class AccountFlowController : public QObject
{
    Q_OBJECT

public:
    // Stops syncing and removes the sync folders, their records and cursors and the folder
    // bookmarks, as a sign-out does; true when the state is gone. The shell provides it.
    using WipeLocalSyncState = std::function<QCoro::Task<bool>()>;
    using BaseURLSource = std::function<QUrl()>;

    static constexpr Clock::Duration browserSignInLimit = std::chrono::minutes(10);

    static inline const QString timedOutMessage = QStringLiteral("Sign-in took too long. Please try again.");
    static inline const QString unknownLinkedAccountMessage =
        QStringLiteral("Quillmere could not confirm which account this computer is linked to, so the sign-in was not "
                       "saved. Check your connection and try again.");
    static inline const QString unknownSignedInAccountMessage =
        QStringLiteral("Quillmere could not confirm which account you signed in to, so the sign-in was not saved. "
                       "Check your connection and try again.");
    static inline const QString wipeFailedMessage =
        QStringLiteral("The other account's sync data on this computer could not be cleared, so the sign-in was not "
                       "saved. Please try again.");
    static inline const QString notSavedMessage =
        QStringLiteral("You are signed in, but the sign-in could not be saved to the keyring. You may need to sign in "
                       "again the next time Quillmere starts.");

    // How one request ended.
    struct Outcome
    {
        enum class Kind { signedIn, failed, cancelled };
        Kind kind = Kind::failed;
        // signedIn: what the service answered.
        AuthResponse response;
        // signedIn: false when the keyring did not take the token (connected for this run only).
        bool tokenSaved = true;
        // failed: the text for the error line; empty with fieldErrors.
        QString message;
        // failed with the service's validation errors (a 422 to the registration).
        std::optional<RegistrationAPIClient::FieldErrors> fieldErrors;
    };

    // What the account window shows for an account that is already connected.
    struct SignedInAccount
    {
        UserProfile profile;
        QString token;
    };

    AccountFlowController(AuthState &auth, Clock &clock, std::shared_ptr<WebAuthSession> webAuth,
                          WipeLocalSyncState wipeLocalSyncState,
                          QString googleClientID = GoogleSignInManager::configuredClientID(),
                          BaseURLSource appleRedirectBase = &APIConfig::defaultBaseURL, QObject *parent = nullptr);
    ~AccountFlowController() override;

    // Called when a sign-in asked for the wipe and then ended without committing (stopped, or
    // the wipe failed): the account still connected has to be taken up again.
    void setWipeAbandoned(std::function<void()> abandoned) { m_wipeAbandoned = std::move(abandoned); }
    // Whether this computer holds sync folders or records (of whichever account): the shell
    // provides it. Without it there are taken to be none.
    void setHasLocalSyncRecords(std::function<bool()> has) { m_hasLocalSyncRecords = std::move(has); }

    AuthState &authState() const { return m_auth; }
    Clock &clock() const { return m_clock; }
    QUrl baseURL() const;

    // A new opening of the account window: its requests and their outcomes carry this number.
    quint64 beginOpening() { return ++m_openings; }
    // The window of this opening closed: its browser sign-in stops waiting.
    void endOpening(quint64 opening);

    bool isBusy() const { return m_busy; }
    // Each starts its request and returns true, or returns false and starts nothing while
    // another request runs. finished() follows once, on a later turn at the earliest.
    bool registerAccount(quint64 opening, RegistrationAPIClient::Registration form);
    bool signInWithApple(quint64 opening);
    bool signInWithGoogle(quint64 opening);

    // While connected with an unexpired stored token (never refreshed): the account the
    // service reports for it. Absent when not connected, on any failure, and when a sign-in
    // was committed while the request was out (its answer would describe the account before).
    QCoro::Task<std::optional<SignedInAccount>> loadSignedInAccount(std::stop_token stop = {});

Q_SIGNALS:
    void busyChanged();
    void finished(quint64 opening, const quillmere::AccountFlowController::Outcome &outcome);

private:
    enum class Flow { email, apple, google };
    struct BrowserWait;

    // Stops the browser wait once the limit has passed on the clock.
    static QCoro::Task<> endBrowserWaitAfter(Clock &clock, Clock::Duration limit, std::shared_ptr<BrowserWait> wait,
                                             std::stop_token stop);

    bool begin(quint64 opening, Flow flow, RegistrationAPIClient::Registration form);
    QCoro::Task<> run(quint64 opening, Flow flow, RegistrationAPIClient::Registration form, std::stop_token stop);
    // The completion of a successful sign-in; see the class comment.
    QCoro::Task<Outcome> complete(AuthResponse response, std::stop_token stop);

    AuthState &m_auth;
    Clock &m_clock;
    std::shared_ptr<WebAuthSession> m_webAuth;
    WipeLocalSyncState m_wipe;
    std::function<void()> m_wipeAbandoned;
    std::function<bool()> m_hasLocalSyncRecords;
    QString m_googleClientID;
    BaseURLSource m_appleRedirectBase;
    quint64 m_openings = 0;
    bool m_busy = false;
    // The opening of the request running and its browser wait, if it has one.
    quint64 m_requestOpening = 0;
    std::shared_ptr<BrowserWait> m_browserWait;
    TaskHandle m_request;
};

} // namespace quillmere
