#include "App/EngineActions.h"

#include "Engine/SyncEngine.h"

#include <QPointer>

#include <type_traits>

namespace quillmere {

namespace {

template<typename E>
constexpr bool hasHydration = requires(E &engine) { engine.hydrateSyncFolders(); };
template<typename E>
constexpr bool hasManualSync = requires(E &engine) { engine.requestManualSync(); };
template<typename E>
constexpr bool hasPause = requires(E &engine) {
    engine.pauseAll();
    engine.resumeAll();
};
template<typename E>
constexpr bool hasWipe = requires(E &engine) { engine.wipeLocalState(); };

// Calls the member and awaits it when it is asynchronous. The engine is held weakly: it may be
// gone when an awaited operation returns.
template<typename E, typename Call>
QCoro::Task<> callMaybeAsync(QPointer<E> engine, Call call)
{
    if (!engine)
        co_return;
    using Result = decltype(call(*engine));
    if constexpr (std::is_void_v<Result>) {
        call(*engine);
    } else {
        auto running = call(*engine);
        co_await std::move(running);
    }
}

template<typename E>
class MemberEngineActions final : public EngineActions
{
public:
    explicit MemberEngineActions(E &engine) : m_engine(&engine) {}

    bool canHydrate() const override { return hasHydration<E>; }
    QCoro::Task<> hydrateSyncFolders() override
    {
        if constexpr (hasHydration<E>) {
            auto call = [](auto &engine) { return engine.hydrateSyncFolders(); };
            return callMaybeAsync(m_engine, call);
        } else {
            return nothing();
        }
    }

    bool canSyncNow() const override { return hasManualSync<E>; }
    void requestManualSync() override
    {
        if constexpr (hasManualSync<E>) {
            if (m_engine)
                m_engine->requestManualSync();
        }
    }

    bool canPause() const override { return hasPause<E>; }
    void pauseAll() override
    {
        if constexpr (hasPause<E>) {
            if (m_engine)
                m_engine->pauseAll();
        }
    }
    void resumeAll() override
    {
        if constexpr (hasPause<E>) {
            if (m_engine)
                m_engine->resumeAll();
        }
    }

    bool canWipe() const override { return hasWipe<E>; }
    QCoro::Task<> wipeLocalState() override
    {
        if constexpr (hasWipe<E>) {
            auto call = [](auto &engine) { return engine.wipeLocalState(); };
            return callMaybeAsync(m_engine, call);
        } else {
            if (m_engine)
                m_engine->stop();
            return nothing();
        }
    }

private:
    static QCoro::Task<> nothing() { co_return; }

    QPointer<E> m_engine;
};

} // namespace

std::unique_ptr<EngineActions> makeEngineActions(SyncEngine &engine)
{
    return std::make_unique<MemberEngineActions<SyncEngine>>(engine);
}

} // namespace quillmere
