// The account window in each of its steps, against the fake service.

#include "screenshots/Screenshots.h"

#include "Accounts/AccountFlowController.h"
#include "Accounts/AuthState.h"
#include "Accounts/KeychainVault.h"
#include "Accounts/ScriptedWebAuthSession.h"
#include "Accounts/TokenData.h"
#include "Platform/Async/ManualClock.h"
#include "UI/Onboarding/AccountWindow.h"
#include "UI/Onboarding/AccountWindowView.h"
#include "UI/Onboarding/SubscriptionView.h"
#include "fake-service/FakeHarborly.h"
#include "support/TestSupport.h"

#include <QLineEdit>
#include <QPushButton>
#include <QUrlQuery>

namespace quillmere::screenshots {

namespace {

const QSize windowSize(480, 600);

// A sign-in state, controller and window over the environment's fake service. With an
// account, its token is stored first, so the window opens connected.
struct Scene
{
    explicit Scene(Environment &environment, std::optional<qint64> connectedAccount = std::nullopt)
        : service(environment.service()),
          auth(environment.vault(), environment.clock(), ExternalURLOpener(), [this] { return service.baseURL(); }),
          controller(auth, environment.clock(), std::make_shared<test::ScriptedWebAuthSession>(echoCode()),
                     []() -> QCoro::Task<bool> { co_return true; }, QStringLiteral("1234-abcd.apps.googleusercontent.com"),
                     [this] { return service.baseURL(); }),
          window(controller, [](const QUrl &) { return true; })
    {
        if (connectedAccount) {
            const QString token = service.issueToken(*connectedAccount);
            environment.vault().setValue(TokenData{token, environment.clock().currentDateTime().addDays(1)}.encoded(),
                                         KeychainVault::bearerTokenKey());
            test::runUntil([this] { return auth.connectionState().is(ConnectionState::Kind::connected); });
        }
        window.open();
    }

    ~Scene() { window.close(); }

    test::ScriptedWebAuthSession::Script echoCode()
    {
        return [this](QUrl start, QString scheme) {
            const QString state = QUrlQuery(start).queryItemValue(QStringLiteral("state"));
            return test::ScriptedWebAuthSession::later(
                WebAuthOutcome::completed(QUrl(scheme + QStringLiteral("://callback?code=") + code
                                               + QStringLiteral("&state=") + state)));
        };
    }

    AccountWindowView &view() { return *window.content(); }
    template<typename T = QWidget>
    T *part(const char *name)
    {
        return view().stepView()->findChild<T *>(QString::fromLatin1(name));
    }
    void click(const char *name) { part<QPushButton>(name)->click(); }
    void fill(const QString &name, const QString &email, const QString &password, const QString &confirmation)
    {
        part<QLineEdit>("nameField")->setText(name);
        part<QLineEdit>("emailField")->setText(email);
        part<QLineEdit>("passwordField")->setText(password);
        part<QLineEdit>("passwordConfirmationField")->setText(confirmation);
    }
    void waitIdle()
    {
        test::runUntil([this] { return !controller.isBusy(); });
    }
    void waitForPlans()
    {
        test::runUntil([this] {
            auto *chooser = qobject_cast<SubscriptionView *>(view().stepView());
            return chooser && !chooser->isLoading();
        });
    }

