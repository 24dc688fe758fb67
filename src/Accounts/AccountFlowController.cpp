#include "Accounts/AccountFlowController.h"

#include "Accounts/AppleSignInManager.h"
#include "Accounts/AuthState.h"
#include "Accounts/LinkedAccount.h"
#include "ActivityLog/SyncLogger.h"
#include "Platform/Http/TransportError.h"

#include <QLoggingCategory>
#include <QPointer>

namespace quillmere {

namespace {

Q_LOGGING_CATEGORY(accountFlowLog, "app.quillmere.Quillmere.AccountFlow")

using Outcome = AccountFlowController::Outcome;

Outcome failure(QString message)
{
    Outcome outcome;
    outcome.kind = Outcome::Kind::failed;
    outcome.message = std::move(message);
    return outcome;
}

Outcome cancellation()
{
    Outcome outcome;
    outcome.kind = Outcome::Kind::cancelled;
    return outcome;
}

} // namespace

// The browser part of a web sign-in: stopped by the window's close, the time limit or the
// controller's end.
struct AccountFlowController::BrowserWait
{
    std::stop_source source;
    bool timedOut = false;
};

AccountFlowController::AccountFlowController(AuthState &auth, Clock &clock, std::shared_ptr<WebAuthSession> webAuth,
                                             WipeLocalSyncState wipeLocalSyncState, QString googleClientID,
                                             BaseURLSource appleRedirectBase, QObject *parent)
    : QObject(parent),
      m_auth(auth),
      m_clock(clock),
      m_webAuth(std::move(webAuth)),
      m_wipe(std::move(wipeLocalSyncState)),
      m_googleClientID(std::move(googleClientID)),
      m_appleRedirectBase(std::move(appleRedirectBase))
{
}

AccountFlowController::~AccountFlowController() = default;

QUrl AccountFlowController::baseURL() const
{
    return m_auth.tokenManager().baseURL();
}

void AccountFlowController::endOpening(quint64 opening)
{
    if (m_busy && opening == m_requestOpening && m_browserWait)
        m_browserWait->source.request_stop();
}

bool AccountFlowController::registerAccount(quint64 opening, RegistrationAPIClient::Registration form)
{
    return begin(opening, Flow::email, std::move(form));
}

bool AccountFlowController::signInWithApple(quint64 opening)
{
    return begin(opening, Flow::apple, {});
}

bool AccountFlowController::signInWithGoogle(quint64 opening)
{
    return begin(opening, Flow::google, {});
}

bool AccountFlowController::begin(quint64 opening, Flow flow, RegistrationAPIClient::Registration form)
{
    if (m_busy)
        return false;
    m_busy = true;
    m_requestOpening = opening;
    m_browserWait = flow == Flow::email ? nullptr : std::make_shared<BrowserWait>();
    // On the next turn: the outcome never reaches the caller inside its own click handler.
    m_request = TaskHandle::startSoon([this, opening, flow, form = std::move(form)](std::stop_token stop) {
        return run(opening, flow, form, stop);
    });
    Q_EMIT busyChanged();
    return true;
}

QCoro::Task<> AccountFlowController::endBrowserWaitAfter(Clock &clock, Clock::Duration limit,
                                                         std::shared_ptr<BrowserWait> wait, std::stop_token stop)
{
    auto sleeping = clock.sleepFor(limit, stop);
    if (!co_await std::move(sleeping))
        co_return;
    wait->timedOut = true;
    wait->source.request_stop();
}

namespace {

// The user message of whatever a request threw; nullopt for a cancellation.
std::optional<QString> messageOf(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const RegistrationAPIClient::RegistrationError &e) {
        return e.message();
    } catch (const AppleSignInManager::AppleSignInError &e) {
        if (e.code() == AppleSignInManager::AppleSignInError::Code::userCancelled)
            return std::nullopt;
        return e.message();
    } catch (const GoogleSignInManager::GoogleSignInError &e) {
        if (e.code() == GoogleSignInManager::GoogleSignInError::Code::userCancelled)
            return std::nullopt;
        return e.message();
    } catch (const TransportError &e) {
        if (e.isCancellation())
            return std::nullopt;
        return QString::fromUtf8(e.what());
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    }
}

} // namespace

