#include "App/PanelState.h"

#include "Accounts/AuthState.h"
#include "Engine/SyncEngine.h"
#include "Model/LaneQueries.h"
#include "Model/ModelContainer.h"
#include "Model/ModelContext.h"
#include "Model/SyncFile.h"
#include "Model/SyncFolder.h"
#include "ServiceAPI/HarborlyAPIError.h"
#include "ServiceAPI/LibraryAPIClient.h"

#include <QLoggingCategory>

#include <algorithm>

namespace quillmere {

namespace {

Q_LOGGING_CATEGORY(panelLog, "app.quillmere.Quillmere.Panel")

} // namespace

PanelState::PanelState(SyncEngine &engine, AuthState &auth, std::shared_ptr<ModelContainer> container, Clock &clock,
                       QObject *parent)
    : QObject(parent), m_engine(engine), m_auth(auth), m_container(std::move(container)), m_clock(clock)
{
    m_conflictRefresh.setSingleShot(true);
    m_conflictRefresh.setInterval(conflictRefreshDelay);
    connect(&m_conflictRefresh, &QTimer::timeout, this, &PanelState::refreshConflicts);

    DAWLivenessReporter &reporter = engine.dawReporter();
    connect(&reporter, &DAWLivenessReporter::activeWarningChanged, this, &PanelState::update);
    connect(&engine, &SyncEngine::recentSyncedFilesChanged, this, &PanelState::update);
    connect(&engine, &SyncEngine::syncErrorsChanged, this, &PanelState::update);
    connect(&auth, &AuthState::connectionStateChanged, this, &PanelState::connectionChanged);
    if (m_container)
        connect(m_container.get(), &ModelContainer::saved, this, &PanelState::storeSaved);
    connectionChanged();
}

PanelState::~PanelState() = default;

void PanelState::dismissWarning()
{
    m_engine.dawReporter().setActiveWarning(std::nullopt);
}

void PanelState::stopWarnings()
{
    DAWLivenessReporter &reporter = m_engine.dawReporter();
    reporter.setOptedOut(true);
    reporter.setActiveWarning(std::nullopt);
}

bool PanelState::acknowledgeConflict(const QString &localPath)
{
    if (!m_context)
        return false;
    bool acknowledged = false;
    try {
        auto request = FetchDescriptor<SyncFile>().equals(SyncFile::Field::localPath, localPath).limitTo(1);
        const auto record = m_context->fetchFirst(request);
        // Only the conflict the list showed: one that replaced it since (the list follows a
        // moment later) has not been seen.
        const auto shown = std::find_if(m_conflicts.cbegin(), m_conflicts.cend(),
                                        [&localPath](const ConflictItem &item) { return item.localPath == localPath; });
        const bool seen = record && shown != m_conflicts.cend() && shown->conflictID == record->conflictID()
                          && shown->kind == record->conflictType() && shown->otherVersion == record->conflictServerOid();
        // Also a conflict whose file was edited since: the edit stays owed as it is.
        if (seen && (record->syncStatus() == SyncFileStatus::conflict || record->conflictID())) {
            record->acknowledgeConflict();
            m_context->save();
            acknowledged = true;
            if (record->folderID())
                m_engine.conflictAcknowledged(*record->folderID(), record->localPath(),
                                              record->syncStatus() == SyncFileStatus::pending);
        }
    } catch (const std::exception &error) {
        qCWarning(panelLog) << "A conflict could not be acknowledged:" << error.what();
        m_context->rollback();
    }
    // The list follows at once, not after the next burst of saves.
    refreshConflicts();
    return acknowledged;
}

void PanelState::panelOpened()
{
    if (!m_auth.connectionState().is(ConnectionState::Kind::connected) || m_maintenanceTask.isRunning())
        return;
    const Clock::Duration now = m_clock.now();
    if (m_maintenanceCheckedAt && now - *m_maintenanceCheckedAt < maintenanceCheckInterval)
        return;
    m_maintenanceCheckedAt = now;
    m_maintenanceTask = TaskHandle::start([this](std::stop_token stop) { return checkMaintenance(stop); });
}

QCoro::Task<> PanelState::checkMaintenance(std::stop_token stop)
{
    QPointer<PanelState> self(this);
    const std::shared_ptr<LibraryAPIClient> client = m_engine.apiClient();
    const quint64 generation = m_auth.signInGeneration();
    std::optional<bool> maintenance;
    try {
        auto asking = client->fetchAccount(stop);
        maintenance = (co_await std::move(asking)).maintenance;
    } catch (const std::exception &error) {
        // The next opening asks again; the flag keeps what the service last said.
        qCInfo(panelLog) << "The account summary could not be read:" << error.what();
    }
    if (!self || stop.stop_requested() || !maintenance)
        co_return;
    // A reply for a sign-in that has ended since says nothing of the account linked now.
    if (!m_auth.connectionState().is(ConnectionState::Kind::connected) || m_auth.signInGeneration() != generation)
        co_return;
    m_auth.setInMaintenanceMode(*maintenance);
}

void PanelState::storeSaved(const StoreChanges &changes)
{
    auto isFile = [](const StoreChanges::Entry &entry) { return entry.type == QLatin1String("SyncFile"); };
    if (std::any_of(changes.inserted.begin(), changes.inserted.end(), isFile)
        || std::any_of(changes.changed.begin(), changes.changed.end(), isFile)
        || std::any_of(changes.deleted.begin(), changes.deleted.end(), isFile)) {
        if (!m_conflictRefresh.isActive())
            m_conflictRefresh.start();
    }
}

void PanelState::connectionChanged()
{
    const bool connected = m_auth.connectionState().is(ConnectionState::Kind::connected);
    if (!connected) {
        // The next account is asked afresh; this one's answer is not its.
        m_maintenanceTask = TaskHandle();
        m_maintenanceCheckedAt.reset();
    }
    refreshConflicts();
}

void PanelState::refreshConflicts()
{
    m_conflictRefresh.stop();
    QList<ConflictItem> conflicts;
    if (m_container && m_auth.connectionState().is(ConnectionState::Kind::connected)) {
        if (!m_context)
            m_context = std::make_shared<ModelContext>(m_container);
        try {
            // Indexed queries per folder (the folder and status lead the dispatch index).
            for (const auto &folder : m_context->fetch(FetchDescriptor<SyncFolder>().sortBy(SyncFolder::Field::sortOrder))) {
                if (conflicts.size() >= maxConflicts)
                    break;
                const int room = maxConflicts - int(conflicts.size());
                for (const auto &record : fetchConflictsToReview(*m_context, folder->stableID(), room))
                    conflicts.append(ConflictItem{record->localPath(), record->filename(), folder->name(),
                                                  record->conflictMessage().value_or(QString()),
                                                  record->conflictID(), record->conflictType(),
                                                  record->conflictServerOid()});
            }
        } catch (const std::exception &error) {
            qCWarning(panelLog) << "The conflicts could not be read:" << error.what();
        }
    }
    m_conflicts = std::move(conflicts);
    update();
}

void PanelState::update()
{
    PanelDetails details;
    details.warning = m_engine.dawReporter().activeWarning();
    details.conflicts = m_conflicts;
    details.recentFiles = m_engine.recentSyncedFiles();
    details.syncErrors = m_engine.syncErrors();
    if (details == m_details)
        return;
    m_details = std::move(details);
    Q_EMIT changed();
}

} // namespace quillmere
