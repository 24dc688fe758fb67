#pragma once

#include <QString>

#include <array>
#include <optional>
#include <utility>
#include <vector>

namespace quillmere {

// Specialised next to each stored enumeration:
//   static constexpr std::array<std::pair<E, const char *>, N> table;  // cases in order
//   static constexpr E fallback;  // how a damaged store's unknown string reads
template<typename E>
struct EnumStrings;

template<typename E>
QString rawValue(E value)
{
    for (const auto &[e, text] : EnumStrings<E>::table)
        if (e == value)
            return QString::fromLatin1(text);
    return QString();
}

// Exact, case-sensitive comparison with the stored strings.
template<typename E>
std::optional<E> fromRawValue(const QString &text)
{
    for (const auto &[e, raw] : EnumStrings<E>::table)
        if (text == QLatin1String(raw))
            return e;
    return std::nullopt;
}

template<typename E>
std::vector<E> allCases()
{
    std::vector<E> cases;
    for (const auto &entry : EnumStrings<E>::table)
        cases.push_back(entry.first);
    return cases;
}

} // namespace quillmere
