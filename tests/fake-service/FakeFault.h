#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace quillmere::test {

// A fault switch: how the fake misbehaves for the next calls that match it. Faults of
// different kinds combine on one call (a delay, then an answer); of one kind the oldest
// matching fault applies.
struct FakeFault
{
    enum class Kind {
        answer,  // answer `status` with `body` instead of the service's own reply
        delay,   // wait `pause` before answering
        drop,    // close the connection without answering
        cutBody, // send the headers and the first `bytes` of the body, then close
        trickle, // send the body `bytes` at a time with `pause` between
    };

    Kind kind = Kind::answer;
    // Exact path, or a prefix when it ends in "*". The query does not take part.
    std::string path;
    std::string method; // empty: every method
    // Calls this fault still applies to; negative: until cleared.
    int remaining = 1;

    int status = 0;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::chrono::milliseconds pause{0};
    size_t bytes = 0;
    // drop: the service acts on the request first, so only its answer is lost; delay: the
    // service acts on it first, and its answer waits.
    bool afterHandling = false;

    bool matches(const std::string &requestMethod, const std::string &requestPath) const
    {
        if (!method.empty() && method != requestMethod)
            return false;
        if (!path.empty() && path.back() == '*')
            return requestPath.compare(0, path.size() - 1, path, 0, path.size() - 1) == 0;
        return path == requestPath;
    }
};

} // namespace quillmere::test
