#pragma once

#include "Platform/Async/Clock.h"
#include "Platform/Async/TaskHandle.h"
#include "Platform/Browser/ExternalURLOpener.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <stop_token>

namespace quillmere {

class AccountFlowController;
class AccountWindowView;

// The account window: registration or sign-in, plan choice and completion, around one
// AccountWindowView per opening. open() shows it (fresh when it was closed, the one on screen
// otherwise) and brings it to the front. Closing it ends a browser sign-in of that opening;
// a request already sent finishes in the controller. The closing 1.5 s after the plan step
// carries the opening that asked for it and never closes a later one.
//
// Main thread; the controller must outlive the window.
class AccountWindow : public QWidget
{
    Q_OBJECT

public:
    static inline const QString identifier = QStringLiteral("quillmere-account");
    static constexpr Clock::Duration autoCloseDelay = std::chrono::milliseconds(1500);

    // Pages (checkout) open through `open`; without one, the desktop's default browser.
    explicit AccountWindow(AccountFlowController &controller, ExternalURLOpener::OpenFunction open = {},
                           QWidget *parent = nullptr);
    ~AccountWindow() override;

    void open();
    // The content of the current opening; null while the window is closed.
    AccountWindowView *content() const { return m_view; }
    quint64 opening() const { return m_opening; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void closeOpening(quint64 opening);
    QCoro::Task<> closeAfterDelay(quint64 opening, std::stop_token stop);

    AccountFlowController &m_controller;
    const ExternalURLOpener m_opener;
    QPointer<AccountWindowView> m_view;
    quint64 m_opening = 0;
    TaskHandle m_autoClose;
};

} // namespace quillmere
