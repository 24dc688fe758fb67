// Group commit: a pass's outcomes go to the store a few at a time, in one transaction each.
//
// A commit costs the pages it writes, not its statements: one per outcome and one per dispatch
// mark made a pass spend most of its main thread in the store. Durability per file holds all
// the same: a record is written synced only after the service confirmed its bytes, and an
// outcome still uncommitted when the process dies comes back owed; its next pass settles it by
// the hash check, without sending the bytes again. An uncommitted mark reads as owed,
// which is what the first activation makes of a "syncing" record anyway.

#include "Lane/SyncLane.h"

#include "Lane/LaneSupport.h"

#include "ActivityLog/SyncLogger.h"
#include "Model/ModelContext.h"
#include "Model/OperationResolution.h"
#include "Model/SyncFolder.h"

#include <algorithm>

namespace quillmere {

namespace {

using lane::logLine;

Clock::Duration groupWindow = SyncLane::commitGroupWindow;
int groupOutcomes = SyncLane::commitGroupOutcomes;
int groupMarks = SyncLane::commitGroupMarks;

// The group's entry of the record, or the end.
template<typename Outcomes>
auto outcomeOf(Outcomes &outcomes, const SyncFile *record)
{
    return std::find_if(outcomes.begin(), outcomes.end(), [record](const auto &held) { return held.record.get() == record; });
}

} // namespace

void SyncLane::setCommitGroupForTesting(Clock::Duration window, int outcomes)
{
    groupWindow = window;
    groupOutcomes = std::max(1, outcomes);
    groupMarks = groupOutcomes;
}

bool SyncLane::groupHolds(const SyncFile *record) const
{
    return outcomeOf(m_group.outcomes, record) != m_group.outcomes.end();
}

void SyncLane::openGroup()
{
    if (m_group.openedAt)
        return;
    m_group.openedAt = m_clock.now();
    // On the lane's clock, which tests drive; nothing waits for it but the commit.
    std::weak_ptr<SyncLane> weak = weak_from_this();
    auto body = [weak, window = groupWindow](std::stop_token stop) { return runGroupTimer(weak, window, stop); };
    m_groupTimer = TaskHandle::start(std::move(body));
}

void SyncLane::groupDispatchMark()
{
    ++m_group.marks;
    openGroup();
    // The pending changes stay few even when nothing completes (every dispatch query lays
    // them over its statement), and the dispatch that commits them waits for few pages.
    if (m_group.marks >= groupMarks || m_clock.now() - *m_group.openedAt >= groupWindow)
        flushCommitGroup();
}

void SyncLane::groupOutcome(const std::shared_ptr<SyncFile> &record, const std::shared_ptr<OperationResolution> &row)
{
    // Only an operation the lane dispatched waits for the group: its record's run ends in the
    // queue's completion, which the group's failure hands back to. Any other (a record that
    // took the place meanwhile, an operation run on its own) is saved at once, and a failed
    // save undoes its own change and throws, as it always did.
    const bool dispatched = record ? m_running.contains(record.get()) : !m_running.isEmpty();
    if (!dispatched) {
        saveJournaled(row, record);
        return;
    }
    if (row)
        m_group.rows.push_back(m_modelContext->insert(row));
    if (record) {
        auto held = outcomeOf(m_group.outcomes, record.get());
        if (held == m_group.outcomes.end()) {
            held = m_group.outcomes.insert(m_group.outcomes.end(), GroupOutcome());
            held->record = record;
        }
        // The run's latest outcome is the one a failed commit looks for.
        const Running run = m_running.value(record.get());
        held->owed = run.owed;
        held->retries = run.retries;
        held->status = record->syncStatus();
        held->desired = record->desiredState();
        held->generation = record->generation();
        held->localPath = record->localPath();
        held->removed = record->isDeleted();
    }
    openGroup();
    const Clock::Duration now = m_clock.now();
    // A main thread too busy for the timer still commits once the window has passed.
    if (qsizetype(m_group.outcomes.size()) >= groupOutcomes || now - *m_group.openedAt >= groupWindow)
        flushCommitGroup();
}

bool SyncLane::flushCommitGroup()
{
    if (!groupIsOpen())
        return true;
    // A success closes the group (didSave), a failure fails it (saveQuietly).
    if (!saveQuietly())
        return false;
    if (groupIsOpen() && !m_modelContext->hasChanges())
        closeGroup(); // everything it held was written by someone else's save already
    return true;
}

QCoro::Task<> SyncLane::runGroupTimer(std::weak_ptr<SyncLane> weak, Clock::Duration window, std::stop_token stop)
{
    Clock *clock = nullptr;
    if (auto lane = weak.lock())
        clock = &lane->m_clock;
    else
        co_return;
    if (!co_await clock->sleepFor(window, stop))
        co_return;
    if (auto lane = weak.lock())
        lane->flushCommitGroup();
}

void SyncLane::closeGroup()
{
    if (!groupIsOpen() && !m_group.openedAt && !m_group.headBefore)
        return;
    const CommitGroup group = std::exchange(m_group, CommitGroup());
    m_groupTimer = TaskHandle();
    // The tally followed the group's records while their outcome was unsaved; a record whose
    // operation still runs stays followed until it ends.
    for (const auto &outcome : group.outcomes)
        if (!m_running.contains(outcome.record.get()))
            m_tally.inFlight.remove(outcome.record->persistentID());
}

void SyncLane::failGroup()
{
    // Every save of the lane the store refuses comes here, whether it carried a group or not.
    ++m_failedSaves;
    if (!groupIsOpen())
        return;
    const CommitGroup group = std::exchange(m_group, CommitGroup());
    m_groupTimer = TaskHandle();
    if (group.outcomes.empty() && group.rows.empty())
        return; // marks alone: the records they mark run, and the next save writes them
    for (const auto &row : group.rows)
        m_modelContext->rollback(row);
    const auto &folder = syncFolder();
    if (group.headBefore && !folder->isDeleted())
        folder->setHeadCommitSha(*group.headBefore);
    int owedAgain = 0;
    for (const auto &outcome : group.outcomes) {
        m_tally.inFlight.remove(outcome.record->persistentID());
        if (oweOutcomeAgain(outcome))
            ++owedAgain;
    }
    m_tally.valid = false;
    if (owedAgain > 0)
        logLine(SyncLogger::Event::pendingRetry,
                QStringLiteral("The store refused %1 outcome(s) of %2: owed again, settled by their next pass")
                    .arg(QString::number(owedAgain), syncFolder()->name()));
    // The records owed again reach the store when it takes rows again (the group's journal
    // rows, a trigger's refusal among them, are gone); until then the context keeps them.
    try {
        m_modelContext->save();
    } catch (const std::exception &error) {
        traceStoreFailure(StoreStep::save, "saving the outcomes owed again", error);
    }
}

bool SyncLane::oweOutcomeAgain(const GroupOutcome &outcome)
{
    const auto &record = outcome.record;
    if (outcome.removed) {
        // The operation's own removal: nobody reaches a removed record, so taking the removal
        // back restores only what the store holds of it, unless a record took its place since.
        if (!record->isDeleted())
            return false;
        if (const auto now = fetchRecord(outcome.localPath); now && now != record)
            return false;
        m_modelContext->rollback(record);
        if (record->isDeleted() || record->state() != Record::State::persisted)
            return false;
    } else if (record->isDeleted() || record->syncStatus() != outcome.status
               || record->desiredState() != outcome.desired || record->generation() != outcome.generation
               || record->localPath() != outcome.localPath) {
        return false; // changed since its outcome: that change says what it owes
    } else if (!record->desiredState() || *record->desiredState() == SyncFileDesiredState::syncedLocal) {
        if (outcome.owed == SyncFileDesiredState::syncedLocal)
            return false;
        record->setDesiredState(outcome.owed);
    }
    // Not at once: a store that keeps refusing would have the pass take it again and again. A
    // run of it that has not ended yet leaves it so; its own completion, if still to come,
    // writes its outcome again. The completion reset the count of failed attempts (markSynced):
    // the refusal counts on from the attempts the record carried into its run, so the wait
    // grows while the store keeps refusing.
    retryOnBackOff(*record, std::max(record->retryCount(), outcome.retries) + 1);
    return true;
}

} // namespace quillmere
