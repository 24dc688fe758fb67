#pragma once

#include <exception>
#include <stop_token>

namespace quillmere {

// Thrown out of an operation that stopped because its stop token was requested.
// Never shown or counted as a failure.
class CancelledError : public std::exception
{
public:
    const char *what() const noexcept override { return "cancelled"; }
};

inline void throwIfStopped(const std::stop_token &token)
{
    if (token.stop_requested())
        throw CancelledError();
}

} // namespace quillmere
