#pragma once

#include "FuzzSupport.h"

#include <QUrl>
#include <QUrlQuery>

#include <optional>

// What the browser hands back to a web sign-in: a URL anyone who can start the application
// with an argument (any web page, through the scheme handler) chooses.
namespace quillmere::fuzz {

// The state every flow of the targets sent.
inline const QString sentState = QStringLiteral("5E1F0C6A-6D0B-4B9C-8B8E-2E1D3C4B5A69");

// The first value of a query item, taken apart by hand; none when it is empty.
inline std::optional<QString> firstItem(const QUrl &url, const QString &name)
{
    const QUrlQuery query(url);
    for (const auto &item : query.queryItems(QUrl::FullyDecoded)) {
        if (item.first == name)
            return item.second.isEmpty() ? std::nullopt : std::optional(item.second);
    }
    return std::nullopt;
}

// A code handed on came from a callback that echoed the state sent, and is the callback's.
inline void checkTakenCode(const QUrl &url, const std::pair<QString, QString> &taken)
{
    check(url.isValid(), "a code comes only from a valid URL", url.toString());
    check(taken.second == sentState, "the state handed on is the one sent");
    check(firstItem(url, QStringLiteral("state")) == sentState, "a code is taken only when the state matches",
          url.toString());
    check(!taken.first.isEmpty() && firstItem(url, QStringLiteral("code")) == taken.first,
          "the code is the callback's first, non-empty one", url.toString());
}

} // namespace quillmere::fuzz
