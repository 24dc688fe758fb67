#pragma once

#include "Platform/Http/HttpHeaders.h"

#include <QByteArray>
#include <QJsonObject>
#include <QIODevice>
#include <QUrl>

#include <chrono>
#include <memory>

namespace quillmere {

// One request as the caller builds it. Copies share the body device, so a request can be
// sent again (after 401 or 421) with the same bytes: HttpClient rewinds the device to 0
// before every send.
struct HttpRequest
{
    QUrl url;
    QByteArray method = "GET";
    HttpHeaders headers;
    // The body held in memory; ignored when bodyDevice is set.
    QByteArray body;
    // A streamed body: open for reading, seekable, with a known size().
    std::shared_ptr<QIODevice> bodyDevice;
    // The transfer is abandoned when no byte moves in either direction for this long.
    std::chrono::milliseconds inactivityTimeout = std::chrono::seconds(60);

    bool hasBody() const { return bodyDevice != nullptr || !body.isEmpty(); }
    // A compact JSON object as the body, with "Content-Type: application/json".
    void setJsonBody(const QJsonObject &object);

    void clearBody()
    {
        body.clear();
        bodyDevice.reset();
    }
};

} // namespace quillmere
