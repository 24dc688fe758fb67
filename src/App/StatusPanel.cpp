#include "App/StatusPanel.h"


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

StatusPanel::StatusPanel(QWidget *parent) : QWidget(parent)
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

    connect(m_syncNow, &QPushButton::clicked, this, &StatusPanel::syncNowRequested);
    connect(m_pause, &QPushButton::clicked, this, &StatusPanel::pauseToggleRequested);
    setStatus(ShellStatus());
}

void StatusPanel::setStatus(const ShellStatus &status)
{
    const QString banner = statusBanner(status);
    m_banner->setText(banner);
    m_banner->setVisible(!banner.isEmpty());
    m_line->setText(statusLine(status));
    m_syncNow->setEnabled(canSyncNow(status));
    m_pause->setText(pauseActionTitle(status));
    m_pause->setEnabled(canTogglePause(status));
}

} // namespace quillmere
