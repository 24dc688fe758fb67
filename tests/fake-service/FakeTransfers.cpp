#include "fake-service/FakeTransfers.h"

namespace quillmere::test {

std::string fakeETag(const QString &sha256)
{
    // Formatted by Qt: GCC 12 at -O3 warns falsely on a std::string built with operator+.
    return QStringLiteral("\"%1\"").arg(sha256.left(32)).toStdString();
}

QByteArray FakeStoredObject::content() const
{
    QByteArray all;
    all.reserve(size);
    for (const FakeReceivedBody &piece : pieces)
        piece.forEachBlock([&all](const char *data, qsizetype length) { all.append(data, length); });
    return all;
}

QString FakeStoredObject::hashOfContent() const
{
    for (const FakeReceivedBody &piece : pieces)
        if (piece.dropped)
            return QString();
    FakeSha256 hash;
    for (const FakeReceivedBody &piece : pieces)
        piece.forEachBlock([&hash](const char *data, qsizetype length) { hash.add(data, size_t(length)); });
    return hash.finishHex();
}

} // namespace quillmere::test
