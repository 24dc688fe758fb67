#pragma once

#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

namespace quillmere {

// The two small actions the hosts of the device-link view bind: open the service's
// device-link page in the browser, and put the user code on the clipboard.
class ShellActions
{
public:
    // Asks the desktop to open the address; false when it could not.
    using OpenFunction = std::function<bool(const QUrl &)>;
    using BaseURLSource = std::function<QUrl()>;

    // Without arguments: the stored service base URL and the desktop's browser.
    ShellActions();
    ShellActions(BaseURLSource baseURL, OpenFunction open);

    // An address from the service that may reach the browser: https, or plain http to a
    // loopback host when the service itself is reached that way (a local test service);
    // never with user info. Anything else (another scheme, a remote http page that a
    // tampered reply could point at) is refused.
    static std::optional<QUrl> acceptedServiceAddress(const QString &text, const QUrl &serviceBase);
    std::optional<QUrl> acceptedVerificationURL(const QString &text) const;

    // Opens the device-link page when its address is accepted; otherwise does nothing and
    // reports nothing (false). Never throws: it runs inside button handlers.
    bool openVerificationURL(const QString &text) const;
    // Replaces the clipboard's content with the code as plain text.
    static void copyCodeToPasteboard(const QString &code);

private:
    BaseURLSource m_baseURL;
    OpenFunction m_open;
};

} // namespace quillmere
