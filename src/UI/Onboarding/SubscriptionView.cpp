#include "UI/Onboarding/SubscriptionView.h"

#include "Accounts/RegistrationAPIClient.h"
#include "UI/Onboarding/AccountWindowStyle.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QShowEvent>
#include <QVBoxLayout>

namespace quillmere {

using namespace accountstyle;

namespace {

const SubscriptionPlan freePlan{SubscriptionView::freePlanName, QStringLiteral("Silver"), QStringLiteral("Basic"),
                                QStringLiteral("Free"), QStringLiteral("Free"), false};

QLabel *badge(const QString &text, const QColor &colour, const char *name, QWidget *parent)
{
    QLabel *made = label(text, TextStyle::caption2, parent, colour);
    made->setObjectName(QString::fromLatin1(name));
    // A style sheet replaces the palette: the text's colour is named in it, or it draws black.
    made->setStyleSheet(QStringLiteral("color: rgb(%1, %2, %3); background: rgba(%1, %2, %3, 38); border-radius: 7px; "
                                       "padding: 2px 6px;")
                            .arg(QString::number(colour.red()), QString::number(colour.green()),
                                 QString::number(colour.blue())));
    return made;
}

// One plan as a card the user presses to select it.
class PlanCard : public QAbstractButton
{
public:
    PlanCard(const SubscriptionPlan &plan, bool current, QWidget *parent) : QAbstractButton(parent)
    {
        setObjectName(QStringLiteral("planCard"));
        setProperty("planName", plan.name);
        setCursor(Qt::PointingHandCursor);
        auto *row = new QHBoxLayout(this);
        row->setContentsMargins(14, 14, 14, 14);
        auto *left = new QVBoxLayout;
        left->setSpacing(4);
        auto *title = new QHBoxLayout;
        title->setSpacing(6);
        QLabel *name = label(plan.label, TextStyle::headline, this);
        name->setObjectName(QStringLiteral("planLabel"));
        title->addWidget(name);
        if (plan.mostPopular)
            title->addWidget(badge(QStringLiteral("Popular"), accent, "popularBadge", this));
        if (current)
            title->addWidget(badge(QStringLiteral("Current"), green, "currentBadge", this));
        title->addStretch(1);
        left->addLayout(title);
        QLabel *storage = label(plan.storage + QStringLiteral(" storage"), TextStyle::caption, this, secondaryText);
        storage->setObjectName(QStringLiteral("planStorage"));
        left->addWidget(storage);
        row->addLayout(left, 1);
        QLabel *fee = label(plan.feeMonthly, TextStyle::subheadline, this,
                            plan.name == SubscriptionView::freePlanName ? secondaryText : QColor());
        fee->setObjectName(QStringLiteral("planFee"));
        row->addWidget(fee, 0, Qt::AlignVCenter);
    }

    void setSelected(bool selected)
    {
        if (selected == m_selected)
            return;
        m_selected = selected;
        setProperty("selected", selected);
        update();
    }

