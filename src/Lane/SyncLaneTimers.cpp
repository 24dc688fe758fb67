#include "Lane/SyncLane.h"

#include "Lane/LaneSupport.h"

#include "ActivityLog/SyncLogger.h"
#include "Model/SyncFolder.h"

#include <algorithm>

namespace quillmere {

std::chrono::seconds SyncLane::deltaSyncInterval(int failures)
{
    const auto delay = deltaSyncTick * (1 << std::clamp(failures, 0, 5));
    return std::min<std::chrono::seconds>(delay, maxDeltaSyncInterval);
}

QCoro::Task<> SyncLane::deltaSyncLoop(std::weak_ptr<SyncLane> weak, std::stop_token stop)
{
    while (!stop.stop_requested()) {
        Clock::Duration interval;
        if (const auto lane = weak.lock())
            interval = deltaSyncInterval(lane->m_consecutiveDeltaFailures);
        else
            co_return;
        // The lane is held only for the pass: a lane gone, stopped or paused by the tick ends
        // the loop (the next activation starts another), and the stop of this task ends a
        // running pass too.
        const auto lane = co_await sleepUnpaused(weak, interval, stop);
        if (!lane)
            co_return;
        co_await lane->runDeltaPass(stop);
    }
}

bool SyncLane::hasVitalSign() const
{
    const auto alive = [](const TaskHandle &task) { return task.isSet() && !task.isCancelled(); };
    return m_fileWatcher != nullptr || alive(m_deltaSyncTask) || alive(m_syncTask) || isPaused()
           || !syncFolder()->policy().hasWatcher;
}

bool SyncLane::isAccessLost() const
{
    return syncState() == SyncEngineState::error(accessLostMessage());
}

QCoro::Task<> SyncLane::livenessLoop(std::weak_ptr<SyncLane> weak, std::stop_token stop)
{
    Clock *clock = nullptr;
    if (const auto lane = weak.lock())
        clock = &lane->m_clock; // outlives every lane
    else
        co_return;
    for (;;) {
        if (!co_await clock->sleepFor(livenessPeriod, stop))
            co_return;
        const auto lane = weak.lock();
        if (!lane || stop.stop_requested())
            co_return;

        if (lane->isAccessLost() && !lane->isPaused()) {
            // An unplugged drive comes back by itself: try again.
            // An activation still deciding is left to finish.
            if (!lane->m_syncTask.isRunning())
                lane->start();
            continue;
        }
        if (lane->hasVitalSign())
            continue;

        lane::logLine(SyncLogger::Event::syncStarted,
                      QStringLiteral("Lane %1 detected no vital signs — requesting restart (apoptosis)")
                          .arg(lane->syncFolder()->name()));
        // The engine stops and replaces the lane from inside the call; `lane` keeps it alive
        // until this loop ends, and nothing of it is touched afterwards.
        lane->notifyLaneDied();
        co_return;
    }
}

} // namespace quillmere