QCoro::Task<> AccountFlowController::run(quint64 opening, Flow flow, RegistrationAPIClient::Registration form,
                                         std::stop_token stop)
{
    QPointer<AccountFlowController> self(this);
    Clock &clock = m_clock;
    const QUrl base = baseURL();
    const std::shared_ptr<WebAuthSession> session = m_webAuth;
    const QString googleClientID = m_googleClientID;
    const BaseURLSource appleRedirectBase = m_appleRedirectBase;
    const std::shared_ptr<BrowserWait> wait = m_browserWait;
    // The controller's end also ends a browser wait.
    std::optional<std::stop_callback<std::function<void()>>> relay;
    if (wait)
        relay.emplace(stop, std::function<void()>([wait] { wait->source.request_stop(); }));
    const BaseURLSource exchangeBase = [base] { return base; };

    std::optional<AuthResponse> response;
    std::exception_ptr error;
    try {
        switch (flow) {
        case Flow::email: {
            auto sending = RegistrationAPIClient::registerAccount(std::move(form), base, stop);
            response = co_await std::move(sending);
            break;
        }
        case Flow::apple: {
            AppleSignInManager manager(session, appleRedirectBase, exchangeBase);
            TaskHandle limit = TaskHandle::start([&clock, wait](std::stop_token limitStop) {
                return endBrowserWaitAfter(clock, browserSignInLimit, wait, limitStop);
            });
            auto flowing = manager.performOAuthFlow(wait->source.get_token());
            const std::pair<QString, QString> codeAndState = co_await std::move(flowing);
            limit.cancel();
            auto exchanging = manager.exchangeCode(codeAndState.first, stop);
            response = co_await std::move(exchanging);
            break;
        }
        case Flow::google: {
            GoogleSignInManager manager(session, googleClientID, exchangeBase);
            TaskHandle limit = TaskHandle::start([&clock, wait](std::stop_token limitStop) {
                return endBrowserWaitAfter(clock, browserSignInLimit, wait, limitStop);
            });
            auto flowing = manager.performOAuthFlow(wait->source.get_token());
            const std::pair<QString, QString> codeAndState = co_await std::move(flowing);
            limit.cancel();
            auto exchanging = manager.exchangeCode(codeAndState.first, stop);
            response = co_await std::move(exchanging);
            break;
        }
        }
    } catch (...) {
        error = std::current_exception();
    }
    if (stop.stop_requested() || !self)
        co_return;

    Outcome outcome;
    if (response) {
        auto completing = complete(std::move(*response), stop);
        outcome = co_await std::move(completing);
        if (stop.stop_requested() || !self)
            co_return;
    } else {
        try {
            std::rethrow_exception(error);
        } catch (const RegistrationAPIClient::RegistrationError &e) {
            // Field messages that say nothing are no message: with none left the form shows the
            // general one instead of an empty line under a field.
            RegistrationAPIClient::FieldErrors fields;
            for (const auto &[field, messages] : e.fieldErrors()) {
                QStringList said = messages;
                said.removeIf([](const QString &message) { return message.trimmed().isEmpty(); });
                if (!said.isEmpty())
                    fields.emplace(field, std::move(said));
            }
            if (e.code() == RegistrationAPIClient::RegistrationError::Code::validationFailed && !fields.empty()) {
                outcome.kind = Outcome::Kind::failed;
                outcome.fieldErrors = std::move(fields);
            } else {
                outcome = failure(e.message());
            }
        } catch (...) {
            const std::optional<QString> message = messageOf(std::current_exception());
            if (message)
                outcome = failure(*message);
            else if (wait && wait->timedOut)
                outcome = failure(timedOutMessage);
            else
                outcome = cancellation();
        }
    }

    m_busy = false;
    m_browserWait.reset();
    Q_EMIT busyChanged();
    Q_EMIT finished(opening, outcome);
}

