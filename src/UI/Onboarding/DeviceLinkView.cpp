#include "UI/Onboarding/DeviceLinkView.h"

#include "Accounts/AuthState.h"

#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

namespace quillmere {

namespace {

enum class Symbol { link, checkmark, warning };

// The three state symbols, drawn here so they look the same on every desktop theme.
QPixmap symbolPixmap(Symbol symbol, int size, const QColor &colour)
{
    constexpr qreal ratio = 2;
    QPixmap pixmap(QSize(size, size) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    QPen pen(colour, s / 14, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    switch (symbol) {
    case Symbol::link: {
        painter.setPen(pen);
        painter.drawEllipse(QRectF(s * 0.06, s * 0.06, s * 0.88, s * 0.88));
        painter.translate(s / 2, s / 2);
        painter.rotate(-45);
        painter.drawRoundedRect(QRectF(-s * 0.3, -s * 0.1, s * 0.34, s * 0.2), s * 0.1, s * 0.1);
        painter.drawRoundedRect(QRectF(-s * 0.04, -s * 0.1, s * 0.34, s * 0.2), s * 0.1, s * 0.1);
        break;
    }
    case Symbol::checkmark: {
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.drawEllipse(QRectF(0, 0, s, s));
        QPainterPath tick(QPointF(s * 0.28, s * 0.52));
        tick.lineTo(s * 0.44, s * 0.68);
        tick.lineTo(s * 0.72, s * 0.34);
        painter.strokePath(tick, QPen(Qt::white, s / 9, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        break;
    }
    case Symbol::warning: {
        painter.setPen(pen);
        QPainterPath triangle(QPointF(s / 2, s * 0.08));
        triangle.lineTo(s * 0.94, s * 0.88);
        triangle.lineTo(s * 0.06, s * 0.88);
        triangle.closeSubpath();
        painter.drawPath(triangle);
        painter.drawLine(QPointF(s / 2, s * 0.36), QPointF(s / 2, s * 0.6));
        painter.drawPoint(QPointF(s / 2, s * 0.74));
        break;
    }
    }
    return pixmap;
}

QLabel *symbolLabel(Symbol symbol, int size, const QColor &colour, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setPixmap(symbolPixmap(symbol, size, colour));
    label->setAlignment(Qt::AlignCenter);
    return label;
}

QColor secondaryColour(const QWidget *widget)
{
    QColor colour = widget->palette().color(QPalette::WindowText);
    colour.setAlphaF(0.6f);
    return colour;
}

// Every label is plain text: codes and messages come from the service and are never markup.
QLabel *textLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

QLabel *headline(const QString &text, QWidget *parent)
{
    QLabel *label = textLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

QLabel *caption(const QString &text, QWidget *parent)
{
    QLabel *label = textLabel(text, parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, secondaryColour(label));
    label->setPalette(palette);
    return label;
}

// A layout asks a wrapping label for its height at some width of its own; a label of fixed
// width gets the height it needs for that width instead.
void wrapAt(QLabel *label, int width)
{
    label->setWordWrap(true);
    label->setFixedWidth(width);
    label->setFixedHeight(label->heightForWidth(width));
}

// An indeterminate progress indicator: an arc going round, animated only while shown.
class BusyIndicator : public QWidget
{
public:
    BusyIndicator(int size, QWidget *parent) : QWidget(parent)
    {
        setFixedSize(size, size);
        m_timer.setInterval(80);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            m_angle = (m_angle + 30) % 360;
            update();
        });
    }

protected:
    void showEvent(QShowEvent *) override { m_timer.start(); }
    void hideEvent(QHideEvent *) override { m_timer.stop(); }
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal pen = std::max(1.5, width() / 10.0);
        const QRectF ring = QRectF(rect()).adjusted(pen, pen, -pen, -pen);
        QColor track = palette().color(QPalette::WindowText);
        track.setAlphaF(0.15f);
        painter.setPen(QPen(track, pen));
        painter.drawEllipse(ring);
        QColor arc = palette().color(QPalette::WindowText);
        arc.setAlphaF(0.6f);
        painter.setPen(QPen(arc, pen, Qt::SolidLine, Qt::RoundCap));
        painter.drawArc(ring, -m_angle * 16, 100 * 16);
    }

private:
    QTimer m_timer;
    int m_angle = 0;
};

QVBoxLayout *column(QWidget *page, int spacing)
{
    auto *layout = new QVBoxLayout(page);
    layout->setSpacing(spacing);
    layout->setAlignment(Qt::AlignCenter);
    return layout;
}

QPushButton *button(const QString &text, const char *objectName, QWidget *parent)
{
    auto *made = new QPushButton(text, parent);
    made->setObjectName(QLatin1String(objectName));
    return made;
}

} // namespace

DeviceLinkView::DeviceLinkView(AddressCheck checkAddress, QWidget *parent)
    : QWidget(parent), m_checkAddress(std::move(checkAddress))
{
    setObjectName(QStringLiteral("deviceLinkView"));
    m_pages = new QStackedWidget(this);
    m_pages->setObjectName(QStringLiteral("deviceLinkPages"));
    m_pages->addWidget(makePromptPage());
    m_pages->addWidget(makeRequestingPage());
    m_pages->addWidget(makeCodePage());
    m_pages->addWidget(makeLinkedPage());
    m_pages->addWidget(makeErrorPage());
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_pages);
    setConnectionState(ConnectionState::disconnected());
}

QWidget *DeviceLinkView::makePromptPage()
{
    auto *page = new QWidget(this);
    page->setObjectName(QStringLiteral("promptPage"));
    QVBoxLayout *layout = column(page, 12);
    layout->addWidget(symbolLabel(Symbol::link, 28, secondaryColour(page), page));
    layout->addWidget(headline(tr("Link Your Harborly Account"), page));
    QLabel *explanation = caption(tr("Connect Quillmere to sync files with your Harborly library."), page);
    wrapAt(explanation, 300);
    layout->addWidget(explanation, 0, Qt::AlignHCenter);
    m_waitingNotice = caption(QString(), page);
    m_waitingNotice->setObjectName(QStringLiteral("waitingNotice"));
    m_waitingNotice->hide();
    layout->addWidget(m_waitingNotice, 0, Qt::AlignHCenter);
    QPushButton *connect = button(tr("Connect Quillmere"), "connectButton", page);
    connect->setDefault(true);
    connect->setMinimumHeight(connect->sizeHint().height() * 5 / 4);
    layout->addWidget(connect, 0, Qt::AlignHCenter);
    auto *divider = new QFrame(page);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    auto *dividerRow = new QHBoxLayout;
    dividerRow->setContentsMargins(16, 4, 16, 4);
    dividerRow->addWidget(divider);
    layout->addLayout(dividerRow);
    layout->addWidget(caption(tr("New to Harborly?"), page));
    QPushButton *create = button(tr("Create Free Account"), "createAccountButton", page);
    layout->addWidget(create, 0, Qt::AlignHCenter);

    QObject::connect(connect, &QPushButton::clicked, this, &DeviceLinkView::startRequested);
    QObject::connect(create, &QPushButton::clicked, this, &DeviceLinkView::createAccountRequested);
    return page;
}

QWidget *DeviceLinkView::makeRequestingPage()
{
    // No control here: a second press cannot start a second flow.
    auto *page = new QWidget(this);
    page->setObjectName(QStringLiteral("requestingPage"));
    QVBoxLayout *layout = column(page, 12);
    layout->addWidget(new BusyIndicator(32, page), 0, Qt::AlignHCenter);
    layout->addWidget(headline(tr("Requesting device code…"), page));
    layout->addWidget(caption(tr("Connecting to Harborly"), page));
    return page;
}

QWidget *DeviceLinkView::makeCodePage()
{
    auto *page = new QWidget(this);
    page->setObjectName(QStringLiteral("codePage"));
    QVBoxLayout *layout = column(page, 16);
    layout->addWidget(headline(tr("Link Your Device"), page));
    layout->addWidget(caption(tr("Enter this code on Harborly to link Quillmere:"), page));

    m_userCode = textLabel(QString(), page);
    m_userCode->setObjectName(QStringLiteral("userCodeLabel"));
    m_userCode->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont codeFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    codeFont.setPointSizeF(font().pointSizeF() * 2);
    codeFont.setBold(true);
    m_userCode->setFont(codeFont);
    QColor fill = palette().color(QPalette::WindowText);
    fill.setAlphaF(0.08f);
    m_userCode->setStyleSheet(QStringLiteral("QLabel { background-color: %1; border-radius: 8px; padding: 10px 20px; }")
                                  .arg(fill.name(QColor::HexArgb)));
    layout->addWidget(m_userCode, 0, Qt::AlignHCenter);

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(12);
    m_openPage = button(QString(), "openPageButton", page);
    m_openPage->setIcon(QIcon::fromTheme(QStringLiteral("web-browser")));
    m_openPage->setDefault(true);
    m_openPage->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    QPushButton *copy = button(tr("Copy Code"), "copyCodeButton", page);
    copy->setIcon(QIcon::fromTheme(QStringLiteral("edit-copy")));
    buttons->addWidget(m_openPage, 1);
    buttons->addWidget(copy);
    layout->addLayout(buttons);

    auto *waiting = new QHBoxLayout;
    waiting->setSpacing(6);
    waiting->addStretch();
    waiting->addWidget(new BusyIndicator(14, page));
    waiting->addWidget(caption(tr("Waiting for approval…"), page));
    waiting->addStretch();
    layout->addLayout(waiting);

    // Each press hands over the state's own strings, not what the labels show.
    QObject::connect(m_openPage, &QPushButton::clicked, this,
                     [this] { Q_EMIT openVerificationRequested(m_state.verificationUrl()); });
    QObject::connect(copy, &QPushButton::clicked, this, [this] { Q_EMIT copyCodeRequested(m_state.userCode()); });
    return page;
}

QWidget *DeviceLinkView::makeLinkedPage()
{
    auto *page = new QWidget(this);
    page->setObjectName(QStringLiteral("linkedPage"));
    QVBoxLayout *layout = column(page, 8);
    auto *row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(symbolLabel(Symbol::checkmark, 18, QColor(52, 199, 89), page));
    row->addWidget(headline(tr("Connected"), page));
    row->addStretch();
    layout->addLayout(row);
    layout->addWidget(caption(tr("Your Harborly account is linked and syncing."), page));
    m_disconnect = button(tr("Disconnect"), "disconnectButton", page);
    QPalette palette = m_disconnect->palette();
    palette.setColor(QPalette::ButtonText, QColor(220, 40, 40));
    m_disconnect->setPalette(palette);
    m_disconnect->hide();
    layout->addWidget(m_disconnect, 0, Qt::AlignHCenter);
    QObject::connect(m_disconnect, &QPushButton::clicked, this, &DeviceLinkView::disconnectRequested);
    return page;
}

QWidget *DeviceLinkView::makeErrorPage()
{
    auto *page = new QWidget(this);
    page->setObjectName(QStringLiteral("errorPage"));
    QVBoxLayout *layout = column(page, 8);
    layout->addWidget(symbolLabel(Symbol::warning, 26, QColor(255, 149, 0), page));
    layout->addWidget(headline(tr("Connection Error"), page));
    m_errorMessage = caption(QString(), page);
    m_errorMessage->setObjectName(QStringLiteral("errorMessageLabel"));
    layout->addWidget(m_errorMessage, 0, Qt::AlignHCenter);
    QPushButton *retry = button(tr("Try Again"), "tryAgainButton", page);
    layout->addWidget(retry, 0, Qt::AlignHCenter);
    QObject::connect(retry, &QPushButton::clicked, this, &DeviceLinkView::dismissErrorRequested);
    return page;
}

QString DeviceLinkView::openPageTitle(const QUrl &address)
{
    // Only the host: a port and a path say nothing to the user.
    return tr("Open %1").arg(address.host());
}

void DeviceLinkView::setConnectionState(const ConnectionState &state)
{
    m_state = state;
    using Kind = ConnectionState::Kind;
    switch (state.kind()) {
    case Kind::disconnected:
        m_pages->setCurrentIndex(0);
        break;
    case Kind::requestingCode:
        m_pages->setCurrentIndex(1);
        break;
    case Kind::polling: {
        m_userCode->setText(state.userCode());
        const std::optional<QUrl> address = m_checkAddress ? m_checkAddress(state.verificationUrl()) : std::nullopt;
        // An address that may not be opened gets no button to open it.
        m_openPage->setText(address ? openPageTitle(*address) : tr("Open Link"));
        m_openPage->setEnabled(address.has_value());
        m_pages->setCurrentIndex(2);
        break;
    }
    case Kind::connected:
        m_disconnect->setVisible(m_disconnectOffered);
        m_pages->setCurrentIndex(3);
        break;
    case Kind::error:
        m_errorMessage->setText(state.message());
        wrapAt(m_errorMessage, 360);
        m_pages->setCurrentIndex(4);
        break;
    }
    // The view takes the size of the layout it shows, not of the largest one.
    for (int i = 0; i < m_pages->count(); ++i) {
        const QSizePolicy::Policy policy = i == m_pages->currentIndex() ? QSizePolicy::Preferred : QSizePolicy::Ignored;
        m_pages->widget(i)->setSizePolicy(policy, policy);
    }
    m_pages->updateGeometry();
}

void DeviceLinkView::setWaitingNotice(const QString &text)
{
    m_waitingNotice->setText(text);
    if (!text.isEmpty())
        wrapAt(m_waitingNotice, 300);
    m_waitingNotice->setVisible(!text.isEmpty());
}

QString DeviceLinkView::waitingNotice() const
{
    return m_waitingNotice->text();
}

QString DeviceLinkView::waitingNoticeFor(bool waitingForNetwork, bool waitingForVault, const QString &cause)
{
    if (waitingForVault)
        return tr("This computer is already linked. Unlock your keyring and Quillmere continues on its own.");
    if (waitingForNetwork && !cause.isEmpty())
        return tr("This computer is already linked. Quillmere continues on its own once Harborly can be reached. %1")
            .arg(cause);
    if (waitingForNetwork)
        return tr("This computer is already linked. Quillmere continues on its own once Harborly can be reached.");
    return QString();
}

QString DeviceLinkView::lapsedNoticeFor(bool recordsKept)
{
    if (!recordsKept)
        return tr("Your previous sign-in has lapsed: sign in again.");
    return tr("Your previous sign-in has lapsed. Your folders and sync records are kept on this computer: sign in "
              "again with the same account and syncing carries on where it left off.");
}

QString DeviceLinkView::noticeFor(const AuthState &auth)
{
    const QString waiting = waitingNoticeFor(auth.isWaitingForNetwork(), auth.isWaitingForVault(), auth.waitingCause());
    if (!waiting.isEmpty() || !auth.hasLapsedSignIn())
        return waiting;
    return lapsedNoticeFor(auth.lapsedSignInKeepsRecords());
}

void DeviceLinkView::setDisconnectOffered(bool offered)
{
    m_disconnectOffered = offered;
    m_disconnect->setVisible(offered);
}

} // namespace quillmere
