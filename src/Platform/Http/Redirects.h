#pragma once

#include "Platform/Http/HttpRequest.h"

#include <QUrl>

namespace quillmere {

// 301, 302, 303, 307, 308: the statuses followed when the reply names a Location.
bool isRedirectStatus(int status);

// Where a reply's "Location" leads from `from` (a relative reference resolves against it).
QUrl redirectTarget(const QUrl &from, const QByteArray &location);

// Scheme, host and port (the scheme's default when none is written) compare equal.
bool isSameOrigin(const QUrl &a, const QUrl &b);

// The request to send to `target` after `status`. Leaving the origin drops "Authorization"
// and "X-Shard-Id" so a token never reaches another host. 307/308 keep method and body;
// 303 (any method but HEAD) and 301/302 after POST become a GET without body, as browsers
// do. Throws TransportError unsupportedURL for https to http or for a target that is not a
// permitted URL.
HttpRequest redirectedRequest(const HttpRequest &previous, int status, const QUrl &target);

} // namespace quillmere
