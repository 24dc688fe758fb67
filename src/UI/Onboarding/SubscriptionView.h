#pragma once

#include "Accounts/SubscriptionPlan.h"
#include "Platform/Async/TaskHandle.h"
#include "Platform/Browser/ExternalURLOpener.h"

#include <QString>
#include <QUrl>
#include <QWidget>

#include <optional>
#include <stop_token>
#include <vector>

class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace quillmere {

// The plan step of the account window: the built-in free card and the service's plans as
// selectable cards, "Continue with <current plan>", and "Upgrade to <plan>", which opens the
// service's checkout page in the browser. The plans load once per chooser, when it is first
// shown. One checkout at a time: Upgrade is disabled while one runs. completed() is emitted at
// most once, by Continue or after a checkout page opened; after it both buttons do nothing.
class SubscriptionView : public QWidget
{
    Q_OBJECT

public:
    // The built-in card of the free tier (its label, storage and fee are this view's words).
    static inline const QString freePlanName = QStringLiteral("silver");
    static inline const QString loadFailedMessage = QStringLiteral("Failed to load plans.");
    static inline const QString checkoutFailedMessage = QStringLiteral("Unable to start checkout. Please try again.");

    // The requests go to `baseURL` with the bearer token; pages open through `opener`.
    SubscriptionView(QString bearerToken, QString currentPlan, QUrl baseURL, ExternalURLOpener opener,
                     QWidget *parent = nullptr);
    ~SubscriptionView() override;

    // "platinum plan" gives "Platinum Plan".
    static QString capitalised(const QString &text);

    bool isLoading() const { return m_isLoading; }
    bool isCheckoutRunning() const { return m_checkoutRunning; }
    const std::vector<SubscriptionPlan> &plans() const { return m_plans; }
    const std::optional<QString> &selectedPlan() const { return m_selectedPlan; }
    const std::optional<QString> &errorMessage() const { return m_errorMessage; }
    // A selected plan other than the current one and not the free tier.
    bool isUpgradeOffered() const;

    void selectPlan(const QString &name);

Q_SIGNALS:
    void completed();

protected:
    void showEvent(QShowEvent *event) override;

private:
    QCoro::Task<> loadPlans(std::stop_token stop);
    QCoro::Task<> checkout(QString plan, std::stop_token stop);
    void startCheckout();
    void complete();
    void rebuildCards();
    void refresh();

    const QString m_bearerToken;
    const QString m_currentPlan;
    const QUrl m_baseURL;
    const ExternalURLOpener m_opener;

    std::vector<SubscriptionPlan> m_plans;
    bool m_isLoading = true;
    std::optional<QString> m_selectedPlan;
    std::optional<QString> m_errorMessage;
    bool m_loadStarted = false;
    bool m_checkoutRunning = false;
    bool m_completed = false;

    QWidget *m_loadingBox;
    QScrollArea *m_cardsArea;
    QVBoxLayout *m_cards;
    QWidget *m_buttonsBox;
    QPushButton *m_upgrade;
    QPushButton *m_continue;
    QLabel *m_error;

    TaskHandle m_loadTask;
    TaskHandle m_checkoutTask;
};

} // namespace quillmere
