#include "fake-service/FakeRouter.h"

namespace quillmere::test {

void FakeRouter::add(std::string method, const std::string &pattern, FakeHandler handler)
{
    m_routes.push_back({std::move(method), std::regex(pattern), std::move(handler)});
}

FakeReply FakeRouter::dispatch(FakeRequest &request) const
{
    bool pathKnown = false;
    for (const Route &route : m_routes) {
        std::smatch match;
        if (!std::regex_match(request.path, match, route.pattern))
            continue;
        pathKnown = true;
        if (route.method != request.method)
            continue;
        request.captures.clear();
        for (size_t i = 1; i < match.size(); ++i)
            request.captures.push_back(match[i].str());
        return route.handler(request);
    }
    if (pathKnown)
        return FakeReply::failure(405, QStringLiteral("Method not allowed"), QStringLiteral("method_not_allowed"));
    return FakeReply::failure(404, QStringLiteral("Not found"), QStringLiteral("not_found"));
}

} // namespace quillmere::test
