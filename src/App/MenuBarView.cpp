#include "App/MenuBarView.h"

#include "Accounts/AuthState.h"
#include "App/StatusPanel.h"
#include "UI/Onboarding/DeviceLinkView.h"
#include "UI/Onboarding/ShellActions.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace quillmere {

MenuBarView::MenuBarView(AuthState &auth, const ShellActions &actions, std::function<void()> openAccountWindow,
                         QWidget *parent)
    : QWidget(parent), m_auth(auth), m_openAccountWindow(std::move(openAccountWindow))
{
    setObjectName(QStringLiteral("menuBarView"));
    setFixedWidth(panelWidth);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 12, 14, 12);
    layout->setSpacing(10);

    auto *title = new QLabel(QStringLiteral("Quillmere"), this);
    QFont font = title->font();
    font.setBold(true);
    title->setFont(font);
    layout->addWidget(title);

    // A lost network, while the sign-in view shows.
    m_offline = new QLabel(this);
    m_offline->setObjectName(QStringLiteral("offlineBanner"));
    m_offline->setTextFormat(Qt::PlainText);
    m_offline->setAutoFillBackground(true);
    m_offline->setContentsMargins(8, 6, 8, 6);
    QPalette warning = m_offline->palette();
    warning.setColor(QPalette::Window, QColor(255, 236, 200));
    warning.setColor(QPalette::WindowText, QColor(110, 60, 0));
    m_offline->setPalette(warning);
    layout->addWidget(m_offline);

    // Both pages sit in the one layout, one of them hidden: a stack would give a wrapped line
    // no height for its width, and the panel would cut its last line.
    m_deviceLink = new DeviceLinkView([&actions](const QString &text) { return actions.acceptedVerificationURL(text); },
                                      this);
    m_status = new StatusPanel(this);
    connect(m_status, &StatusPanel::syncNowRequested, this, &MenuBarView::syncNowRequested);
    connect(m_status, &StatusPanel::pauseToggleRequested, this, &MenuBarView::pauseToggleRequested);
    connect(m_status, &StatusPanel::dismissWarningRequested, this, &MenuBarView::dismissWarningRequested);
    connect(m_status, &StatusPanel::stopWarningsRequested, this, &MenuBarView::stopWarningsRequested);
    connect(m_status, &StatusPanel::acknowledgeConflictRequested, this, &MenuBarView::acknowledgeConflictRequested);
    layout->addWidget(m_deviceLink);
    layout->addWidget(m_status);

    connect(m_deviceLink, &DeviceLinkView::startRequested, &auth, &AuthState::beginDeviceLink);
    connect(m_deviceLink, &DeviceLinkView::dismissErrorRequested, &auth,
            [&auth] { auth.setConnectionState(ConnectionState::disconnected()); });
    connect(m_deviceLink, &DeviceLinkView::openVerificationRequested, this,
            [&actions](const QString &address) { actions.openVerificationURL(address); });
    connect(m_deviceLink, &DeviceLinkView::copyCodeRequested, this,
            [](const QString &code) { ShellActions::copyCodeToPasteboard(code); });
    connect(m_deviceLink, &DeviceLinkView::createAccountRequested, this, [this] {
        if (m_openAccountWindow)
            m_openAccountWindow();
    });

    auto *footer = new QHBoxLayout;
    auto *open = new QPushButton(shellText("Open Quillmere"), this);
    open->setObjectName(QStringLiteral("openButton"));
    m_account = new QPushButton(shellText("Account…"), this);
    m_account->setObjectName(QStringLiteral("accountButton"));
    auto *quit = new QPushButton(shellText("Quit"), this);
    quit->setObjectName(QStringLiteral("quitButton"));
    footer->addWidget(open);
    footer->addWidget(m_account);
    footer->addStretch(1);
    footer->addWidget(quit);
    layout->addLayout(footer);
    connect(open, &QPushButton::clicked, this, &MenuBarView::openRequested);
    connect(quit, &QPushButton::clicked, this, &MenuBarView::quitRequested);
    connect(m_account, &QPushButton::clicked, this, [this] {
        if (m_openAccountWindow)
            m_openAccountWindow();
    });

    connect(&auth, &AuthState::connectionStateChanged, this, &MenuBarView::refresh);
    connect(&auth, &AuthState::waitingChanged, this, &MenuBarView::refresh);
    connect(&auth, &AuthState::lapsedSignInChanged, this, &MenuBarView::refresh);
    refresh();
}

void MenuBarView::setStatus(const ShellStatus &status)
{
    m_statusShown = status;
    m_status->setStatus(status);
    refresh();
}

void MenuBarView::setDetails(const PanelDetails &details)
{
    m_status->setDetails(details);
    fitHeight();
}

void MenuBarView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Polished for the screen, the text may measure otherwise than before.
    fitHeight();
}

void MenuBarView::fitHeight()
{
    QLayout *box = layout();
    box->activate();
    const int height = box->hasHeightForWidth() ? box->totalHeightForWidth(panelWidth) : sizeHint().height();
    resize(panelWidth, std::max(height, box->totalMinimumSize().height()));
}

bool MenuBarView::showsSignIn() const
{
    return !m_deviceLink->isHidden();
}

void MenuBarView::refresh()
{
    const ShellStatus &status = m_statusShown;
    const AuthState &auth = m_auth;
    m_offline->setText(shellText("No internet connection"));
    // Once linked, the status panel's own banner says it (beside held downloads).
    m_offline->setVisible(!status.networkAvailable && !status.connected);
    m_deviceLink->setConnectionState(auth.connectionState());
    m_deviceLink->setWaitingNotice(DeviceLinkView::noticeFor(auth));
    m_deviceLink->setVisible(!status.connected);
    m_status->setVisible(status.connected);
    fitHeight();
}

} // namespace quillmere
