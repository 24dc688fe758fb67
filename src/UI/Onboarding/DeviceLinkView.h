#pragma once

#include "Accounts/ConnectionState.h"

#include <QUrl>
#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QPushButton;
class QStackedWidget;

namespace quillmere {

class AuthState;

// Takes the user through linking this computer with a device code. It only draws the
// connection state its host hands in and reports each press as a signal; the sign-in state
// moves on elsewhere. Hosts: the welcome screen and the tray panel, with the same bindings.
class DeviceLinkView : public QWidget
{
    Q_OBJECT

public:
    // The address the open-page button would open for the service's text, or none when it
    // must not be opened. The button's label is made from the same address.
    using AddressCheck = std::function<std::optional<QUrl>(const QString &)>;

    explicit DeviceLinkView(AddressCheck checkAddress, QWidget *parent = nullptr);

    const ConnectionState &connectionState() const { return m_state; }
    // Shows the layout of the state's case, with the state's code or message.
    void setConnectionState(const ConnectionState &state);
    // Whether the linked layout offers "Disconnect"; neither current host does.
    void setDisconnectOffered(bool offered);
    // A line on the prompt for a sign-in that is stored but cannot be checked yet, so a linked
    // user is not led to link again; empty hides it.
    void setWaitingNotice(const QString &text);
    QString waitingNotice() const;
    // The line for a start-up check that waits for the network or for the keyring; empty when
    // it waits for neither. `cause`: why the service could not be reached, when the user can act
    // on it (AuthState::waitingCause, a refused certificate), named as the tray names it.
    static QString waitingNoticeFor(bool waitingForNetwork, bool waitingForVault, const QString &cause = QString());
    // The line for a sign-in that lapsed (AuthState::hasLapsedSignIn). It says that the folders
    // and records are kept only where `recordsKept` (AuthState::lapsedSignInKeepsRecords): a
    // sign-in may otherwise wipe them.
    static QString lapsedNoticeFor(bool recordsKept);
    // What the prompt says for `auth`: its wait, else its lapsed sign-in, else nothing.
    static QString noticeFor(const AuthState &auth);

    // The open-page button's title for an accepted address: "Open <host><path>".
    static QString openPageTitle(const QUrl &address);

Q_SIGNALS:
    void startRequested();
    void disconnectRequested();
    void dismissErrorRequested();
    // The verification address exactly as the service sent it.
    void openVerificationRequested(const QString &verificationUrl);
    // The user code exactly as the service sent it.
    void copyCodeRequested(const QString &userCode);
    void createAccountRequested();

private:
    QWidget *makePromptPage();
    QWidget *makeRequestingPage();
    QWidget *makeCodePage();
    QWidget *makeLinkedPage();
    QWidget *makeErrorPage();

    AddressCheck m_checkAddress;
    ConnectionState m_state;
    bool m_disconnectOffered = false;
    QStackedWidget *m_pages = nullptr;
    QLabel *m_userCode = nullptr;
    QPushButton *m_openPage = nullptr;
    QPushButton *m_disconnect = nullptr;
    QLabel *m_errorMessage = nullptr;
    QLabel *m_waitingNotice = nullptr;
};

} // namespace quillmere