    QSize sizeHint() const override { return layout()->sizeHint(); }
    QSize minimumSizeHint() const override { return layout()->minimumSize(); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const qreal inset = m_selected ? 1.0 : 0.5;
        QPainterPath shape;
        shape.addRoundedRect(QRectF(rect()).adjusted(inset, inset, -inset, -inset), 10, 10);
        if (m_selected) {
            QColor fill = accent;
            fill.setAlphaF(0.08);
            painter.fillPath(shape, fill);
            painter.setPen(QPen(accent, 2));
        } else {
            QColor border = Qt::gray;
            border.setAlphaF(0.3);
            painter.setPen(QPen(border, 1));
        }
        painter.drawPath(shape);
    }

private:
    bool m_selected = false;
};

} // namespace

SubscriptionView::SubscriptionView(QString bearerToken, QString currentPlan, QUrl baseURL, ExternalURLOpener opener,
                                   QWidget *parent)
    : QWidget(parent),
      m_bearerToken(std::move(bearerToken)),
      m_currentPlan(std::move(currentPlan)),
      m_baseURL(std::move(baseURL)),
      m_opener(std::move(opener))
{
    setObjectName(QStringLiteral("subscriptionView"));
    auto *stack = new QVBoxLayout(this);
    stack->setSpacing(24);
    stack->setContentsMargins(24, 24, 24, 24);

    auto *header = new QVBoxLayout;
    header->setSpacing(8);
    header->addWidget(symbol(QStringLiteral("\u265B"), 30, yellow, this), 0, Qt::AlignHCenter);
    QLabel *title = label(QStringLiteral("Choose Your Plan"), TextStyle::title2, this);
    title->setObjectName(QStringLiteral("planTitle"));
    header->addWidget(title, 0, Qt::AlignHCenter);
    stack->addLayout(header);

    m_loadingBox = new QWidget(this);
    m_loadingBox->setObjectName(QStringLiteral("plansLoading"));
    auto *loading = new QVBoxLayout(m_loadingBox);
    loading->addStretch(1);
    auto *bar = new QProgressBar(m_loadingBox);
    bar->setRange(0, 0);
    bar->setTextVisible(false);
    bar->setFixedSize(120, 6);
    loading->addWidget(bar, 0, Qt::AlignHCenter);
    loading->addWidget(label(QStringLiteral("Loading plans..."), TextStyle::callout, m_loadingBox, secondaryText), 0,
                       Qt::AlignHCenter);
    loading->addStretch(1);
    stack->addWidget(m_loadingBox, 1);

    m_cardsArea = new QScrollArea(this);
    m_cardsArea->setObjectName(QStringLiteral("planCards"));
    m_cardsArea->setWidgetResizable(true);
    m_cardsArea->setFrameShape(QFrame::NoFrame);
    auto *cardsBox = new QWidget(m_cardsArea);
    m_cards = new QVBoxLayout(cardsBox);
    m_cards->setSpacing(12);
    m_cards->setContentsMargins(24, 0, 24, 0);
    m_cardsArea->setWidget(cardsBox);
    stack->addWidget(m_cardsArea, 1);

    m_buttonsBox = new QWidget(this);
    auto *buttons = new QVBoxLayout(m_buttonsBox);
    buttons->setSpacing(12);
    buttons->setContentsMargins(0, 0, 0, 0);
    m_upgrade = new QPushButton(m_buttonsBox);
    m_upgrade->setObjectName(QStringLiteral("upgradeButton"));
    makeProminent(m_upgrade);
    m_upgrade->setFixedWidth(340);
    buttons->addWidget(m_upgrade, 0, Qt::AlignHCenter);
    m_continue = new QPushButton(QStringLiteral("Continue with ") + capitalised(m_currentPlan), m_buttonsBox);
    m_continue->setObjectName(QStringLiteral("continueButton"));
    makeBordered(m_continue);
    buttons->addWidget(m_continue, 0, Qt::AlignHCenter);
    stack->addWidget(m_buttonsBox);

    m_error = label(QString(), TextStyle::caption, this, red);
    m_error->setObjectName(QStringLiteral("planErrorMessage"));
    m_error->setWordWrap(true);
    m_error->setAlignment(Qt::AlignCenter);
    stack->addWidget(m_error);

    connect(m_upgrade, &QPushButton::clicked, this, &SubscriptionView::startCheckout);
    connect(m_continue, &QPushButton::clicked, this, &SubscriptionView::complete);
    rebuildCards();
    refresh();
}

SubscriptionView::~SubscriptionView() = default;

QString SubscriptionView::capitalised(const QString &text)
{
    QString result;
    result.reserve(text.size());
    bool wordStart = true;
    for (const QChar ch : text) {
        result.append(wordStart ? ch.toUpper() : ch.toLower());
        wordStart = !ch.isLetterOrNumber();
    }
    return result;
}

bool SubscriptionView::isUpgradeOffered() const
{
    return m_selectedPlan && *m_selectedPlan != m_currentPlan && *m_selectedPlan != freePlanName;
}

void SubscriptionView::selectPlan(const QString &name)
{
    m_selectedPlan = name;
    refresh();
}

void SubscriptionView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Once per chooser: showing it again (un-minimising the window) starts no new load.
    if (m_loadStarted)
        return;
    m_loadStarted = true;
    m_loadTask = TaskHandle::start([this](std::stop_token stop) { return loadPlans(stop); });
}

