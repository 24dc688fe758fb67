#pragma once

#include "Platform/WebAuth/WebAuthSession.h"

#include <QPointer>
#include <QUrl>
#include <QWidget>

#include <functional>

namespace quillmere {

class CallbackRouter;

// Web sign-in in the user's default browser. Opens the start page there and shows
// "Continue in your browser…" with Cancel until the page calls back through the router (the
// URL scheme handler's second process forwards it) or the user cancels. Main thread.
class BrowserWebAuthSession : public WebAuthSession
{
public:
    using UrlOpener = std::function<bool(const QUrl &)>;

    // The router must be the claimed instance and outlive the session. Without an opener the
    // desktop's default browser is used; without a parent the active window anchors the dialog.
    explicit BrowserWebAuthSession(CallbackRouter &router, UrlOpener opener = {}, QWidget *parent = nullptr);

    static inline const QString waitingText = QStringLiteral("Continue in your browser…");

    // Not started when the page is not https (or http to this machine), when this process does
    // not receive callbacks, or when no browser opens.
    QCoro::Task<WebAuthOutcome> authenticate(QUrl startURL, QString callbackScheme,
                                             std::stop_token stop = {}) override;

private:
    CallbackRouter &m_router;
    UrlOpener m_opener;
    QPointer<QWidget> m_parent;
};

} // namespace quillmere