    test::FakeHarborly &service;
    QString code;
    AuthState auth;
    AccountFlowController controller;
    AccountWindow window;
};

// Every state starts without a stored token.
void signedOut(Environment &environment)
{
    environment.vault().removeValue(KeychainVault::bearerTokenKey());
    environment.service().clearFaults();
    environment.service().setCheckoutURL(QString());
}

qint64 account(Environment &environment, const QString &plan = QStringLiteral("silver"))
{
    test::FakeAccount made;
    made.name = QStringLiteral("Ada Lovelace");
    static int madeCount = 0;
    made.email = QStringLiteral("ada%1@example.com").arg(++madeCount);
    made.plan = plan;
    return environment.service().addAccount(made);
}

QImage planStep(Environment &environment, const QString &plan, const std::function<void(Scene &)> &step = {})
{
    signedOut(environment);
    Scene scene(environment, account(environment, plan));
    return capture(scene.window, windowSize, [&] {
        scene.waitForPlans();
        if (step)
            step(scene);
    });
}

const bool registered = addStates({
    {QStringLiteral("account-register"), QStringLiteral("account window: the empty registration form"),
     [](Environment &environment) {
         signedOut(environment);
         Scene scene(environment);
         return capture(scene.window, windowSize);
     }},
    {QStringLiteral("account-register-field-errors"), QStringLiteral("registration refused field by field (422)"),
     [](Environment &environment) {
         signedOut(environment);
         Scene scene(environment);
         return capture(scene.window, windowSize, [&] {
             scene.fill(QStringLiteral("Ada Lovelace"), QStringLiteral("ada.example.com"), QStringLiteral("short"),
                        QStringLiteral("shorter"));
             scene.click("createAccountButton");
             scene.waitIdle();
         });
     }},
    {QStringLiteral("account-register-error"), QStringLiteral("registration refused as too many attempts (429)"),
     [](Environment &environment) {
         signedOut(environment);
         environment.service().answerNext("/api/v1/auth/register", 429, "{}");
         Scene scene(environment);
         return capture(scene.window, windowSize, [&] {
             scene.fill(QStringLiteral("Ada Lovelace"), QStringLiteral("ada@example.com"),
                        QStringLiteral("password1"), QStringLiteral("password1"));
             scene.click("createAccountButton");
             scene.waitIdle();
         });
     }},
    {QStringLiteral("account-register-busy"), QStringLiteral("a registration on its way: buttons disabled"),
     [](Environment &environment) {
         signedOut(environment);
         environment.service().delayNext("/api/v1/auth/register", std::chrono::seconds(5));
         Scene scene(environment);
         return capture(scene.window, windowSize, [&] {
             scene.fill(QStringLiteral("Ada Lovelace"), QStringLiteral("ada@example.com"),
                        QStringLiteral("password1"), QStringLiteral("password1"));
             scene.click("createAccountButton");
             test::runFor(std::chrono::milliseconds(50));
         });
     }},
    {QStringLiteral("account-verify-email"), QStringLiteral("the e-mail verification prompt"),
     [](Environment &) {
         EmailVerificationPromptView prompt(QStringLiteral("ada@example.com"), [] {});
         prompt.setAutoFillBackground(true);
         return capture(prompt, windowSize);
     }},
    {QStringLiteral("account-plans-loading"), QStringLiteral("plan chooser while the plans load"),
     [](Environment &environment) {
         signedOut(environment);
         environment.service().delayNext("/api/v1/account/subscription-portal", std::chrono::seconds(5));
         Scene scene(environment, account(environment));
         return capture(scene.window, windowSize, [&] {
             test::runUntil([&] { return scene.view().step() == AccountWindowView::Step::selectPlan; });
         });
     }},
    {QStringLiteral("account-plans"), QStringLiteral("plan chooser: the free plan current and selected"),
     [](Environment &environment) { return planStep(environment, QStringLiteral("silver")); }},
    {QStringLiteral("account-plans-upgrade"), QStringLiteral("plan chooser: gold current, platinum selected"),
     [](Environment &environment) {
         return planStep(environment, QStringLiteral("gold"), [](Scene &scene) {
             qobject_cast<SubscriptionView *>(scene.view().stepView())->selectPlan(QStringLiteral("platinum"));
         });
     }},
    {QStringLiteral("account-opened-while-linked"),
     QStringLiteral("account window from the account command while linked: the account's plans (gold current)"),
     [](Environment &environment) { return planStep(environment, QStringLiteral("gold")); }},
    {QStringLiteral("account-plans-error"), QStringLiteral("plan chooser: the plans could not be loaded"),
     [](Environment &environment) {
         signedOut(environment);
         environment.service().answerNext("/api/v1/account/subscription-portal", 503, "{}");
         Scene scene(environment, account(environment));
         return capture(scene.window, windowSize, [&] { scene.waitForPlans(); });
     }},
    {QStringLiteral("account-checkout-refused"), QStringLiteral("plan chooser: a checkout address that is not a web page"),
     [](Environment &environment) {
         return planStep(environment, QStringLiteral("silver"), [&](Scene &scene) {
             environment.service().setCheckoutURL(QStringLiteral("javascript:alert(1)"));
             auto *chooser = qobject_cast<SubscriptionView *>(scene.view().stepView());
             chooser->selectPlan(QStringLiteral("gold"));
             scene.click("upgradeButton");
             test::runUntil([&] { return !chooser->isCheckoutRunning(); });
         });
     }},
    {QStringLiteral("account-complete"), QStringLiteral("completion screen after a returning user's Apple sign-in"),
     [](Environment &environment) {
         signedOut(environment);
         Scene scene(environment);
         scene.code = environment.service().addAppleSignInCode(account(environment), false);
         return capture(scene.window, windowSize, [&] {
             scene.click("appleSignInButton");
             test::runUntil([&] { return scene.view().step() == AccountWindowView::Step::complete; });
         });
     }},
});

} // namespace

} // namespace quillmere::screenshots
