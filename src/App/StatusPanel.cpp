#include "App/StatusPanel.h"

#include "App/AppSession.h"
#include "App/ShellStatus.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillmere {

namespace {

QLabel *plainLabel(const char *name, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    // File names and the service's messages are shown as they are, never as markup.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

} // namespace

StatusPanel::StatusPanel(AppSession &session, QWidget *parent) : QWidget(parent), m_session(session)
{
    setObjectName(QStringLiteral("statusPanel"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);

    m_banner = plainLabel("statusBanner", this);
    m_banner->setAutoFillBackground(true);
    m_banner->setContentsMargins(8, 6, 8, 6);
    QPalette warning = m_banner->palette();
    warning.setColor(QPalette::Window, QColor(255, 236, 200));
    warning.setColor(QPalette::WindowText, QColor(110, 60, 0));
    m_banner->setPalette(warning);
    layout->addWidget(m_banner);

    m_line = plainLabel("statusLine", this);
    QFont font = m_line->font();
    font.setPointSizeF(font.pointSizeF() * 1.1);
    m_line->setFont(font);
    layout->addWidget(m_line);

    auto *buttons = new QHBoxLayout;
    m_syncNow = new QPushButton(shellText("Sync Now"), this);
    m_syncNow->setObjectName(QStringLiteral("syncNowButton"));
    m_pause = new QPushButton(this);
    m_pause->setObjectName(QStringLiteral("pauseButton"));
    buttons->addWidget(m_syncNow);
    buttons->addWidget(m_pause);
    buttons->addStretch(1);
    layout->addLayout(buttons);

    connect(m_syncNow, &QPushButton::clicked, &session, &AppSession::syncNow);
    connect(m_pause, &QPushButton::clicked, &session, &AppSession::togglePause);
    connect(&session, &AppSession::statusChanged, this, &StatusPanel::refresh);
    refresh();
}

void StatusPanel::refresh()
{
    const ShellStatus &status = m_session.status();
    const QString banner = statusBanner(status);
    m_banner->setText(banner);
    m_banner->setVisible(!banner.isEmpty());
    m_line->setText(statusLine(status));
    m_syncNow->setEnabled(canSyncNow(status));
    m_pause->setText(pauseActionTitle(status));
    m_pause->setEnabled(canTogglePause(status));
}

} // namespace quillmere
