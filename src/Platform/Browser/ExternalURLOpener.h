#pragma once

#include <QString>
#include <QUrl>

#include <exception>
#include <functional>
#include <optional>

namespace quillmere {

// Hands a web address to the user's browser. Addresses come from service replies (the
// device-link page, the checkout page), so only https, or http to a loopback host, leaves
// the application: a javascript:, file: or custom-scheme address would run something other
// than a web page. Launching the browser is the GUI's business, hence the injected function.
class ExternalURLOpener
{
public:
    // Asks the desktop to open the address; false when it could not.
    using OpenFunction = std::function<bool(const QUrl &)>;

    class RefusedURLError : public std::exception
    {
    public:
        const char *what() const noexcept override
        {
            return "The service sent an address that is not a secure web page, so it was not opened.";
        }
    };

    explicit ExternalURLOpener(OpenFunction open = {}) : m_open(std::move(open)) {}

    static std::optional<QUrl> acceptableURL(const QString &text);

    // Throws RefusedURLError for an address that acceptableURL() refuses; otherwise what the
    // open function answers (false when there is none).
    bool open(const QString &text) const;

private:
    OpenFunction m_open;
};

} // namespace quillmere
