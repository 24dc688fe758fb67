#include "UI/Onboarding/AccountWindow.h"

#include "Accounts/AccountFlowController.h"
#include "UI/Onboarding/AccountWindowView.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QVBoxLayout>

namespace quillmere {

namespace {

ExternalURLOpener::OpenFunction orDesktop(ExternalURLOpener::OpenFunction open)
{
    if (open)
        return open;
    return [](const QUrl &url) { return QDesktopServices::openUrl(url); };
}

} // namespace

AccountWindow::AccountWindow(AccountFlowController &controller, ExternalURLOpener::OpenFunction open, QWidget *parent)
    : QWidget(parent, Qt::Window), m_controller(controller), m_opener(orDesktop(std::move(open)))
{
    setObjectName(QStringLiteral("accountWindow"));
    setWindowTitle(QStringLiteral("Quillmere Account"));
    setMinimumSize(480, 560);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
}

AccountWindow::~AccountWindow() = default;

void AccountWindow::open()
{
    if (!isVisible() || !m_view) {
        if (m_view)
            m_view->deleteLater();
        m_opening = m_controller.beginOpening();
        auto *view = new AccountWindowView(m_controller, m_opening, m_opener, this);
        const quint64 opening = m_opening;
        connect(view, &AccountWindowView::dismissRequested, this, [this, opening] { closeOpening(opening); });
        connect(view, &AccountWindowView::autoCloseRequested, this, [this, opening] {
            m_autoClose = TaskHandle::start([this, opening](std::stop_token stop) { return closeAfterDelay(opening, stop); });
        });
        layout()->addWidget(view);
        m_view = view;
    }
    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void AccountWindow::closeOpening(quint64 opening)
{
    if (opening == m_opening && isVisible())
        close();
}

QCoro::Task<> AccountWindow::closeAfterDelay(quint64 opening, std::stop_token stop)
{
    QPointer<AccountWindow> self(this);
    auto sleeping = m_controller.clock().sleepFor(autoCloseDelay, stop);
    if (!co_await std::move(sleeping) || !self)
        co_return;
    closeOpening(opening);
}

void AccountWindow::closeEvent(QCloseEvent *event)
{
    QWidget::closeEvent(event);
    if (!event->isAccepted())
        return;
    m_controller.endOpening(m_opening);
    // The next opening starts fresh: nothing typed, no token, no step survives.
    if (m_view) {
        m_view->hide();
        m_view->deleteLater();
        m_view = nullptr;
    }
}

} // namespace quillmere
