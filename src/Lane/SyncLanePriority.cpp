// Priority scheduling: a lane runs its queue one delay after the last change, the delay chosen
// by the folder's priority, which the user's rules lower while a guarding application runs.
// `none` runs no pass at all until the priority is decided again (an application quits, the
// folder's settings change).

#include "Lane/SyncLane.h"

#include "Lane/LaneSupport.h"

#include "ServiceAPI/HarborlyAPIError.h"

#include "Accounts/KeychainVault.h"
#include "ActivityLog/SyncLogger.h"
#include "Engine/BookmarkManager.h"
#include "Engine/DAWRunningStateProvider.h"
#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"
#include "Model/SyncRule.h"

namespace quillmere {

std::optional<std::chrono::seconds> SyncLane::priorityDelay(SyncPriority priority)
{
    switch (priority) {
    case SyncPriority::high:
        return std::chrono::seconds(3);
    case SyncPriority::balanced:
        return std::chrono::seconds(300);
    case SyncPriority::low:
        return std::chrono::seconds(1800);
    case SyncPriority::none:
        break;
    }
    return std::nullopt;
}

QList<RuleSnapshot> SyncLane::fetchSyncRules()
{
    std::vector<std::shared_ptr<SyncRule>> rules;
    try {
        rules = m_modelContext->fetch(SyncRule::sortedByOrder());
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::read, "reading the sync rules", error);
        return {};
    }
    QList<RuleSnapshot> snapshots;
    for (const auto &rule : rules) {
        // What a folder may do while an application is closed is its default priority's say.
        if (rule->conditionType() == SyncRuleConditionType::appNotRunning)
            continue;
        snapshots.append({rule->isEnabled(), rule->sortOrder(), rule->conditionType(), rule->conditionValue(),
                          rule->actionLocation(), rule->actionPriority()});
    }
    return snapshots;
}

SyncPriority SyncLane::resolvePriority(const QSet<QString> &guards)
{
    const auto &folder = syncFolder();
    if (guards.isEmpty()) {
        // `none` holds work while a guarding application runs; as the priority for when none
        // runs it would keep the folder's changes from the service for good.
        const SyncPriority stored = toSyncPriority(folder->defaultSyncPriority());
        return stored == SyncPriority::none ? SyncPriority::high : stored;
    }
    if (!m_rulesEngine)
        return SyncPriority::high;
    // A rule names its application as its profile does, which need not be the display name.
    QSet<QString> names = guards;
    if (m_dawRunningStateProvider)
        names |= m_dawRunningStateProvider->runningGuards(*folder, *m_modelContext).ruleNames();
    return m_rulesEngine->evaluate(folder->folderPath().value_or(QStringLiteral("*")), fetchSyncRules(), names);
}

void SyncLane::schedulePrioritySync(SyncPriority priority, const QByteArray &bookmark)
{
    // Every call restarts the wait: changes that keep coming keep postponing the pass.
    m_prioritySleepTask = TaskHandle();
    if (!m_started || isPaused())
        return;
    const auto delay = priorityDelay(priority);
    m_priorityHoldsPasses = !delay;
    if (!delay)
        return;
    m_failedPriorityStarts = 0;
    startPrioritySleep(*delay, bookmark);
}

void SyncLane::startPrioritySleep(Clock::Duration delay, const QByteArray &bookmark)
{
    std::weak_ptr<SyncLane> weak = weak_from_this();
    auto body = [weak, delay, bookmark](std::stop_token stop) {
        return prioritySleepThenSync(weak, delay, bookmark, std::move(stop));
    };
    m_prioritySleepTask = TaskHandle::start(std::move(body));
}

bool SyncLane::passesHeldByPriority()
{
    // Asked before every dispatch: the guards only while the hold is on.
    return m_priorityHoldsPasses && !runningGuardDAWs().isEmpty();
}

QCoro::Task<> SyncLane::prioritySleepThenSync(std::weak_ptr<SyncLane> weak, Clock::Duration delay,
                                              QByteArray bookmark, std::stop_token stop)
{
    std::shared_ptr<SyncLane> lane = co_await sleepUnpaused(weak, delay, stop);
    if (!lane || !lane->m_started)
        co_return;
    const quint64 epoch = lane->m_epoch;
    const auto bookmarks = lane->m_bookmarkManager;
    lane.reset();

    std::optional<QString> root;
    std::exception_ptr failure;
    try {
        auto resolving = bookmarks->startAccessing(bookmark);
        root = co_await std::move(resolving);
    } catch (...) {
        failure = std::current_exception();
    }
    lane = weak.lock();
    // A newer wait (a later change, a re-evaluation) owns the pass now.
    if (!lane || !lane->isCurrent(epoch, stop) || lane->isPaused()) {
        if (root)
            bookmarks->stopAccessing(*root);
        co_return;
    }
    if (failure) {
        lane->notePriorityStartFailure(failure);
        // The work stays owed; without another try it would wait for the next change.
        const auto retry = deltaSyncInterval(lane->m_failedPriorityStarts++);
        lane->startPrioritySleep(retry, bookmark);
        co_return;
    }
    lane->m_failedPriorityStarts = 0;
    // The pass may find nothing owed and end before it shows the records' failures.
    lane->clearPathFailure(lane->m_priorityFailureShown);
    // The pass ends with stop() or pause(), not with this task: a change arriving meanwhile
    // starts a new wait and leaves the transfers under way alone.
    const std::stop_token passStop = lane->m_manualPassStop.get_token();
    co_await lane->processQueue(passStop);
    bookmarks->stopAccessing(*root);
}

void SyncLane::notePriorityStartFailure(const std::exception_ptr &error)
{
    if (isNetworkError(error))
        return;
    if (isRateLimited(error)) {
        SyncLogger::shared().log(SyncLogger::Event::pendingRetry, SyncLogger::Direction::none, syncFolder()->name(),
                                 QStringLiteral("Priority sync rate limited — will retry"));
        return;
    }
    showPathFailure(m_priorityFailureShown, describeError(error));
}

QCoro::Task<> SyncLane::reevaluatePriority(std::stop_token stop)
{
    const auto self = shared_from_this();
    const quint64 epoch = m_epoch;
    // A stopped lane (access lost, folder gone) runs nothing, and a paused one stays paused:
    // no release and no pass until it is resumed.
    if (!m_started || isPaused() || !m_vault)
        co_return;
    auto reading = m_vault->entryAsync(KeychainVault::folderBookmarkKey(laneID()));
    const std::optional<QByteArray> bookmark = (co_await std::move(reading)).value;
    if (!bookmark || !isCurrent(epoch, stop) || !m_started || isPaused())
        co_return;
    if (runningGuardDAWs().isEmpty()) {
        co_await releaseHeldDownloads(*bookmark, stop);
        if (!isCurrent(epoch, stop) || isPaused())
            co_return;
    }
    // Decided after the release: an application launched meanwhile counts.
    schedulePrioritySync(resolvePriority(runningGuardDAWs()), *bookmark);
}

} // namespace quillmere
