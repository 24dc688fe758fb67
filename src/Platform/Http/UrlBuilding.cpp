#include "Platform/Http/UrlBuilding.h"

#include <QHostAddress>

namespace quillmere {

bool isLoopbackHost(const QString &host)
{
    const QString lower = host.toLower();
    if (lower == u"localhost" || lower.endsWith(u".localhost"))
        return true;
    QHostAddress address;
    return address.setAddress(lower) && address.isLoopback();
}

bool isPermittedUrl(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == u"https")
        return true;
    return scheme == u"http" && isLoopbackHost(url.host());
}

QByteArray percentEncodeQueryComponent(const QString &text)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() * 3);
    for (const char ch : utf8) {
        const auto byte = static_cast<unsigned char>(ch);
        const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z')
            || (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' || byte == '~';
        if (unreserved) {
            out.append(ch);
        } else {
            out.append('%');
            out.append(hex[byte >> 4]);
            out.append(hex[byte & 0x0F]);
        }
    }
    return out;
}

QUrl withQueryItems(const QUrl &url, const QList<QueryItem> &items)
{
    QUrl result = url;
    if (items.isEmpty()) {
        result.setQuery(QString());
        return result;
    }
    QByteArray query;
    for (const auto &item : items) {
        if (!query.isEmpty())
            query.append('&');
        query.append(percentEncodeQueryComponent(item.name));
        if (item.value) {
            query.append('=');
            query.append(percentEncodeQueryComponent(*item.value));
        }
    }
    // Already fully encoded: StrictMode keeps every escape as written.
    result.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
    return result;
}

QUrl appendingPath(const QUrl &base, const QString &path)
{
    QString joined = base.path(QUrl::FullyEncoded);
    while (joined.endsWith(u'/'))
        joined.chop(1);
    QString tail = path;
    while (tail.startsWith(u'/'))
        tail.remove(0, 1);
    joined += u'/' + tail;

    QUrl result = base;
    result.setQuery(QString());
    result.setFragment(QString());
    result.setPath(joined, QUrl::TolerantMode);
    return result;
}

} // namespace quillmere
