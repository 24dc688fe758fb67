#include "App/EngineActions.h"

#include "Engine/SyncEngine.h"

#include <QPointer>

namespace quillmere {

namespace {

// The engine's own members, called by name: an engine that lost one does not build, so no
// menu item is ever turned off by a rename. The engine is held weakly: it may be gone when
// an awaited operation returns.
class MemberEngineActions final : public EngineActions
{
public:
    explicit MemberEngineActions(SyncEngine &engine) : m_engine(&engine) {}

    bool canHydrate() const override { return true; }
    QCoro::Task<> hydrateSyncFolders() override { return hydrate(m_engine); }

    bool canSyncNow() const override { return true; }
    void requestManualSync() override
    {
        if (m_engine)
            m_engine->requestManualSync();
    }

    bool canPause() const override { return true; }
    void pauseAll() override
    {
        if (m_engine)
            m_engine->pauseAll();
    }
    void resumeAll() override
    {
        if (m_engine)
            m_engine->resumeAll();
    }

    bool canWipe() const override { return true; }
    QCoro::Task<> wipeLocalState() override
    {
        if (m_engine)
            m_engine->wipeLocalState();
        return nothing();
    }

private:
    static QCoro::Task<> hydrate(QPointer<SyncEngine> engine)
    {
        if (!engine)
            co_return;
        auto hydrating = engine->hydrateSyncFolders();
        co_await std::move(hydrating);
    }
    static QCoro::Task<> nothing() { co_return; }

    QPointer<SyncEngine> m_engine;
};

} // namespace

std::unique_ptr<EngineActions> makeEngineActions(SyncEngine &engine)
{
    return std::make_unique<MemberEngineActions>(engine);
}

} // namespace quillmere
