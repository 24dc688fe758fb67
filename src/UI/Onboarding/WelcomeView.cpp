#include "UI/Onboarding/WelcomeView.h"

#include "Accounts/AuthState.h"
#include "UI/Onboarding/AquariumCanvas.h"
#include "UI/Onboarding/DeviceLinkView.h"
#include "UI/Onboarding/FrameTimer.h"
#include "UI/Onboarding/ShellActions.h"
#include "UI/Onboarding/WelcomeBackground.h"
#include "UI/Onboarding/WelcomePalette.h"

#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QVBoxLayout>

namespace quillmere {

namespace {

constexpr int iconSize = 128;

// The application's icon as the desktop knows it, or the emblem drawn here while none is set.
QPixmap applicationIcon()
{
    constexpr qreal ratio = 2;
    const QIcon icon = QGuiApplication::windowIcon();
    if (!icon.isNull())
        return icon.pixmap(QSize(iconSize, iconSize), ratio);
    QPixmap pixmap(QSize(iconSize, iconSize) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF tile(8, 8, iconSize - 16, iconSize - 16);
    QLinearGradient fill(tile.topLeft(), tile.bottomRight());
    fill.setColorAt(0, welcome::indigo());
    fill.setColorAt(1, welcome::mixPerceptual(welcome::indigo(), welcome::orange(), 0.45));
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawRoundedRect(tile, 24, 24);
    // A waveform of seven bars.
    painter.setBrush(QColor(255, 255, 255, 235));
    const qreal heights[] = {0.22, 0.42, 0.64, 0.8, 0.58, 0.36, 0.2};
    const qreal barWidth = 7;
    const qreal gap = 5;
    const qreal total = 7 * barWidth + 6 * gap;
    for (int i = 0; i < 7; ++i) {
        const qreal h = heights[i] * tile.height() * 0.8;
        const QRectF bar(tile.center().x() - total / 2 + i * (barWidth + gap), tile.center().y() - h / 2, barWidth, h);
        painter.drawRoundedRect(bar, barWidth / 2, barWidth / 2);
    }
    return pixmap;
}

QLabel *plainLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

} // namespace

WelcomeView::WelcomeView(AuthState &authState, AquariumState &aquarium, Clock &clock, const ShellActions &actions,
                         OpenAccountWindow openAccountWindow, QWidget *parent)
    : QWidget(parent), m_authState(&authState), m_actions(actions), m_openAccountWindow(std::move(openAccountWindow))
{
    setObjectName(QStringLiteral("welcomeView"));
    setMinimumSize(cardSize);

    // Back to front: background, fish, card.
    m_background = new WelcomeBackground(clock, this);
    m_background->setObjectName(QStringLiteral("welcomeBackground"));
    m_canvas = new AquariumCanvas(aquarium, this);
    m_canvas->setObjectName(QStringLiteral("aquariumCanvas"));

    // The card has no fill: background and fish show through it.
    m_card = new QWidget(this);
    m_card->setObjectName(QStringLiteral("welcomeCard"));
    m_card->setFixedSize(cardSize);
    auto *column = new QVBoxLayout(m_card);
    column->setSpacing(2);
    column->addStretch(1);
    QLabel *icon = plainLabel(QString(), m_card);
    icon->setObjectName(QStringLiteral("applicationIcon"));
    icon->setPixmap(applicationIcon());
    icon->setFixedSize(iconSize, iconSize);
    column->addWidget(icon, 0, Qt::AlignHCenter);
    QLabel *title = plainLabel(tr("Welcome to Quillmere"), m_card);
    title->setObjectName(QStringLiteral("welcomeTitle"));
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.6);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    column->addWidget(title, 0, Qt::AlignHCenter);
    QLabel *greeting = plainLabel(tr("Connect to your Harborly account to start syncing your audio projects."), m_card);
    // A fixed width, so that the layout gives the wrapped text all the lines it needs.
    greeting->setWordWrap(true);
    greeting->setFixedWidth(280);
    greeting->setFixedHeight(greeting->heightForWidth(280));
    QPalette secondary = greeting->palette();
    QColor text = secondary.color(QPalette::WindowText);
    text.setAlphaF(0.6f);
    secondary.setColor(QPalette::WindowText, text);
    greeting->setPalette(secondary);
    column->addWidget(greeting, 0, Qt::AlignHCenter);

    m_deviceLink = new DeviceLinkView(
        [&actions](const QString &address) { return actions.acceptedVerificationURL(address); }, m_card);
    column->addWidget(m_deviceLink, 0, Qt::AlignHCenter);
    column->addStretch(1);

    connect(m_deviceLink, &DeviceLinkView::startRequested, this, &WelcomeView::startDeviceLink);
    connect(m_deviceLink, &DeviceLinkView::dismissErrorRequested, this, &WelcomeView::dismissError);
    connect(m_deviceLink, &DeviceLinkView::createAccountRequested, this, &WelcomeView::openAccountWindow);
    connect(m_deviceLink, &DeviceLinkView::openVerificationRequested, this,
            [this](const QString &address) { m_actions.openVerificationURL(address); });
    connect(m_deviceLink, &DeviceLinkView::copyCodeRequested, this,
            [](const QString &code) { ShellActions::copyCodeToPasteboard(code); });
    connect(&authState, &AuthState::connectionStateChanged, this, &WelcomeView::showConnectionState);
    connect(&authState, &AuthState::waitingChanged, this, &WelcomeView::showConnectionState);
    connect(&authState, &AuthState::lapsedSignInChanged, this, &WelcomeView::showConnectionState);
    showConnectionState();

    m_frameTimer = new FrameTimer(this);
    connect(m_frameTimer, &FrameTimer::frame, this, &WelcomeView::advanceFrame);
}

void WelcomeView::advanceFrame()
{
    m_canvas->advance();
    m_background->update();
}

void WelcomeView::showConnectionState()
{
    if (!m_authState)
        return;
    m_deviceLink->setConnectionState(m_authState->connectionState());
    m_deviceLink->setWaitingNotice(DeviceLinkView::noticeFor(*m_authState));
}

void WelcomeView::startDeviceLink()
{
    // The sign-in state owns the request, so closing the window meanwhile loses nothing.
    if (m_authState)
        m_authState->beginDeviceLink();
}

void WelcomeView::dismissError()
{
    if (m_authState)
        m_authState->setConnectionState(ConnectionState::disconnected());
}

void WelcomeView::openAccountWindow()
{
    if (m_openAccountWindow)
        m_openAccountWindow();
}

void WelcomeView::resizeEvent(QResizeEvent *event)
{
    m_background->setGeometry(rect());
    m_canvas->setGeometry(rect());
    m_card->setGeometry(QRect(QPoint((width() - cardSize.width()) / 2, (height() - cardSize.height()) / 2), cardSize));
    QWidget::resizeEvent(event);
}

} // namespace quillmere
