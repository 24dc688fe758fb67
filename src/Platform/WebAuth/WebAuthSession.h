#pragma once

#include <QCoroTask>
#include <QString>
#include <QUrl>

#include <optional>
#include <stop_token>

namespace quillmere {

// How one web sign-in ended.
struct WebAuthOutcome
{
    enum class Kind {
        notStarted, // the session could not be shown (no browser, refused URL)
        cancelled,  // the user gave up
        failed,     // the session ended with an error: `errorMessage`
        completed,  // the session ended; `callbackURL` is what came back, possibly nothing
    };
    Kind kind = Kind::notStarted;
    std::optional<QUrl> callbackURL;
    QString errorMessage;

    static WebAuthOutcome notStarted() { return {Kind::notStarted, std::nullopt, {}}; }
    static WebAuthOutcome cancelled() { return {Kind::cancelled, std::nullopt, {}}; }
    static WebAuthOutcome failed(QString message) { return {Kind::failed, std::nullopt, std::move(message)}; }
    static WebAuthOutcome completed(std::optional<QUrl> url) { return {Kind::completed, std::move(url), {}}; }
};

// Shows a sign-in page and waits for the URL the page hands back on `callbackScheme`.
// The browser implementation lives with the windows; tests script one. Main thread.
class WebAuthSession
{
public:
    virtual ~WebAuthSession() = default;

    // One flow: resolves once, when the page calls back, the user cancels, or it fails.
    // A stop ends it as cancelled.
    virtual QCoro::Task<WebAuthOutcome> authenticate(QUrl startURL, QString callbackScheme,
                                                     std::stop_token stop = {}) = 0;
};

} // namespace quillmere
