#include "fake-service/FakeRequest.h"

#include <algorithm>
#include <cctype>

namespace quillmere::test {

namespace {

bool sameName(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

std::optional<std::string> FakeRequest::header(std::string_view name) const
{
    for (const auto &[key, value] : headers)
        if (sameName(key, name))
            return value;
    return std::nullopt;
}

std::optional<std::string> FakeRequest::queryValue(std::string_view name) const
{
    for (const auto &[key, value] : queryItems)
        if (key == name)
            return value;
    return std::nullopt;
}

} // namespace quillmere::test
