#pragma once

#include <QCoroTask>

#include <memory>

namespace quillmere {

class SyncEngine;

// The engine's operations that the shell calls besides start and stop: the sync folders'
// hydration, "Sync Now", pause and resume, and the wipe of local sync state (a sign-out or a
// sign-in of another account). The application's implementation calls the engine's own members
// and offers all four. An implementation without one of them reports it unavailable: the shell
// then leaves the matching menu item disabled, starts without hydrating, and fails a sign-in
// that would need the wipe, rather than doing any of it half.
//
// Main thread. Tests of the shell give it a scripted implementation.
class EngineActions
{
public:
    virtual ~EngineActions() = default;

    virtual bool canHydrate() const = 0;
    // Once per run of the engine; a failure ends in the engine's log and hibernation.
    virtual QCoro::Task<> hydrateSyncFolders() = 0;

    virtual bool canSyncNow() const = 0;
    // One pass over the service's change feed on every lane; returns at once.
    virtual void requestManualSync() = 0;

    virtual bool canPause() const = 0;
    virtual void pauseAll() = 0;
    virtual void resumeAll() = 0;

    virtual bool canWipe() const = 0;
    // Stops the engine and removes the sync folders with their records, rules and bookmarks.
    // The engine must hold a model context, or nothing but the stop happens.
    virtual QCoro::Task<> wipeLocalState() = 0;
};

// The engine's members, called directly: every operation is available.
std::unique_ptr<EngineActions> makeEngineActions(SyncEngine &engine);

} // namespace quillmere
