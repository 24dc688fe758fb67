#include "Platform/Async/TaskGroup.h"

namespace quillmere {

TaskGroup::TaskGroup(int slots) : m_state(std::make_shared<State>())
{
    m_state->slots = std::max(slots, 1);
}

TaskGroup::~TaskGroup()
{
    m_state->stop.request_stop();
}

QCoro::Task<> TaskGroup::waitForAny()
{
    auto state = m_state;
    if (state->running == 0)
        co_return;
    co_await state->changed.wait();
}

QCoro::Task<> TaskGroup::waitForAll()
{
    auto state = m_state;
    while (state->running > 0)
        co_await state->changed.wait();
}

} // namespace quillmere
