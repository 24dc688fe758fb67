#include "Platform/Http/Redirects.h"

#include "Platform/Http/TransportError.h"
#include "Platform/Http/UrlBuilding.h"

namespace quillmere {

bool isRedirectStatus(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

QUrl redirectTarget(const QUrl &from, const QByteArray &location)
{
    return from.resolved(QUrl::fromEncoded(location));
}

bool isSameOrigin(const QUrl &a, const QUrl &b)
{
    const auto defaultPort = [](const QUrl &url) {
        const QString scheme = url.scheme().toLower();
        return url.port(scheme == u"https" ? 443 : scheme == u"http" ? 80 : -1);
    };
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0
        && a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && defaultPort(a) == defaultPort(b);
}

HttpRequest redirectedRequest(const HttpRequest &previous, int status, const QUrl &target)
{
    const bool downgrade = previous.url.scheme().compare(u"https", Qt::CaseInsensitive) == 0
        && target.scheme().compare(u"https", Qt::CaseInsensitive) != 0;
    if (downgrade || !isPermittedUrl(target))
        throw TransportError(TransportError::Code::unsupportedURL);

    HttpRequest next = previous;
    next.url = target;
    if (!isSameOrigin(previous.url, target)) {
        next.headers.remove("Authorization");
        next.headers.remove("X-Shard-Id");
    }

    const QByteArray method = previous.method.toUpper();
    const bool becomesGet = (status == 303 && method != "GET" && method != "HEAD")
        || ((status == 301 || status == 302) && method == "POST");
    if (becomesGet) {
        next.method = "GET";
        next.clearBody();
        for (const char *name : {"Content-Type", "Content-Length", "Content-Encoding", "Content-Language",
                                 "Content-Location"})
            next.headers.remove(name);
    }
    return next;
}

} // namespace quillmere
