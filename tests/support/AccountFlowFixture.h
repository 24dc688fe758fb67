#pragma once

#include "Accounts/AccountFlowController.h"
#include "Accounts/AuthState.h"
#include "Accounts/KeychainVault.h"
#include "Accounts/LinkedAccount.h"
#include "Accounts/ScriptedWebAuthSession.h"
#include "Accounts/TokenData.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/Async/WaitQueue.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "fake-service/FakeHarborly.h"
#include "support/HeldWritesBackend.h"
#include "support/TemporaryConfigHome.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QUrlQuery>

#include <chrono>
#include <memory>
#include <vector>

namespace quillmere::test {

// A sign-in page that stays open until its flow is stopped (the window closed, the time
// limit), then reports the user's cancellation, as the browser session does.
class WaitingWebAuthSession : public WebAuthSession
{
public:
    QCoro::Task<WebAuthOutcome> authenticate(QUrl, QString, std::stop_token stop) override
    {
        ++started;
        struct Wait
        {
            bool stopped = false;
            WaitQueue queue;
        };
        auto wait = std::make_shared<Wait>();
        std::stop_callback onStop(stop, [wait] {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [wait] {
                    wait->stopped = true;
                    wait->queue.resumeAll();
                },
                Qt::QueuedConnection);
        });
        while (!wait->stopped)
            co_await wait->queue.wait();
        co_return WebAuthOutcome::cancelled();
    }

    int started = 0;
};

// The account window's controller over the fake service: a vault in memory, a manual clock,
// a sign-in state pointed at the fake, a scripted web sign-in that hands back `nextCode` (or a
// waiting one), and a wipe hook that counts and records the token stored when it ran.
class AccountFlowFixture
{
public:
    using Outcome = AccountFlowController::Outcome;

    static inline const QString googleClientID = QStringLiteral("1234-abcd.apps.googleusercontent.com");

    AccountFlowFixture()
    {
        fake.start();
        base = fake.baseURL();
        accountA = fake.addAccount(person(QStringLiteral("Ada"), QStringLiteral("ada@example.com")));
        accountB = fake.addAccount(person(QStringLiteral("Bo"), QStringLiteral("bo@example.com")));
    }

    virtual ~AccountFlowFixture()
    {
        controller.reset();
        auth.reset();
        runFor(std::chrono::milliseconds(50));
        drainEvents();
    }

    static FakeAccount person(const QString &name, const QString &email)
    {
        FakeAccount account;
        account.name = name;
        account.email = email;
        return account;
    }

    // Answers every web sign-in with `sessionAnswer` when set, else with a callback carrying
    // `nextCode` and the state sent.
    ScriptedWebAuthSession::Script echoingCode()
    {
        return [this](QUrl start, QString scheme) {
            if (sessionAnswer)
                return ScriptedWebAuthSession::later(*sessionAnswer);
            const QString state = QUrlQuery(start).queryItemValue(QStringLiteral("state"));
            const QUrl callback(scheme + QStringLiteral("://callback?code=") + nextCode + QStringLiteral("&state=")
                                + state);
            return ScriptedWebAuthSession::later(WebAuthOutcome::completed(callback));
        };
    }

    // The sign-in state (its start-up check settled) and the controller over `webAuth`
    // (default: the echoing scripted session).
    void make(std::shared_ptr<WebAuthSession> webAuth = {})
    {
        if (!webAuth) {
            scripted = std::make_shared<ScriptedWebAuthSession>(echoingCode());
            webAuth = scripted;
        }
        controller.reset();
        auth = std::make_unique<AuthState>(vault, clock, ExternalURLOpener(), [this] { return base; });
        runFor(std::chrono::milliseconds(20));
        controller = std::make_unique<AccountFlowController>(
            *auth, clock, std::move(webAuth),
            [this]() -> QCoro::Task<bool> {
                ++wipes;
                tokenAtWipe = storedToken();
                pollingAtWipe = auth->hasPollingTask();
                co_return wipeSucceeds;
            },
            googleClientID, [this] { return base; });
        QObject::connect(controller.get(), &AccountFlowController::finished, controller.get(),
                         [this](quint64 opening, const Outcome &outcome) { outcomes.push_back({opening, outcome}); });
    }

    // A stored, unexpired token of the account, and the sign-in state connected with it.
    QString linkWith(qint64 account)
    {
        const QString token = fake.issueToken(account);
        vault.setValue(TokenData{token, clock.currentDateTime().addDays(1)}.encoded(), KeychainVault::bearerTokenKey());
        return token;
    }

    std::optional<QString> storedToken()
    {
        const auto bytes = vault.data(KeychainVault::bearerTokenKey());
        const auto data = bytes ? TokenData::decode(*bytes) : std::nullopt;
        return data ? std::optional(data->token) : std::nullopt;
    }

    // The outcome of the next request to finish.
    std::optional<Outcome> nextOutcome(std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        const size_t before = seen;
        if (!runUntil([&] { return outcomes.size() > before; }, timeout))
            return std::nullopt;
        seen = before + 1;
        return outcomes[before].second;
    }

    TemporaryConfigHome configHome;
    // Its writes go through at once unless a test holds them.
    HeldWritesBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    FakeHarborly fake;
    QUrl base = QUrl();
    qint64 accountA = 0;
    qint64 accountB = 0;
    ManualClock clock{QDateTime::currentDateTimeUtc()};
    QString nextCode;
    std::optional<WebAuthOutcome> sessionAnswer;
    std::shared_ptr<ScriptedWebAuthSession> scripted;
    std::unique_ptr<AuthState> auth;
    std::unique_ptr<AccountFlowController> controller;
    int wipes = 0;
    bool wipeSucceeds = true;
    std::optional<QString> tokenAtWipe;
    std::optional<bool> pollingAtWipe;
    std::vector<std::pair<quint64, Outcome>> outcomes;
    size_t seen = 0;
};

} // namespace quillmere::test
