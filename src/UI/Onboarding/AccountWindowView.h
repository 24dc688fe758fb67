#pragma once

#include "Accounts/AccountFlowController.h"
#include "Accounts/UserProfile.h"
#include "Platform/Async/TaskHandle.h"
#include "Platform/Browser/ExternalURLOpener.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <optional>
#include <stop_token>

class QLabel;
class QPushButton;
class QStackedWidget;

namespace quillmere {

class RegistrationFormView;
class SubscriptionView;

// "Check Your Email": the address in bold, and "Continue to Plan Selection".
class EmailVerificationPromptView : public QWidget
{
public:
    EmailVerificationPromptView(const QString &email, std::function<void()> onContinue, QWidget *parent = nullptr);
};

// "Welcome, <name>!" and "Done".
class RegistrationCompleteView : public QWidget
{
public:
    RegistrationCompleteView(const QString &userName, std::function<void()> onDone, QWidget *parent = nullptr);
};

// The content of the account window for one opening: one step at a time (registration or
// sign-in, the e-mail prompt, the plan chooser, the completion screen). Made afresh for every
// opening, so nothing typed, no token and no step survives a close. Each step view is made when
// its step begins and dropped when it ends.
//
// Shown the first time, it asks the controller for the connected account once; the answer
// moves it to the plan chooser only while it still shows the registration form and no request
// runs. A sign-in of its opening moves it on once the controller has completed it. When the
// account leaves connected, the token it holds is dropped and a plan chooser goes back to the
// registration form.
class AccountWindowView : public QWidget
{
    Q_OBJECT

public:
    enum class Step { registration, verifyEmail, selectPlan, complete };

    static inline const QString fallbackUserName = QStringLiteral("there");

    AccountWindowView(AccountFlowController &controller, quint64 opening, ExternalURLOpener opener,
                      QWidget *parent = nullptr);
    ~AccountWindowView() override;

    quint64 opening() const { return m_opening; }
    Step step() const { return m_step; }
    const std::optional<UserProfile> &userProfile() const { return m_profile; }
    const std::optional<QString> &authToken() const { return m_token; }
    // The view of the current step.
    QWidget *stepView() const { return m_stepView; }

    void continueToPlanSelection();
    // The plan chooser is done: the completion screen, and the window closes a moment later.
    void finishPlanSelection();

Q_SIGNALS:
    // "Done" on the completion screen.
    void dismissRequested();
    // The plan step is over: the window closes itself shortly.
    void autoCloseRequested();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void setStep(Step step);
    void handleFinished(quint64 opening, const AccountFlowController::Outcome &outcome);
    void connectionChanged();
    QCoro::Task<> loadSignedInAccount(std::stop_token stop);

    AccountFlowController &m_controller;
    const quint64 m_opening;
    const ExternalURLOpener m_opener;
    Step m_step = Step::registration;
    std::optional<UserProfile> m_profile;
    std::optional<QString> m_token;
    bool m_loadStarted = false;

    QStackedWidget *m_stack;
    QPointer<QWidget> m_stepView;
    QLabel *m_notice;
    TaskHandle m_loadTask;
};

} // namespace quillmere
