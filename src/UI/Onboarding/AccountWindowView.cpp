#include "UI/Onboarding/AccountWindowView.h"

#include "Accounts/AuthState.h"
#include "UI/Onboarding/AccountWindowStyle.h"
#include "UI/Onboarding/RegistrationFormView.h"
#include "UI/Onboarding/SubscriptionView.h"

#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace quillmere {

using namespace accountstyle;

namespace {

QVBoxLayout *stepStack(QWidget *view)
{
    auto *stack = new QVBoxLayout(view);
    stack->setSpacing(20);
    stack->setContentsMargins(32, 32, 32, 32);
    stack->addStretch(1);
    return stack;
}

} // namespace

EmailVerificationPromptView::EmailVerificationPromptView(const QString &email, std::function<void()> onContinue,
                                                         QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("emailVerificationPrompt"));
    QVBoxLayout *stack = stepStack(this);
    stack->addWidget(symbol(QStringLiteral("\u2709"), 40, accent, this), 0, Qt::AlignHCenter);
    stack->addWidget(label(QStringLiteral("Check Your Email"), TextStyle::title2, this), 0, Qt::AlignHCenter);
    // The one rich text of the window: the address is escaped before it is set in bold.
    auto *text = new QLabel(this);
    text->setObjectName(QStringLiteral("verificationText"));
    text->setTextFormat(Qt::RichText);
    text->setText(QStringLiteral("We sent a verification link to <b>") + email.toHtmlEscaped()
                  + QStringLiteral("</b>. You can verify now or later — Quillmere works either way."));
    text->setAlignment(Qt::AlignCenter);
    wrapAt(text, 320);
    QPalette palette = text->palette();
    palette.setColor(QPalette::WindowText, secondaryText);
    text->setPalette(palette);
    stack->addWidget(text, 0, Qt::AlignHCenter);
    auto *button = new QPushButton(QStringLiteral("Continue to Plan Selection"), this);
    button->setObjectName(QStringLiteral("continueToPlansButton"));
    makeProminent(button);
    stack->addWidget(button, 0, Qt::AlignHCenter);
    stack->addStretch(1);
    QObject::connect(button, &QPushButton::clicked, this, std::move(onContinue));
}

RegistrationCompleteView::RegistrationCompleteView(const QString &userName, std::function<void()> onDone,
                                                   QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("registrationComplete"));
    QVBoxLayout *stack = stepStack(this);
    stack->addWidget(symbol(QStringLiteral("\u2714"), 46, green, this), 0, Qt::AlignHCenter);
    QLabel *greeting = label(QStringLiteral("Welcome, ") + userName + QStringLiteral("!"), TextStyle::title2, this);
    greeting->setObjectName(QStringLiteral("welcomeGreeting"));
    stack->addWidget(greeting, 0, Qt::AlignHCenter);
    QLabel *ready = label(QStringLiteral("Your account is set up and Quillmere is ready to sync."), TextStyle::body,
                          this, secondaryText);
    ready->setAlignment(Qt::AlignCenter);
    wrapAt(ready, 320);
    stack->addWidget(ready, 0, Qt::AlignHCenter);
    auto *button = new QPushButton(QStringLiteral("Done"), this);
    button->setObjectName(QStringLiteral("doneButton"));
    makeProminent(button);
    button->setMinimumWidth(120);
    stack->addWidget(button, 0, Qt::AlignHCenter);
    stack->addStretch(1);
    QObject::connect(button, &QPushButton::clicked, this, std::move(onDone));
}

