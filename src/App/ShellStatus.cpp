#include "App/ShellStatus.h"

#include <cmath>

namespace quillmere {

QString shellText(const char *text)
{
    return QCoreApplication::translate("ShellStatus", text);
}

namespace {

// The state as if the network were there: the line keeps telling what the engine does while
// the icon shows the lost network.
TrayIconState stateOfTheAccount(const ShellStatus &status)
{
    if (!status.connected)
        return TrayIconState::disconnected;
    if (status.hibernating || status.awaitingAccount || status.unreachableSince)
        return TrayIconState::hibernating;
    if (status.sessionProblem)
        return TrayIconState::error;
    if (status.storageFull)
        return TrayIconState::storageFull;
    switch (status.engineState.kind) {
    case SyncEngineState::Kind::error:
        return TrayIconState::error;
    case SyncEngineState::Kind::syncing:
        return TrayIconState::syncing;
    case SyncEngineState::Kind::paused:
        return TrayIconState::paused;
    case SyncEngineState::Kind::idle:
        break;
    }
    if (status.paused)
        return TrayIconState::paused;
    if (status.syncingNow)
        return TrayIconState::syncing;
    if (!status.hasFolders)
        return TrayIconState::noFolders;
    return TrayIconState::idle;
}

QString timeText(const QDateTime &when)
{
    return when.toLocalTime().time().toString(QStringLiteral("HH:mm"));
}

QString waitText(double seconds)
{
    const qint64 whole = qint64(std::llround(std::max(seconds, 0.0)));
    if (whole >= 120)
        return shellText("%1 min").arg(whole / 60);
    return shellText("%1 s").arg(whole);
}

} // namespace

TrayIconState trayIconState(const ShellStatus &status)
{
    if (!status.networkAvailable)
        return TrayIconState::offline;
    return stateOfTheAccount(status);
}

QString statusLine(const ShellStatus &status)
{
    if (!status.connected) {
        if (status.waitingForVault)
            return shellText("Linked — waiting for the keyring to be unlocked");
        if (status.waitingForNetwork && !status.waitingCause.isEmpty())
            return shellText("Linked — waiting for Harborly to confirm the sign-in — %1").arg(status.waitingCause);
        if (status.waitingForNetwork)
            return shellText("Linked — waiting for Harborly to confirm the sign-in");
        return shellText("Not linked to Harborly");
    }
    const TrayIconState state = stateOfTheAccount(status);
    // What the service says of itself wins over the engine's own state, not over an outage or
    // an error.
    if (status.maintenance && state != TrayIconState::hibernating && state != TrayIconState::error)
        return shellText("Harborly is under maintenance — syncing may wait");
    switch (state) {
    case TrayIconState::offline:
    case TrayIconState::idle:
        break;
    case TrayIconState::disconnected:
        return shellText("Not linked to Harborly");
    case TrayIconState::hibernating:
        if (status.awaitingAccount && !status.hibernating)
            return shellText("Waiting for Harborly to confirm which account is linked");
        if (status.unreachableSince && !status.hibernating) {
            if (!status.unreachableCause.isEmpty())
                return shellText("Harborly cannot be reached since %1 — %2")
                    .arg(timeText(*status.unreachableSince), status.unreachableCause);
            return shellText("Harborly cannot be reached since %1").arg(timeText(*status.unreachableSince));
        }
        if (!status.unreachableCause.isEmpty())
            return shellText("Harborly cannot be reached — trying again in %1 — %2")
                .arg(waitText(status.hibernationInterval), status.unreachableCause);
        return shellText("Harborly cannot be reached — trying again in %1").arg(waitText(status.hibernationInterval));
    case TrayIconState::error:
        if (status.sessionProblem)
            return *status.sessionProblem;
        return status.engineState.message.isEmpty() ? shellText("Sync error") : status.engineState.message;
    case TrayIconState::storageFull:
        return shellText("Storage limit reached — uploads wait until space is free");
    case TrayIconState::paused:
        return shellText("Sync paused");
    case TrayIconState::syncing:
        if (status.currentFileName)
            return shellText("Syncing %1").arg(*status.currentFileName);
        if (status.filesPending > 0)
            return shellText("Syncing — %1 files waiting").arg(status.filesPending);
        return shellText("Syncing…");
    case TrayIconState::noFolders:
        return shellText("Linked — no sync folder has a location on this computer");
    }
    // Idle is not "up to date" while files wait in error or conflicts wait for the user.
    if (status.filesInError == 1)
        return shellText("1 file could not sync");
    if (status.filesInError > 1)
        return shellText("%1 files could not sync").arg(status.filesInError);
    if (status.conflictsToReview == 1)
        return shellText("1 conflict to review");
    if (status.conflictsToReview > 1)
        return shellText("%1 conflicts to review").arg(status.conflictsToReview);
    // Nor while owed work waits with nothing under way: a delete held until the service's
    // changes can be read, a retry on its back-off, a file still settling.
    if (status.filesPending == 1)
        return shellText("1 change waiting to sync");
    if (status.filesPending > 1)
        return shellText("%1 changes waiting to sync").arg(status.filesPending);
    if (status.lastSyncAt)
        return shellText("Up to date — last synced %1").arg(timeText(*status.lastSyncAt));
    return shellText("Up to date");
}

QString statusBanner(const ShellStatus &status)
{
    if (!status.networkAvailable)
        return shellText("No internet connection");
    if (status.connected && status.heldDownloadNotice)
        return *status.heldDownloadNotice;
    return QString();
}

bool canSyncNow(const ShellStatus &status)
{
    return status.syncNowAvailable && status.connected && status.hasLanes && !status.paused && !status.hibernating;
}

bool canTogglePause(const ShellStatus &status)
{
    // Nothing to pause while no folder has a lane (none has a location here).
    return status.pauseAvailable && status.connected && !status.hibernating && (status.paused || status.hasLanes);
}

QString pauseActionTitle(const ShellStatus &status)
{
    return status.paused ? shellText("Resume Sync") : shellText("Pause Sync");
}

bool trayBadge(const ShellStatus &status)
{
    return status.connected && (status.warningWaiting || status.filesInError > 0 || status.conflictsToReview > 0);
}

QString trayToolTip(const ShellStatus &status)
{
    QString tip = QStringLiteral("Quillmere — ") + statusLine(status);
    if (status.connected && status.warningWaiting)
        tip += QLatin1Char('\n') + shellText("Heads up — open on another device");
    return tip;
}

} // namespace quillmere