QCoro::Task<AccountFlowController::Outcome> AccountFlowController::complete(AuthResponse response,
                                                                            std::stop_token stop)
{
    QPointer<AccountFlowController> self(this);
    AuthState &auth = m_auth;
    const WipeLocalSyncState wipe = m_wipe;
    // Once the wipe is asked for, every way out but the commit hands the connected account
    // back to the shell: its records are gone (or the engine stopped for a wipe that failed).
    struct HandBackUnlessCommitted
    {
        std::function<void()> handBack;
        bool armed = false;
        ~HandBackUnlessCommitted()
        {
            if (armed && handBack)
                handBack();
        }
    } handBack{m_wipeAbandoned};
    const QUrl base = baseURL();
    const Outcome gone = cancellation();

    // A device link approved now would store its token after this one.
    auth.stopDeviceLink();

    std::optional<qint64> linked = LinkedAccount::id();
    if (!linked && auth.connectionState().is(ConnectionState::Kind::connected)) {
        // Linked before the account was recorded: the service tells whose token is stored.
        auto loading = auth.tokenManager().loadToken();
        const std::optional<TokenData> stored = co_await std::move(loading);
        if (stop.stop_requested() || !self)
            co_return gone;
        if (stored) {
            try {
                auto asking = RegistrationAPIClient::fetchAccount(stored->token, base, stop);
                const UserProfile profile = co_await std::move(asking);
                linked = LinkedAccount::known(profile.id);
            } catch (const std::exception &) {
                // Unknown: never wipe on an unknown, and never save over it either.
            }
            if (stop.stop_requested() || !self)
                co_return gone;
        }
        if (!linked)
            co_return failure(unknownLinkedAccountMessage);
    }

    // The account signed in to: the reply's id, else what the service says of the new token
    // where the reply says the account is served.
    std::optional<qint64> account = LinkedAccount::known(response.user.id);
    if (!account) {
        std::optional<QUrl> home;
        if (response.home.apiURL)
            home = APIConfig::acceptableHomeURL(*response.home.apiURL);
        try {
            auto asking = RegistrationAPIClient::fetchAccount(response.token, home.value_or(base), stop);
            const UserProfile profile = co_await std::move(asking);
            account = LinkedAccount::known(profile.id);
        } catch (const std::exception &) {
            // Unknown.
        }
        if (stop.stop_requested() || !self)
            co_return gone;
        if (account)
            response.user.id = *account;
    }
    // Whether the records here are this account's cannot be told: keep them and save nothing.
    if (!account && linked)
        co_return failure(unknownSignedInAccountMessage);

    // Records kept with no account recorded (a sign-out that spared them before any account was
    // recorded) may be anybody's: whichever account this is, they go before its token is saved.
    // Never on an unknown account: the shell's own check wipes them once it knows the account.
    const bool unowned = !linked && account && m_hasLocalSyncRecords && m_hasLocalSyncRecords();
    if ((linked && *linked != *account) || unowned) {
        bool wiped = false;
        handBack.armed = true;
        if (wipe) {
            try {
                auto wiping = wipe();
                wiped = co_await std::move(wiping);
            } catch (const std::exception &) {
                wiped = false;
            }
        }
        if (stop.stop_requested() || !self)
            co_return gone;
        if (!wiped)
            co_return failure(wipeFailedMessage);
        if (unowned)
            qCInfo(accountFlowLog) << "Local sync state that named no account wiped before a sign-in";
        else
            qCInfo(accountFlowLog) << "Local sync state of the previous account wiped before a sign-in of another account";
    }

    auth.stopDeviceLink();
    QPointer<AuthState> authAlive(&auth);
    auto saving = auth.tokenManager().saveToken(response.token, response.expiresAt);
    const bool saved = co_await std::move(saving);
    // The token is stored: the sign-in is made, even when its window or controller went
    // meanwhile. Left uncommitted it would sign in at the next start without the address and
    // shard it came with, and a hand-back would connect it unrecorded. Only now, after any
    // wipe and the save, does the account's address and shard replace the one before: a
    // sign-in that stopped earlier leaves the previous account where it was.
    response.home.store();
    // An account the service did not name is recorded by the shell's own check, before
    // anything syncs.
    if (account)
        LinkedAccount::setID(*account);
    handBack.armed = false;
    if (authAlive)
        authAlive->commitSignIn();
    if (stop.stop_requested() || !self)
        co_return gone;
    if (!saved) {
        qCWarning(accountFlowLog) << "The sign-in could not be saved to the keyring";
        SyncLogger::shared().log(SyncLogger::Event::connected, SyncLogger::Direction::none, QString(),
                                 QStringLiteral("The sign-in could not be saved to the keyring"));
    }

    Outcome outcome;
    outcome.kind = Outcome::Kind::signedIn;
    outcome.response = std::move(response);
    outcome.tokenSaved = saved;
    co_return outcome;
}

QCoro::Task<std::optional<AccountFlowController::SignedInAccount>>
AccountFlowController::loadSignedInAccount(std::stop_token stop)
{
    QPointer<AuthState> auth(&m_auth);
    const quint64 generation = m_auth.signInGeneration();
    const QUrl base = baseURL();
    if (!m_auth.connectionState().is(ConnectionState::Kind::connected))
        co_return std::nullopt;

    auto reading = m_auth.currentToken();
    const std::optional<QString> token = co_await std::move(reading);
    if (stop.stop_requested() || !auth || !token)
        co_return std::nullopt;

    std::optional<UserProfile> profile;
    try {
        auto asking = RegistrationAPIClient::fetchAccount(*token, base, stop);
        profile = co_await std::move(asking);
    } catch (const std::exception &) {
        // Silent: the window stays at the registration form.
    }
    if (stop.stop_requested() || !auth || !profile || auth->signInGeneration() != generation
        || !auth->connectionState().is(ConnectionState::Kind::connected))
        co_return std::nullopt;
    co_return SignedInAccount{std::move(*profile), *token};
}

} // namespace quillmere
