#include "Platform/Http/HttpResponse.h"

#include "Platform/Http/TextDecoding.h"

namespace quillmere {

std::optional<QString> HttpResponse::bodyText() const
{
    return decodeUtf8(body);
}

} // namespace quillmere
