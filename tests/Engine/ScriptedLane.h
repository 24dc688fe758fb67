#pragma once

#include "Engine/SyncLaneInterface.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/NextTurn.h"
#include "Platform/Async/TaskHandle.h"
#include "Platform/Async/WaitQueue.h"

#include <functional>
#include <memory>
#include <vector>

namespace quillmere::test {

// A lane that only counts what the engine asks of it; a test sets its fields and reports
// through the callbacks itself.
class ScriptedLane : public SyncLaneInterface
{
public:
    explicit ScriptedLane(const LaneServices &services)
        : SyncLaneInterface(services.folder->stableID(), services.folder), services(services)
    {
    }

    void start() override
    {
        ++starts;
        if (onStart)
            onStart(*this);
    }
    void stop() override
    {
        ++stops;
        setSyncState(SyncEngineState::idle());
    }
    void pause() override
    {
        ++pauses;
        setIsPaused(true);
        setSyncState(SyncEngineState::paused());
    }
    void refreshPriority() override { ++priorityRefreshes; }
    // Records the failure count it starts with; waits for the gate while a test holds one.
    // Answers what the test put in deltaPassFailure.
    QCoro::Task<std::optional<QString>> performDeltaSync() override
    {
        failuresAtDeltaPass.push_back(deltaFailures);
        if (const auto gate = deltaPassGate)
            co_await gate->wait();
        ++deltaPassesEnded;
        co_return deltaPassFailure;
    }
    QCoro::Task<> reset() override
    {
        ++resets;
        co_return;
    }
    void resetDeltaFailureCount() override { deltaFailures = 0; }
    void retryFailedFiles() override { ++failedFileRetries; }
    void storageAvailable() override { ++storageReleases; }
    void networkChanged() override { ++networkChanges; }
    void conflictAcknowledged(const QString &, bool) override { ++acknowledgedConflicts; }

    // Gives up on the next turn from inside a coroutine of its own, as the watchdog does, and
    // touches nothing of itself after the report.
    void dieOnNextTurn()
    {
        m_dying = TaskHandle::start([this](std::stop_token) { return giveUp(this); });
    }

    LaneServices services;
    std::function<void(ScriptedLane &)> onStart;
    int starts = 0;
    int stops = 0;
    int pauses = 0;
    int priorityRefreshes = 0;
    int resets = 0;
    int storageReleases = 0;
    int networkChanges = 0;
    int failedFileRetries = 0;
    int acknowledgedConflicts = 0;
    int deltaFailures = 0;
    std::vector<int> failuresAtDeltaPass; // one entry per delta pass begun
    int deltaPassesEnded = 0;
    std::shared_ptr<WaitQueue> deltaPassGate;
    std::optional<QString> deltaPassFailure;

private:
    static QCoro::Task<> giveUp(ScriptedLane *self)
    {
        co_await NextTurn{};
        self->notifyLaneDied();
        co_return;
    }

    TaskHandle m_dying;
};

// Builds scripted lanes and remembers them (weakly: the engine owns them).
struct ScriptedLaneFactory
{
    std::vector<std::weak_ptr<ScriptedLane>> made;
    std::function<void(ScriptedLane &)> onStart;

    LaneFactory factory()
    {
        return [this](const LaneServices &services) {
            auto lane = std::make_shared<ScriptedLane>(services);
            lane->onStart = onStart;
            made.push_back(lane);
            return std::static_pointer_cast<SyncLaneInterface>(lane);
        };
    }
};

} // namespace quillmere::test
