#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

namespace quillmere {

struct QueryItem
{
    QString name;
    std::optional<QString> value; // nullopt: the name alone, without "="
};

// http or https with a host; plain http only to a loopback host (localhost, 127.0.0.0/8,
// ::1). Everything else (file:, ftp:, data:, no host) is refused before a transfer starts.
bool isPermittedUrl(const QUrl &url);
bool isLoopbackHost(const QString &host);

// Percent-encodes every byte of the UTF-8 form except the unreserved characters
// (A-Z a-z 0-9 - . _ ~), so "+", "&", "=" and "/" in a value always travel literally.
QByteArray percentEncodeQueryComponent(const QString &text);

// The URL with its query replaced by the items in order; an empty list removes the query.
QUrl withQueryItems(const QUrl &url, const QList<QueryItem> &items);

// Joins the base URL's path and an endpoint path as strings with exactly one "/" between
// them (QUrl::resolved would drop the last segment of a base path without a trailing "/").
// The base's query and fragment are dropped.
QUrl appendingPath(const QUrl &base, const QString &path);

} // namespace quillmere
