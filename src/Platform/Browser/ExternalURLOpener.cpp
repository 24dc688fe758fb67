#include "Platform/Browser/ExternalURLOpener.h"

#include "Platform/Http/UrlBuilding.h"

namespace quillmere {

std::optional<QUrl> ExternalURLOpener::acceptableURL(const QString &text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty() || !url.userInfo().isEmpty())
        return std::nullopt;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https") || (scheme == QLatin1String("http") && isLoopbackHost(url.host())))
        return url;
    return std::nullopt;
}

bool ExternalURLOpener::open(const QString &text) const
{
    const auto url = acceptableURL(text);
    if (!url)
        throw RefusedURLError();
    return m_open ? m_open(*url) : false;
}

} // namespace quillmere
