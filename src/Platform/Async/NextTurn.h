#pragma once

#include <coroutine>

namespace quillmere {

// co_await NextTurn{} suspends and resumes on a later turn of the calling thread's event loop.
struct NextTurn
{
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) const;
    void await_resume() const noexcept {}
};

} // namespace quillmere
