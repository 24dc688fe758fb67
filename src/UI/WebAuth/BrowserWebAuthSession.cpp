#include "UI/WebAuth/BrowserWebAuthSession.h"

#include "Platform/Async/WaitQueue.h"
#include "Platform/Http/UrlBuilding.h"
#include "Platform/WebAuth/CallbackRouter.h"

#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QUrlQuery>

#include <memory>
#include <optional>

namespace quillmere {

namespace {

// The outcome of one flow, settled once by whichever comes first. The waiting coroutine is
// always resumed on a later turn, never inside the dialog's or the socket's signal.
struct Pending
{
    std::optional<WebAuthOutcome> outcome;
    WaitQueue waiting;
};

void settle(const std::shared_ptr<Pending> &pending, WebAuthOutcome outcome)
{
    if (pending->outcome)
        return;
    pending->outcome = std::move(outcome);
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [pending] { pending->waiting.resumeAll(); }, Qt::QueuedConnection);
}

QString stateOf(const QUrl &url)
{
    const QUrlQuery query(url);
    for (const auto &[key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key == QLatin1String("state"))
            return value;
    }
    return QString();
}

struct LaterDeleter
{
    void operator()(QObject *object) const { object->deleteLater(); }
};

} // namespace

BrowserWebAuthSession::BrowserWebAuthSession(CallbackRouter &router, UrlOpener opener, QWidget *parent)
    : m_router(router), m_opener(std::move(opener)), m_parent(parent)
{
    if (!m_opener)
        m_opener = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
}

QCoro::Task<WebAuthOutcome> BrowserWebAuthSession::authenticate(QUrl startURL, QString callbackScheme,
                                                                std::stop_token stop)
{
    // The page asks for credentials: only over https, or plain http to a service on this machine.
    if (!startURL.isValid() || !isPermittedUrl(startURL) || !m_router.isPrimary())
        co_return WebAuthOutcome::notStarted();

    auto pending = std::make_shared<Pending>();
    CallbackRouter::Registration registration = m_router.expect(
        callbackScheme, stateOf(startURL), [pending](QUrl url) { settle(pending, WebAuthOutcome::completed(url)); });
    if (!m_opener(startURL))
        co_return WebAuthOutcome::notStarted();

    QWidget *anchor = m_parent ? m_parent.data() : QApplication::activeWindow();
    std::unique_ptr<QMessageBox, LaterDeleter> dialog(
        new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Quillmere"), waitingText, QMessageBox::Cancel, anchor));
    QObject::connect(dialog.get(), &QDialog::finished, dialog.get(),
                     [pending](int) { settle(pending, WebAuthOutcome::cancelled()); });
    dialog->open();

    std::stop_callback onStop(stop, [pending] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [pending] { settle(pending, WebAuthOutcome::cancelled()); },
            Qt::QueuedConnection);
    });
    while (!pending->outcome)
        co_await pending->waiting.wait();

    QObject::disconnect(dialog.get(), &QDialog::finished, nullptr, nullptr);
    dialog->hide();
    co_return *pending->outcome;
}

} // namespace quillmere
