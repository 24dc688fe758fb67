#include "UI/Onboarding/AccountWindow.h"
#include "UI/Onboarding/AccountWindowView.h"
#include "UI/Onboarding/RegistrationFormView.h"
#include "UI/Onboarding/SubscriptionView.h"
#include "support/AccountFlowFixture.h"

#include <QAbstractButton>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gmock/gmock.h>

using namespace quillmere;
using namespace std::chrono_literals;
using quillmere::test::runUntil;
using Step = AccountWindowView::Step;

// Receives what QDesktopServices would hand to the browser.
class OpenedPages : public QObject
{
    Q_OBJECT

public:
    std::vector<QUrl> urls;

public Q_SLOTS:
    void open(const QUrl &url) { urls.push_back(url); }
};

namespace {

class AccountWindowTest : public ::testing::Test, protected quillmere::test::AccountFlowFixture
{
protected:
    void SetUp() override
    {
        for (const char *scheme : {"https", "http", "javascript"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &pages, "open");
    }

    void TearDown() override
    {
        for (const char *scheme : {"https", "http", "javascript"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
        window.reset();
    }

    AccountWindow &openWindow()
    {
        if (!controller)
            make();
        if (!window)
            window = std::make_unique<AccountWindow>(*controller);
        window->open();
        return *window;
    }

    AccountWindowView &view() { return *window->content(); }
    template<typename T = QWidget>
    T *part(const char *name)
    {
        return view().stepView()->findChild<T *>(QString::fromLatin1(name));
    }
    QPushButton *button(const char *name) { return part<QPushButton>(name); }
    QString text(const char *name) { return part<QLabel>(name)->text(); }
    bool shown(const char *name) { return !part(name)->isHidden(); }

    void fill(const QString &name, const QString &email, const QString &password, const QString &confirmation)
    {
        part<QLineEdit>("nameField")->setText(name);
        part<QLineEdit>("emailField")->setText(email);
        part<QLineEdit>("passwordField")->setText(password);
        part<QLineEdit>("passwordConfirmationField")->setText(confirmation);
    }

    bool waitForStep(Step step) { return runUntil([&] { return window->content() && view().step() == step; }, 5s); }
    // The form is idle again after a request.
    bool idle() { return runUntil([&] { return !controller->isBusy(); }, 5s) && button("appleSignInButton")->isEnabled(); }

    std::vector<QAbstractButton *> cards(QWidget *chooser)
    {
        const auto found = chooser->findChildren<QAbstractButton *>(QStringLiteral("planCard"));
        return std::vector<QAbstractButton *>(found.begin(), found.end());
    }
    QStringList cardNames(QWidget *chooser)
    {
        QStringList names;
        for (QAbstractButton *card : cards(chooser))
            names.append(card->property("planName").toString());
        return names;
    }
    QAbstractButton *card(QWidget *chooser, const QString &name, int which = 0)
    {
        for (QAbstractButton *card : cards(chooser)) {
            if (card->property("planName").toString() == name && which-- == 0)
                return card;
        }
        return nullptr;
    }

    // A plan chooser of its own, shown, with its load finished.
    std::unique_ptr<SubscriptionView> chooser(const QString &token, const QString &current, QUrl at = {})
    {
        auto made = std::make_unique<SubscriptionView>(token, current, at.isEmpty() ? base : at,
                                                       ExternalURLOpener([](const QUrl &url) {
                                                           return QDesktopServices::openUrl(url);
                                                       }));
        made->show();
        EXPECT_TRUE(runUntil([&] { return !made->isLoading(); }, 5s));
        return made;
    }

    OpenedPages pages;
    std::unique_ptr<AccountWindow> window;
};

} // namespace

namespace {

// The colour of a label's darkest drawn pixel: its text.
QColor inkOf(QLabel *label)
{
    const QImage image = label->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QColor darkest(Qt::white);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor pixel(image.pixel(x, y));
            if (pixel.lightness() < darkest.lightness())
                darkest = pixel;
        }
    return darkest;
}

} // namespace

TEST_F(AccountWindowTest, RegistrationFormEnablesItsButtonsByTheFieldsAndShowsFieldMessages)
{
    openWindow();
    ASSERT_EQ(view().step(), Step::registration);
    // The header's symbol is the waveform, drawn, not a glyph that reads as a radio button.
    QLabel *mark = part<QLabel>("registrationSymbol");
    ASSERT_TRUE(mark);
    EXPECT_TRUE(mark->text().isEmpty());
    EXPECT_FALSE(mark->pixmap().isNull());
    EXPECT_EQ(window->minimumSize(), QSize(480, 560));
    EXPECT_FALSE(button("createAccountButton")->isEnabled());
    EXPECT_TRUE(button("appleSignInButton")->isEnabled());
    fill(QStringLiteral("  "), QStringLiteral(" "), QStringLiteral(" "), QString());
    EXPECT_FALSE(button("createAccountButton")->isEnabled());
    part<QLineEdit>("passwordConfirmationField")->setText(QStringLiteral("x"));
    ASSERT_TRUE(button("createAccountButton")->isEnabled()) << "blanks count as filled";

    // In flight: every button is disabled. The service refuses each field.
    fake.delayNext("/api/v1/auth/register", 200ms);
    QTest::mouseClick(button("createAccountButton"), Qt::LeftButton);
    for (const char *name : {"createAccountButton", "appleSignInButton", "googleSignInButton"})
        EXPECT_FALSE(button(name)->isEnabled()) << name;
    EXPECT_TRUE(shown("registrationBusy"));
    ASSERT_TRUE(idle());
    const auto sent = QJsonDocument::fromJson(QByteArray::fromStdString(fake.requestsTo("POST", "/api/v1/auth/register").at(0).body)).object();
    EXPECT_EQ(sent.value(QStringLiteral("name")).toString(), QStringLiteral("  ")) << "sent as typed";
    EXPECT_EQ(text("nameError"), QStringLiteral("The name field is required."));
    EXPECT_EQ(text("emailError"), QStringLiteral("The email must be a valid email address."));
    EXPECT_EQ(text("passwordError"), QStringLiteral("The password must be at least 8 characters."));
    EXPECT_FALSE(shown("registrationErrorLine"));
    EXPECT_FALSE(shown("registrationBusy"));
    EXPECT_EQ(part<QLineEdit>("nameField")->text(), QStringLiteral("  ")) << "fields are never cleared";

    // A failed Google sign-in shows its message and keeps the field messages; a new
    // registration clears both.
    sessionAnswer = WebAuthOutcome::failed(QStringLiteral("no browser"));
    QTest::mouseClick(button("googleSignInButton"), Qt::LeftButton);
    ASSERT_TRUE(idle());
    EXPECT_TRUE(shown("registrationErrorLine"));
    EXPECT_TRUE(shown("nameError"));
    fake.answerNext("/api/v1/auth/register", 429, "{}");
    QTest::mouseClick(button("createAccountButton"), Qt::LeftButton);
    ASSERT_TRUE(idle());
    EXPECT_FALSE(shown("nameError"));
    EXPECT_EQ(text("registrationErrorMessage"), QStringLiteral("Too many attempts. Please wait a moment and try again."));
}

TEST_F(AccountWindowTest, RegistrationAnswersOtherThan201AreFailures)
{
    openWindow();
    fill(QStringLiteral("Cy"), QStringLiteral("cy@example.com"), QStringLiteral("password1"), QStringLiteral("password1"));
    const std::vector<std::tuple<int, std::string, QString>> answers{
        {200, "{}", QStringLiteral("Server error (200). Please try again later.")},
        {409, "{}", QStringLiteral("Server error (409). Please try again later.")},
        {201, R"({"user": {"id": 5}, "expires_at": "2030-01-01T00:00:00Z"})", QStringLiteral("Invalid response from server.")},
    };
    for (const auto &[status, body, message] : answers) {
        fake.answerNext("/api/v1/auth/register", status, body);
        QTest::mouseClick(button("createAccountButton"), Qt::LeftButton);
        ASSERT_TRUE(idle()) << status;
        EXPECT_EQ(text("registrationErrorMessage"), message) << status;
    }
    // A 422 that is not JSON is a failure of its own.
    fake.answerNext("/api/v1/auth/register", 422, "<html>");
    QTest::mouseClick(button("createAccountButton"), Qt::LeftButton);
    ASSERT_TRUE(idle());
    EXPECT_TRUE(shown("registrationErrorLine"));
    EXPECT_FALSE(text("registrationErrorMessage").isEmpty());
    // Fields the form has no line for are named on the general line, never left unsaid.
    fake.answerNext("/api/v1/auth/register", 422, R"({"errors": {"device_name": ["The device name is too long."]}})");
    QTest::mouseClick(button("createAccountButton"), Qt::LeftButton);
    ASSERT_TRUE(idle());
    EXPECT_TRUE(shown("registrationErrorLine"));
    EXPECT_EQ(text("registrationErrorMessage"), QStringLiteral("The device name is too long."));
    for (const char *name : {"nameError", "emailError", "passwordError"})
        EXPECT_FALSE(shown(name)) << name;
    fake.answerNext("/api/v1/auth/register", 422,
                    R"({"errors": {"email": ["The email has already been taken."],)"
                    R"( "password_confirmation": ["The confirmation does not match."]}})");
    QTest::mouseClick(button("createAccountButton"), Qt::LeftButton);
    ASSERT_TRUE(idle());
    EXPECT_EQ(text("emailError"), QStringLiteral("The email has already been taken."));
    EXPECT_TRUE(shown("registrationErrorLine"));
    EXPECT_EQ(text("registrationErrorMessage"), QStringLiteral("The confirmation does not match."));
    // Only fields with a line: the general line stays hidden.
    fake.answerNext("/api/v1/auth/register", 422, R"({"errors": {"email": ["The email has already been taken."]}})");
    QTest::mouseClick(button("createAccountButton"), Qt::LeftButton);
    ASSERT_TRUE(idle());
    EXPECT_TRUE(shown("emailError"));
    EXPECT_FALSE(shown("registrationErrorLine"));
    EXPECT_FALSE(storedToken());

    // 201: a new account goes on to the plans with its token.
    QTest::mouseClick(button("createAccountButton"), Qt::LeftButton);
    ASSERT_TRUE(waitForStep(Step::selectPlan));
    EXPECT_EQ(view().authToken(), storedToken());
    EXPECT_TRUE(auth->connectionState().is(ConnectionState::Kind::connected));
}

TEST_F(AccountWindowTest, AppleAndGoogleSignInsThroughTheWebSession)
{
    openWindow();
    // Cancelled: no message, buttons back.
    sessionAnswer = WebAuthOutcome::cancelled();
    QTest::mouseClick(button("appleSignInButton"), Qt::LeftButton);
    ASSERT_TRUE(idle());
    EXPECT_FALSE(shown("registrationErrorLine"));
    sessionAnswer.reset();

    // A returning user is greeted by name and the window stays until Done.
    nextCode = fake.addAppleSignInCode(accountA, false);
    QTest::mouseClick(button("appleSignInButton"), Qt::LeftButton);
    ASSERT_TRUE(waitForStep(Step::complete));
    EXPECT_EQ(scripted->calls.back().scheme, QStringLiteral("quillmere"));
    EXPECT_EQ(text("welcomeGreeting"), QStringLiteral("Welcome, Ada!"));
    clock.advance(5s);
    quillmere::test::runFor(50ms);
    ASSERT_TRUE(window->isVisible());
    QTest::mouseClick(button("doneButton"), Qt::LeftButton);
    EXPECT_FALSE(window->isVisible());

    // Google for a new account: the plans, with that account's token.
    auth->setConnectionState(ConnectionState::disconnected());
    openWindow();
    nextCode = fake.addGoogleSignInCode(accountB, true);
    QTest::mouseClick(button("googleSignInButton"), Qt::LeftButton);
    ASSERT_TRUE(waitForStep(Step::selectPlan));
    EXPECT_EQ(scripted->calls.back().scheme, GoogleSignInManager::reversedClientID(googleClientID));
    EXPECT_EQ(LinkedAccount::id(), accountB);
}

TEST_F(AccountWindowTest, TextFromTheUserOrTheServiceIsNeverReadAsMarkup)
{
    openWindow();
    fill(QStringLiteral("x"), QStringLiteral("x"), QStringLiteral("x"), QStringLiteral("x"));
    fake.answerNext("/api/v1/auth/register", 422, R"({"errors": {"name": ["<a href='https://x.example'>Fix</a>"]}})");
    QTest::mouseClick(button("createAccountButton"), Qt::LeftButton);
    ASSERT_TRUE(idle());
    EXPECT_EQ(part<QLabel>("nameError")->textFormat(), Qt::PlainText);
    EXPECT_EQ(text("nameError"), QStringLiteral("<a href='https://x.example'>Fix</a>"));

    fake.updateAccount(accountA, [](auto &account) { account.name = QStringLiteral("<i>Ada</i>"); });
    nextCode = fake.addAppleSignInCode(accountA, false);
    QTest::mouseClick(button("appleSignInButton"), Qt::LeftButton);
    ASSERT_TRUE(waitForStep(Step::complete));
    EXPECT_EQ(part<QLabel>("welcomeGreeting")->textFormat(), Qt::PlainText);
    EXPECT_EQ(text("welcomeGreeting"), QStringLiteral("Welcome, <i>Ada</i>!"));

    // The prompt's bold address is the one rich text: the address itself is escaped.
    EmailVerificationPromptView prompt(QStringLiteral("<b>a</b>@example.com"), [] {});
    const QString shown = prompt.findChild<QLabel *>(QStringLiteral("verificationText"))->text();
    EXPECT_THAT(shown.toStdString(), ::testing::HasSubstr("<b>&lt;b&gt;a&lt;/b&gt;@example.com</b>"));
}

TEST_F(AccountWindowTest, OpenedWhileConnectedItShowsTheAccountsPlansAndLoadsThemOnce)
{
    fake.updateAccount(accountA, [](auto &account) { account.plan = QStringLiteral("gold"); });
    base = QUrl(fake.baseURL().toString() + QStringLiteral("/"));
    linkWith(accountA);
    openWindow();
    ASSERT_TRUE(waitForStep(Step::selectPlan));
    auto *chooser = qobject_cast<SubscriptionView *>(view().stepView());
    ASSERT_TRUE(runUntil([&] { return !chooser->isLoading(); }, 5s));
    EXPECT_EQ(cardNames(chooser), QStringList({"silver", "gold", "platinum"}));
    const auto requests = fake.requestsTo("POST", "/api/v1/account/subscription-portal");
    ASSERT_EQ(requests.size(), 1u) << "joined without a double slash";

    // Gold is current and selected: only Continue; another plan offers the upgrade, the free one not.
    EXPECT_TRUE(card(chooser, "gold")->property("selected").toBool());
    EXPECT_TRUE(card(chooser, "gold")->findChild<QLabel *>(QStringLiteral("currentBadge")));
    EXPECT_TRUE(card(chooser, "gold")->findChild<QLabel *>(QStringLiteral("popularBadge")));
    EXPECT_FALSE(card(chooser, "platinum")->findChild<QLabel *>(QStringLiteral("popularBadge")));
    // The badges' words in their own colours, blue and green, not black.
    const QColor popular = inkOf(card(chooser, "gold")->findChild<QLabel *>(QStringLiteral("popularBadge")));
    EXPECT_GT(popular.blue(), popular.red() + 60) << popular.name().toStdString();
    const QColor current = inkOf(card(chooser, "gold")->findChild<QLabel *>(QStringLiteral("currentBadge")));
    EXPECT_GT(current.green(), current.red() + 60) << current.name().toStdString();
    EXPECT_GT(current.green(), current.blue() + 30) << current.name().toStdString();
    EXPECT_TRUE(part<QPushButton>("upgradeButton")->isHidden());
    EXPECT_EQ(button("continueButton")->text(), QStringLiteral("Continue with Gold"));
    QTest::mouseClick(card(chooser, "platinum"), Qt::LeftButton);
    EXPECT_FALSE(part<QPushButton>("upgradeButton")->isHidden());
    EXPECT_EQ(button("upgradeButton")->text(), QStringLiteral("Upgrade to Platinum"));
    QTest::mouseClick(card(chooser, "silver"), Qt::LeftButton);
    EXPECT_TRUE(part<QPushButton>("upgradeButton")->isHidden());

    // Minimised and back: no second load.
    window->showMinimized();
    window->showNormal();
    quillmere::test::runFor(100ms);
    EXPECT_EQ(fake.requestsTo("POST", "/api/v1/account/subscription-portal").size(), 1u);

    // The account leaves connected: the token is dropped and the form returns.
    auth->setConnectionState(ConnectionState::disconnected());
    EXPECT_EQ(view().step(), Step::registration);
    EXPECT_FALSE(view().authToken());
}

TEST_F(AccountWindowTest, PlanLoadsThatFailOrSayNothingLeaveTheFreeCard)
{
    make();
    const QString token = fake.issueToken(accountA);
    const std::vector<std::tuple<int, std::string, QString>> failures{
        {401, "{}", QStringLiteral("Failed to load plans (HTTP 401).")},
        {200, "not json", SubscriptionView::loadFailedMessage},
    };
    for (const auto &[status, body, message] : failures) {
        fake.answerNext("/api/v1/account/subscription-portal", status, body);
        auto view = chooser(token, QStringLiteral("silver"));
        EXPECT_EQ(view->errorMessage(), message);
        EXPECT_EQ(cardNames(view.get()), QStringList({"silver"}));
        EXPECT_EQ(view->selectedPlan(), std::nullopt);
    }

    // Unreadable entries are dropped, a missing fee shows a dash, the selection is the current plan.
    fake.answerNext("/api/v1/account/subscription-portal", 200,
                    R"({"plans": [{"name": "x", "storage": "1 GB"}, 7, {"name": "gold", "label": "Gold", "storage": "2 GB"}]})");
    auto view = chooser(token, QStringLiteral("silver"));
    EXPECT_EQ(view->errorMessage(), std::nullopt);
    EXPECT_EQ(cardNames(view.get()), QStringList({"silver", "gold"}));
    EXPECT_EQ(card(view.get(), "gold")->findChild<QLabel *>(QStringLiteral("planFee"))->text(), QStringLiteral("\u2014"));
    EXPECT_TRUE(card(view.get(), "silver")->property("selected").toBool());

    // No token: no request, no message.
    fake.clearRequestLog();
    view = chooser(QString(), QStringLiteral("silver"));
    EXPECT_TRUE(fake.requestsTo("POST", "/api/v1/account/subscription-portal").empty());
    EXPECT_EQ(view->errorMessage(), std::nullopt);
}

TEST_F(AccountWindowTest, CheckoutRunsOnceAndOpensOnlySecureWebPages)
{
    make();
    const QString token = fake.issueToken(accountA);
    auto view = chooser(token, QStringLiteral("silver"));
    int completions = 0;
    QObject::connect(view.get(), &SubscriptionView::completed, [&] { ++completions; });
    view->selectPlan(QStringLiteral("gold"));
    auto *upgrade = view->findChild<QPushButton *>(QStringLiteral("upgradeButton"));
    fake.delayNext("/api/v1/account/checkout", 200ms);
    QTest::mouseClick(upgrade, Qt::LeftButton);
    EXPECT_FALSE(upgrade->isEnabled());
    QTest::mouseClick(upgrade, Qt::LeftButton);
    ASSERT_TRUE(runUntil([&] { return completions > 0; }, 5s));
    ASSERT_EQ(fake.checkouts().size(), 1u);
    EXPECT_EQ(fake.checkouts()[0].interval, QStringLiteral("monthly"));
    ASSERT_EQ(pages.urls.size(), 1u) << "http to this machine is a secure enough page";
    EXPECT_EQ(pages.urls[0].toString(), fake.checkouts()[0].url);
    QTest::mouseClick(view->findChild<QPushButton *>(QStringLiteral("continueButton")), Qt::LeftButton);
    EXPECT_EQ(completions, 1) << "completion runs once";

    for (const char *address : {"http://pay.example/cs_1", "javascript:alert(1)", "https://user:pw@pay.example/cs"}) {
        fake.setCheckoutURL(QString::fromLatin1(address));
        view = chooser(token, QStringLiteral("silver"));
        view->selectPlan(QStringLiteral("platinum"));
        QTest::mouseClick(view->findChild<QPushButton *>(QStringLiteral("upgradeButton")), Qt::LeftButton);
        ASSERT_TRUE(runUntil([&] { return !view->isCheckoutRunning(); }, 5s));
        EXPECT_EQ(view->errorMessage(), SubscriptionView::checkoutFailedMessage) << address;
    }
    EXPECT_EQ(pages.urls.size(), 1u);
}

TEST_F(AccountWindowTest, AutoCloseClosesOnlyTheOpeningThatAskedAndEachOpeningStartsFresh)
{
    openWindow();
    fill(QStringLiteral("Cy"), QStringLiteral("cy@example.com"), QStringLiteral("password1"), QStringLiteral("password1"));
    QTest::mouseClick(button("createAccountButton"), Qt::LeftButton);
    ASSERT_TRUE(waitForStep(Step::selectPlan));
    ASSERT_TRUE(runUntil([&] { return !qobject_cast<SubscriptionView *>(view().stepView())->isLoading(); }, 5s));
    EXPECT_EQ(button("continueButton")->text(), QStringLiteral("Continue with Silver"));
    QTest::mouseClick(button("continueButton"), Qt::LeftButton);
    ASSERT_EQ(view().step(), Step::complete);
    EXPECT_EQ(text("welcomeGreeting"), QStringLiteral("Welcome, Cy!"));
    clock.advance(AccountWindow::autoCloseDelay - 1ms);
    quillmere::test::runFor(20ms);
    EXPECT_TRUE(window->isVisible());
    clock.advance(1ms);
    ASSERT_TRUE(runUntil([&] { return !window->isVisible(); }, 2s));

    // Again, but closed by hand and opened anew before the delay: the new opening stays.
    openWindow();
    ASSERT_TRUE(waitForStep(Step::selectPlan)) << "connected: the account's plans";
    ASSERT_TRUE(runUntil([&] { return !qobject_cast<SubscriptionView *>(view().stepView())->isLoading(); }, 5s));
    QTest::mouseClick(button("continueButton"), Qt::LeftButton);
    window->close();
    auth->setConnectionState(ConnectionState::disconnected());
    openWindow();
    EXPECT_EQ(view().step(), Step::registration);
    EXPECT_TRUE(part<QLineEdit>("nameField")->text().isEmpty()) << "nothing typed survives a close";
    clock.advance(AccountWindow::autoCloseDelay * 2);
    quillmere::test::runFor(50ms);
    EXPECT_TRUE(window->isVisible());
}

TEST_F(AccountWindowTest, ClosingTheWindowMidRequestLosesNoSignIn)
{
    openWindow();
    fill(QStringLiteral("Cy"), QStringLiteral("cy@example.com"), QStringLiteral("password1"), QStringLiteral("password1"));
    fake.delayNext("/api/v1/auth/register", 300ms);
    QTest::mouseClick(button("createAccountButton"), Qt::LeftButton);
    quillmere::test::runFor(50ms);
    window->close();
    EXPECT_EQ(window->content(), nullptr);
    ASSERT_TRUE(runUntil([&] { return auth->connectionState().is(ConnectionState::Kind::connected); }, 5s));
    EXPECT_TRUE(storedToken());

    // A plan load and then a checkout in flight: no page opens behind a closed window.
    fake.delayNext("/api/v1/account/subscription-portal", 200ms);
    openWindow();
    ASSERT_TRUE(waitForStep(Step::selectPlan));
    window->close();
    quillmere::test::runFor(300ms);
    openWindow();
    ASSERT_TRUE(waitForStep(Step::selectPlan));
    auto *chooser = qobject_cast<SubscriptionView *>(view().stepView());
    ASSERT_TRUE(runUntil([&] { return !chooser->isLoading(); }, 5s));
    chooser->selectPlan(QStringLiteral("gold"));
    fake.delayNext("/api/v1/account/checkout", 200ms);
    QTest::mouseClick(button("upgradeButton"), Qt::LeftButton);
    window->close();
    quillmere::test::runFor(400ms);
    EXPECT_TRUE(pages.urls.empty());
}

#include "AccountWindowTest.moc"
