#pragma once

#include "Accounts/AccountFlowController.h"
#include "Accounts/RegistrationAPIClient.h"

#include <QString>
#include <QWidget>

#include <optional>

class QFrame;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace quillmere {

// The account window's first step: an e-mail registration, or Sign in with Apple or Google.
// The requests run in the AccountFlowController, so this view only starts them and shows how
// they failed: one message line, and the service's messages under the name, e-mail and
// password fields. A success is the window's to handle. While any request of the controller
// runs, the three buttons are disabled. The typed fields are never cleared.
class RegistrationFormView : public QWidget
{
    Q_OBJECT

public:
    RegistrationFormView(AccountFlowController &controller, quint64 opening, QWidget *parent = nullptr);

    // All four fields hold at least one character; nothing else is checked here.
    bool isFormValid() const;
    bool isLoading() const;
    const std::optional<QString> &errorMessage() const { return m_errorMessage; }
    const RegistrationAPIClient::FieldErrors &fieldErrors() const { return m_fieldErrors; }

private:
    void createAccount();
    void signIn(bool apple);
    void showFailure(quint64 opening, const AccountFlowController::Outcome &outcome);
    void refresh();

    AccountFlowController &m_controller;
    quint64 m_opening;
    std::optional<QString> m_errorMessage;
    RegistrationAPIClient::FieldErrors m_fieldErrors;

    QLineEdit *m_name;
    QLineEdit *m_email;
    QLineEdit *m_password;
    QLineEdit *m_confirmation;
    QLabel *m_nameError;
    QLabel *m_emailError;
    QLabel *m_passwordError;
    QFrame *m_errorLine;
    QLabel *m_errorText;
    QPushButton *m_apple;
    QPushButton *m_google;
    QPushButton *m_create;
    QProgressBar *m_busy;
};

} // namespace quillmere
