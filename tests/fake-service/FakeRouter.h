#pragma once

#include "fake-service/FakeReply.h"
#include "fake-service/FakeRequest.h"

#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace quillmere::test {

using FakeHandler = std::function<FakeReply(const FakeRequest &)>;

// The fake's endpoints: a method and a whole-path pattern each.
class FakeRouter
{
public:
    void add(std::string method, const std::string &pattern, FakeHandler handler);

    // Runs the matching handler with the pattern's groups in request.captures; 404 for an
    // unknown path, 405 for a known path with another method.
    FakeReply dispatch(FakeRequest &request) const;

private:
    struct Route
    {
        std::string method;
        std::regex pattern;
        FakeHandler handler;
    };
    std::vector<Route> m_routes;
};

} // namespace quillmere::test