AccountWindowView::AccountWindowView(AccountFlowController &controller, quint64 opening, ExternalURLOpener opener,
                                     QWidget *parent)
    : QWidget(parent), m_controller(controller), m_opening(opening), m_opener(std::move(opener))
{
    setObjectName(QStringLiteral("accountWindowView"));
    setMinimumSize(480, 560);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    m_notice = label(QString(), TextStyle::caption, this, secondaryText);
    m_notice->setObjectName(QStringLiteral("signInNotice"));
    m_notice->setWordWrap(true);
    m_notice->setContentsMargins(16, 8, 16, 8);
    m_notice->setStyleSheet(QStringLiteral("background: rgba(255, 149, 0, 26);"));
    m_notice->hide();
    column->addWidget(m_notice);
    m_stack = new QStackedWidget(this);
    column->addWidget(m_stack, 1);

    connect(&m_controller, &AccountFlowController::finished, this, &AccountWindowView::handleFinished);
    connect(&m_controller.authState(), &AuthState::connectionStateChanged, this,
            &AccountWindowView::connectionChanged);
    setStep(Step::registration);
}

AccountWindowView::~AccountWindowView() = default;

void AccountWindowView::setStep(Step step)
{
    m_step = step;
    if (m_stepView) {
        m_stack->removeWidget(m_stepView);
        m_stepView->deleteLater();
    }
    QWidget *made = nullptr;
    switch (step) {
    case Step::registration:
        made = new RegistrationFormView(m_controller, m_opening, m_stack);
        break;
    case Step::verifyEmail:
        made = new EmailVerificationPromptView(m_profile ? m_profile->email : QString(),
                                               [this] { continueToPlanSelection(); }, m_stack);
        break;
    case Step::selectPlan: {
        auto *chooser = new SubscriptionView(m_token.value_or(QString()),
                                             m_profile ? m_profile->plan : SubscriptionView::freePlanName,
                                             m_controller.baseURL(), m_opener, m_stack);
        connect(chooser, &SubscriptionView::completed, this, &AccountWindowView::finishPlanSelection);
        made = chooser;
        break;
    }
    case Step::complete:
        made = new RegistrationCompleteView(m_profile ? m_profile->name : fallbackUserName,
                                            [this] { Q_EMIT dismissRequested(); }, m_stack);
        break;
    }
    m_stepView = made;
    m_stack->addWidget(made);
    m_stack->setCurrentWidget(made);
}

void AccountWindowView::continueToPlanSelection()
{
    setStep(Step::selectPlan);
}

void AccountWindowView::finishPlanSelection()
{
    setStep(Step::complete);
    Q_EMIT autoCloseRequested();
}

void AccountWindowView::handleFinished(quint64 opening, const AccountFlowController::Outcome &outcome)
{
    if (opening != m_opening || outcome.kind != AccountFlowController::Outcome::Kind::signedIn)
        return;
    m_profile = outcome.response.user;
    m_token = outcome.response.token;
    if (!outcome.tokenSaved) {
        m_notice->setText(AccountFlowController::notSavedMessage);
        m_notice->show();
    }
    setStep(outcome.response.isNewUser ? Step::selectPlan : Step::complete);
}

void AccountWindowView::connectionChanged()
{
    if (m_controller.authState().connectionState().is(ConnectionState::Kind::connected) || !m_token)
        return;
    // The token is no longer the account's: nothing may be bought with it.
    m_token.reset();
    if (m_step == Step::selectPlan) {
        m_profile.reset();
        setStep(Step::registration);
    }
}

void AccountWindowView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Once per opening: un-minimising the window asks nothing again.
    if (m_loadStarted)
        return;
    m_loadStarted = true;
    m_loadTask = TaskHandle::start([this](std::stop_token stop) { return loadSignedInAccount(stop); });
}

QCoro::Task<> AccountWindowView::loadSignedInAccount(std::stop_token stop)
{
    QPointer<AccountWindowView> self(this);
    auto loading = m_controller.loadSignedInAccount(stop);
    const std::optional<AccountFlowController::SignedInAccount> account = co_await std::move(loading);
    if (stop.stop_requested() || !self || !account)
        co_return;
    // A request of this window started meanwhile decides the step itself.
    if (m_step != Step::registration || m_controller.isBusy())
        co_return;
    m_token = account->token;
    m_profile = account->profile;
    setStep(Step::selectPlan);
}

} // namespace quillmere
