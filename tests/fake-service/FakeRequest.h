#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillmere::test {

// A request as the fake received it.
struct FakeRequest
{
    using Pairs = std::vector<std::pair<std::string, std::string>>;

    std::string method;
    std::string path;
    std::string query;  // as sent, without "?"
    Pairs queryItems;   // decoded, in the order sent
    Pairs headers;
    std::string body;
    std::vector<std::string> captures; // the route pattern's groups

    // The first header of that name, compared without regard to case.
    std::optional<std::string> header(std::string_view name) const;
    std::optional<std::string> queryValue(std::string_view name) const;
};

} // namespace quillmere::test
