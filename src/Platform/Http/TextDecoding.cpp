#include "Platform/Http/TextDecoding.h"

#include <QStringDecoder>

namespace quillmere {

std::optional<QString> decodeUtf8(const QByteArray &bytes)
{
    // Stateless: a sequence cut off at the end is an error rather than kept for more input.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

} // namespace quillmere
