#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

namespace quillmere::websignin {

// What the Apple and Google managers share.

// A fresh state or nonce value: upper-case UUID text.
QString newStateValue();

// The value of the first query item of that name; absent when there is none or it is empty.
std::optional<QString> firstQueryValue(const QUrl &url, const QString &name);

} // namespace quillmere::websignin