QCoro::Task<> SubscriptionView::loadPlans(std::stop_token stop)
{
    QPointer<SubscriptionView> self(this);
    const QString token = m_bearerToken;
    const QUrl base = m_baseURL;
    if (token.isEmpty() || !base.isValid() || base.isRelative()) {
        m_isLoading = false;
        refresh();
        co_return;
    }

    std::optional<std::optional<std::vector<SubscriptionPlan>>> answer;
    std::optional<QString> failure;
    try {
        auto fetching = RegistrationAPIClient::fetchSubscriptionPlans(token, base, stop);
        answer = co_await std::move(fetching);
    } catch (const RegistrationAPIClient::RegistrationError &error) {
        failure = QStringLiteral("Failed to load plans (HTTP %1).").arg(error.statusCode());
    } catch (const std::exception &) {
        failure = loadFailedMessage;
    }
    if (stop.stop_requested() || !self)
        co_return;

    if (failure) {
        m_errorMessage = failure;
    } else {
        // A reply without a plans array leaves the list as it was.
        if (*answer)
            m_plans = std::move(**answer);
        m_selectedPlan = m_currentPlan;
    }
    m_isLoading = false;
    rebuildCards();
    refresh();
}

void SubscriptionView::startCheckout()
{
    if (m_checkoutRunning || m_completed || !isUpgradeOffered())
        return;
    m_checkoutRunning = true;
    const QString plan = *m_selectedPlan;
    refresh();
    m_checkoutTask = TaskHandle::start([this, plan](std::stop_token stop) { return checkout(plan, stop); });
}

QCoro::Task<> SubscriptionView::checkout(QString plan, std::stop_token stop)
{
    QPointer<SubscriptionView> self(this);
    const QString token = m_bearerToken;
    const QUrl base = m_baseURL;

    std::optional<QString> address;
    std::optional<QString> failure;
    try {
        auto asking = RegistrationAPIClient::createCheckoutSession(token, plan, QStringLiteral("monthly"), base, stop);
        address = co_await std::move(asking);
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    }
    if (stop.stop_requested() || !self)
        co_return;

    m_checkoutRunning = false;
    if (m_completed) {
        // The user went on with the current plan meanwhile: no page opens behind the window.
        refresh();
        co_return;
    }
    if (failure) {
        m_errorMessage = failure;
        refresh();
        co_return;
    }
    bool opened = false;
    if (address) {
        try {
            opened = m_opener.open(*address);
        } catch (const ExternalURLOpener::RefusedURLError &) {
            // Not a secure web page: the same path as no address at all.
        }
    }
    if (!opened) {
        m_errorMessage = checkoutFailedMessage;
        refresh();
        co_return;
    }
    complete();
}

void SubscriptionView::complete()
{
    if (m_completed)
        return;
    m_completed = true;
    refresh();
    Q_EMIT completed();
}

void SubscriptionView::rebuildCards()
{
    while (QLayoutItem *item = m_cards->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    std::vector<SubscriptionPlan> shown{freePlan};
    shown.insert(shown.end(), m_plans.begin(), m_plans.end());
    for (const SubscriptionPlan &plan : shown) {
        auto *card = new PlanCard(plan, plan.name == m_currentPlan, m_cards->parentWidget());
        const QString name = plan.name;
        connect(card, &QAbstractButton::clicked, this, [this, name] { selectPlan(name); });
        m_cards->addWidget(card);
    }
    m_cards->addStretch(1);
}

void SubscriptionView::refresh()
{
    m_loadingBox->setVisible(m_isLoading);
    m_cardsArea->setVisible(!m_isLoading);
    m_buttonsBox->setVisible(!m_isLoading);

    for (int i = 0; i < m_cards->count(); ++i) {
        if (auto *card = dynamic_cast<PlanCard *>(m_cards->itemAt(i)->widget()))
            card->setSelected(m_selectedPlan && card->property("planName").toString() == *m_selectedPlan);
    }

    const bool offered = isUpgradeOffered();
    m_upgrade->setVisible(offered);
    if (offered)
        m_upgrade->setText(QStringLiteral("Upgrade to ") + capitalised(*m_selectedPlan));
    m_upgrade->setEnabled(!m_checkoutRunning && !m_completed);
    m_continue->setEnabled(!m_completed);

    m_error->setText(m_errorMessage.value_or(QString()));
    m_error->setVisible(m_errorMessage.has_value());
}

} // namespace quillmere
