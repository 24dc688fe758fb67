#include "UI/Onboarding/ShellActions.h"

#include "Accounts/APIConfig.h"
#include "Platform/Browser/ExternalURLOpener.h"
#include "Platform/Http/UrlBuilding.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>

namespace quillmere {

ShellActions::ShellActions() : ShellActions(&APIConfig::baseURL, &QDesktopServices::openUrl) {}

ShellActions::ShellActions(BaseURLSource baseURL, OpenFunction open)
    : m_baseURL(std::move(baseURL)), m_open(std::move(open))
{
}

std::optional<QUrl> ShellActions::acceptedServiceAddress(const QString &text, const QUrl &serviceBase)
{
    std::optional<QUrl> url = ExternalURLOpener::acceptableURL(text);
    if (!url || url->scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0)
        return url;
    const bool serviceIsLocal = serviceBase.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) == 0 &&
                                isLoopbackHost(serviceBase.host());
    return serviceIsLocal ? url : std::nullopt;
}

std::optional<QUrl> ShellActions::acceptedVerificationURL(const QString &text) const
{
    return acceptedServiceAddress(text, m_baseURL ? m_baseURL() : QUrl());
}

bool ShellActions::openVerificationURL(const QString &text) const
{
    const std::optional<QUrl> url = acceptedVerificationURL(text);
    if (!url || !m_open)
        return false;
    return m_open(*url);
}

void ShellActions::copyCodeToPasteboard(const QString &code)
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(code);
}

} // namespace quillmere
