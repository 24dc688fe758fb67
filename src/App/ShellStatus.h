#pragma once

#include "Engine/SyncEngineState.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QString>

#include <optional>

namespace quillmere {

// What the tray icon, its menu, the panel and the main window's signed-in page show, read from
// the engine, the network monitor and the sign-in state in one piece. Made by AppSession.
struct ShellStatus
{
    // Linked, and not being unlinked.
    bool connected = false;
    bool networkAvailable = true;
    // A stored sign-in waits for the network or for the keyring before it can be checked.
    bool waitingForNetwork = false;
    bool waitingForVault = false;
    // Why the stored sign-in could not be confirmed, when the failure names a cause (a refused
    // certificate); empty otherwise.
    QString waitingCause;

    // The account of the stored sign-in cannot be confirmed yet (the service does not answer)
    // while this computer holds sync records: syncing waits, nothing is wiped on an unknown.
    bool awaitingAccount = false;
    // Why a linked account does not sync otherwise (another account's data could not be
    // cleared); absent when nothing holds it back.
    std::optional<QString> sessionProblem;
    // The service could not be reached: the engine waits before it asks again.
    bool hibernating = false;
    double hibernationInterval = 0;
    bool storageFull = false;
    bool paused = false;
    SyncEngineState engineState;
    // Some enabled folder has a location on this computer.
    bool hasFolders = false;
    bool hasLanes = false;
    qint64 filesPending = 0;
    qint64 filesSyncing = 0;
    // Files that failed for good and wait in error (the panel's errors say why).
    qint64 filesInError = 0;
    // Conflicts waiting for the user's Acknowledge (the panel lists them).
    qint64 conflictsToReview = 0;
    std::optional<QString> currentFileName;
    std::optional<QDateTime> lastSyncAt;
    std::optional<QString> heldDownloadNotice;
    bool syncingNow = false;
    // Since when no request to the service got an answer (none while the last one did).
    std::optional<QDateTime> unreachableSince;
    // Why, when the transport could name it (a refused certificate).
    QString unreachableCause;
    // The account summary says the service is in maintenance.
    bool maintenance = false;
    // A multi-device warning waits in the panel.
    bool warningWaiting = false;

    // Whether the engine offers the operation at all (see EngineActions).
    bool syncNowAvailable = false;
    bool pauseAvailable = false;

    bool operator==(const ShellStatus &) const = default;
};

// The tray icon's states; where several hold, the first in this order wins.
enum class TrayIconState {
    offline,      // no network path
    disconnected, // not linked
    hibernating,  // the service cannot be reached (no answer lately, or hibernation), or the
                  // account cannot be confirmed yet
    error,        // a lane failed, or the session cannot start
    storageFull,
    paused,
    syncing,
    noFolders, // linked, but no folder has a location here
    idle,
};

TrayIconState trayIconState(const ShellStatus &status);
// The state in words: the panel's line and the icon's tooltip.
QString statusLine(const ShellStatus &status);
// The panel's banner above the line ("No internet connection", held downloads); empty when none.
QString statusBanner(const ShellStatus &status);
// Whether "Sync Now" and the pause toggle may be chosen, and the toggle's title. Pausing needs
// a lane to pause; resuming is always offered while paused.
bool canSyncNow(const ShellStatus &status);
bool canTogglePause(const ShellStatus &status);
QString pauseActionTitle(const ShellStatus &status);
// The icon's tooltip: the line, and a word of a multi-device warning waiting in the panel.
QString trayToolTip(const ShellStatus &status);
// Whether the icon carries its dot: something waits in the panel for the user (a multi-device
// warning, files that could not sync, conflicts to review).
bool trayBadge(const ShellStatus &status);

// For lines and titles: QCoreApplication::translate in the context "ShellStatus".
QString shellText(const char *text);

} // namespace quillmere
