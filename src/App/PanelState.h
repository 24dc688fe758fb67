#pragma once

#include "Engine/DAWLivenessReporter.h"
#include "Engine/LaneActivity.h"
#include "Platform/Async/Clock.h"
#include "Platform/Async/TaskHandle.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>
#include <optional>
#include <stop_token>

namespace quillmere {

class AuthState;
class ModelContainer;
class ModelContext;
class SyncEngine;
struct StoreChanges;

// A file the service reported a conflict for, as the panel lists it.
struct ConflictItem
{
    QString localPath;
    QString filename;
    QString folderName;
    // The service's text for the conflict; empty when it sent none.
    QString message;
    // Which conflict it is (its id, kind and the other version): Acknowledge acts only on the
    // conflict the user saw.
    std::optional<qint64> conflictID = std::nullopt;
    std::optional<QString> kind = std::nullopt;
    std::optional<QString> otherVersion = std::nullopt;

    friend bool operator==(const ConflictItem &, const ConflictItem &) = default;
};

// What the panel shows below the status line.
struct PanelDetails
{
    // The multi-device warning waiting for the user.
    std::optional<DAWLivenessReporter::Warning> warning;
    QList<ConflictItem> conflicts;
    // Newest first, at most SyncEngine::maxRecentSyncedFiles.
    QList<RecentFile> recentFiles;
    // Newest first: the failure text per file.
    QList<RecentFile> syncErrors;

    friend bool operator==(const PanelDetails &, const PanelDetails &) = default;
};

// The panel's own reading and writing, beside the status the session makes: the liveness
// reporter's warning and its two answers, the records in conflict (read and acknowledged
// through the panel's own model context, and followed as the store changes), the engine's
// recent files and errors, and the account summary's maintenance flag, asked for when the
// panel opens and at most once per maintenanceCheckInterval.
//
// Main thread. The engine, the sign-in state and the clock outlive it.
class PanelState : public QObject
{
    Q_OBJECT

public:
    static constexpr Clock::Duration maintenanceCheckInterval = std::chrono::seconds(60);
    // Saves of tracked files come in bursts while syncing: the conflict list is read once
    // per burst.
    static constexpr std::chrono::milliseconds conflictRefreshDelay{300};
    // The most conflicts the panel reads (and lists).
    static constexpr int maxConflicts = 50;

    PanelState(SyncEngine &engine, AuthState &auth, std::shared_ptr<ModelContainer> container, Clock &clock,
               QObject *parent = nullptr);
    ~PanelState() override;

    const PanelDetails &details() const { return m_details; }

    // "Dismiss": the warning goes until the service raises it again.
    void dismissWarning();
    // "Don't show again": no reply raises a warning from now on (kept across starts).
    void stopWarnings();
    // The user has seen the conflict: the record is synced again (one owed an upload of a
    // later edit stays owed) and its conflict forgotten, saved at once. False when the record
    // is gone or no longer in conflict.
    bool acknowledgeConflict(const QString &localPath);
    // The panel was put on screen: the account's maintenance flag is read again when the last
    // reading is older than maintenanceCheckInterval.
    void panelOpened();
    bool isCheckingMaintenance() const { return m_maintenanceTask.isRunning(); }

Q_SIGNALS:
    void changed();

private:
    void storeSaved(const StoreChanges &changes);
    void connectionChanged();
    void refreshConflicts();
    void update();
    QCoro::Task<> checkMaintenance(std::stop_token stop);

    SyncEngine &m_engine;
    AuthState &m_auth;
    std::shared_ptr<ModelContainer> m_container;
    Clock &m_clock;
    std::shared_ptr<ModelContext> m_context;
    QList<ConflictItem> m_conflicts;
    QTimer m_conflictRefresh;
    std::optional<Clock::Duration> m_maintenanceCheckedAt;
    TaskHandle m_maintenanceTask;
    PanelDetails m_details;
};

} // namespace quillmere
