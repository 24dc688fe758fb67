#pragma once

#include "support/LocalServer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace quillmere::test {

// Registers the handler for every method the client sends.
inline void routeAll(httplib::Server &server, const std::string &pattern, const httplib::Server::Handler &handler)
{
    server.Get(pattern, handler);
    server.Post(pattern, handler);
    server.Put(pattern, handler);
    server.Delete(pattern, handler);
    server.Patch(pattern, handler);
}

// Answers with the request's body and, in X-Seen-* headers, what the server received.
inline void addEcho(LocalServer &local, const std::string &pattern = "/echo")
{
    routeAll(local.server(), pattern, [&local](const httplib::Request &req, httplib::Response &res) {
        ++local.hits;
        res.set_header("X-Seen-Method", req.method);
        res.set_header("X-Seen-Target", req.target);
        const auto seen = [&req](const char *name) {
            return req.has_header(name) ? req.get_header_value(name) : std::string("(none)");
        };
        res.set_header("X-Seen-Authorization", seen("Authorization"));
        res.set_header("X-Seen-Shard", seen("X-Shard-Id"));
        res.set_header("X-Seen-Length", std::to_string(req.body.size()));
        res.set_content(req.body, "application/octet-stream");
    });
}

} // namespace quillmere::test
