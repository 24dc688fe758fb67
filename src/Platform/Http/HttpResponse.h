#pragma once

#include "Platform/Http/HttpHeaders.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <optional>

namespace quillmere {

// A reply that carried an HTTP status, whatever the status.
struct HttpResponse
{
    int status = 0;
    HttpHeaders headers;
    QByteArray body;
    // Where the final request of a redirect chain went.
    QUrl url;
    // Whether a redirect on the way led to another origin. The request's credentials were
    // dropped there and went no further, not even back at the first origin.
    bool leftOrigin = false;

    // The body as UTF-8 text; nullopt when it is not valid UTF-8.
    std::optional<QString> bodyText() const;
};

} // namespace quillmere
