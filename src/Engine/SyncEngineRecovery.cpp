// How the engine keeps in step with the service around its lanes: the sync folders the account
// has (hydration), the wait while the service cannot be reached (hibernation), and the storage
// monitor.
#include "Engine/SyncEngine.h"

#include "ActivityLog/SyncLogger.h"
#include "Engine/DAWLivenessReporter.h"
#include "Model/DAWConfiguration.h"
#include "Model/ModelContext.h"
#include "Model/StoreError.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/Clock.h"
#include "Platform/Http/TransportError.h"
#include "ServiceAPI/HarborlyAPIError.h"
#include "ServiceAPI/LibraryAPIClient.h"

#include <QLoggingCategory>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <utility>

namespace quillmere {

namespace {

Q_LOGGING_CATEGORY(lcRecovery, "app.quillmere.Quillmere.SyncEngine")

void logProgress(SyncLogger::Event event, const QString &detail)
{
    SyncLogger::shared().log(event, SyncLogger::Direction::none, QString(), detail);
}

QString describe(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const HarborlyAPIError &apiError) {
        return apiError.errorDescription();
    } catch (const StoreError &storeError) {
        return QString::fromUtf8(storeError.what());
    } catch (const std::exception &other) {
        return QString::fromUtf8(other.what());
    } catch (...) {
        // Not an exception of ours: described by the fixed text below.
    }
    return QStringLiteral("Unknown error");
}

QStringList audioExtensions()
{
    return {QStringLiteral(".wav"), QStringLiteral(".mp3"), QStringLiteral(".aiff"), QStringLiteral(".aif"),
            QStringLiteral(".flac")};
}

// The client registers "upload_only" and "download_only"; a service that answers with the short
// words means the same. Anything else syncs both ways.
SyncFolderSyncMode hydratedSyncMode(const QString &direction)
{
    if (direction == QLatin1String("upload") || direction == QLatin1String("upload_only"))
        return SyncFolderSyncMode::uploadOnly;
    if (direction == QLatin1String("download") || direction == QLatin1String("download_only"))
        return SyncFolderSyncMode::downloadOnly;
    return SyncFolderSyncMode::bidirectional;
}

// Only the plain 8-4-4-4-12 form (either case) names a folder.
std::optional<QUuid> parsedFolderID(const QString &text)
{
    if (text.size() != 36)
        return std::nullopt;
    const QUuid id = QUuid::fromString(text);
    if (id.isNull())
        return std::nullopt;
    return id;
}

std::shared_ptr<SyncFolder> hydratedFolder(const LibraryAPIClient::RemoteSyncFolder &remote, SyncFolderType kind,
                                           const QUuid &id)
{
    const bool audio = FolderPolicy::of(hydratedSyncMode(remote.direction), kind).audioLibrary;
    // Disabled and without a location: the user chooses where it lives before it gets a lane.
    return std::make_shared<SyncFolder>(remote.name, kind, std::nullopt, audio ? audioExtensions() : QStringList(),
                                        hydratedSyncMode(remote.direction), false, remote.sortOrder, true,
                                        SyncRulePriority::high, true,
                                        std::vector<std::shared_ptr<DAWConfiguration>>{}, id);
}

} // namespace

// The client registers "reference", "unorganised" and "drive" and the service echoes them;
// "references" is read as well. The plan mirror is never registered, so a service record of
// that kind is none of ours: nothing.
std::optional<SyncFolderType> SyncEngine::registeredFolderType(const QString &text)
{
    if (text == QLatin1String("reference") || text == QLatin1String("references"))
        return SyncFolderType::references;
    if (text == QLatin1String("unorganised"))
        return SyncFolderType::unorganisedAudio;
    if (text == QLatin1String("harborly"))
        return std::nullopt;
    return SyncFolderType::projectsFolder;
}

std::vector<std::shared_ptr<SyncFolder>> SyncEngine::fetchAllFolders() const
{
    if (!m_storedModelContext)
        return {};
    try {
        return m_storedModelContext->fetch(SyncFolder::all());
    } catch (const StoreError &error) {
        qCWarning(lcRecovery) << "Sync folders could not be read:" << error.what();
        return {};
    }
}

bool SyncEngine::isServerUnreachable(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const HarborlyAPIError &apiError) {
        switch (apiError.code()) {
        case HarborlyAPIError::Code::networkError:
            return true;
        case HarborlyAPIError::Code::serverError:
            return apiError.statusCode() > 499 || apiError.statusCode() == 429;
        case HarborlyAPIError::Code::notAuthenticated:
        case HarborlyAPIError::Code::invalidResponse:
            return false;
        }
        return false;
    } catch (const TransportError &) {
        // The loading of the request itself failed: no connection, no answer, no usable answer.
        return true;
    } catch (...) {
        // Anything else (a store or local failure) is not the service's outage.
    }
    return false;
}

void SyncEngine::endRecoveryWork()
{
    ++m_recoveryEpoch;
    m_recoveryStop.source.request_stop();
    m_recoveryStop.source = std::stop_source();
}

QCoro::Task<> SyncEngine::hydrateSyncFolders()
{
    return hydrate(QPointer<SyncEngine>(this));
}

QCoro::Task<> SyncEngine::hydrate(QPointer<SyncEngine> self)
{
    if (!self || self->m_hasHydratedThisSession)
        co_return;
    // Before the context is looked at: a call without one also counts for this run.
    self->setHasHydratedThisSession(true);
    if (!self->m_storedModelContext)
        co_return;
    const quint64 epoch = self->m_recoveryEpoch;
    const std::stop_token stop = self->m_recoveryStop.source.get_token();
    const std::shared_ptr<LibraryAPIClient> client = self->m_apiClient;

    QList<LibraryAPIClient::RemoteSyncFolder> remoteFolders;
    std::exception_ptr failure;
    try {
        auto listing = client->listSyncFolders(stop);
        remoteFolders = co_await std::move(listing);
    } catch (...) {
        failure = std::current_exception();
    }
    // A stop while the request ran ends this hydration: a later one belongs to the new run.
    if (!self || self->m_recoveryEpoch != epoch || stop.stop_requested())
        co_return;

    const std::shared_ptr<ModelContext> context = self->m_storedModelContext;
    std::vector<std::shared_ptr<SyncFolder>> local;
    if (!failure && context) {
        // Read here rather than through fetchAllFolders: a store that cannot be read must not
        // pass for one without folders, or every folder of the account would be added twice.
        try {
            local = context->fetch(SyncFolder::all());
        } catch (const StoreError &) {
            failure = std::current_exception();
        }
    }
    if (failure) {
        self->setHasHydratedThisSession(false);
        if (isServerUnreachable(failure)) {
            logProgress(SyncLogger::Event::syncFailed,
                        QStringLiteral("Sync folder hydration failed (server unreachable): ") + describe(failure));
            self->enterHibernation();
        } else {
            logProgress(SyncLogger::Event::syncFailed,
                        QStringLiteral("Sync folder hydration failed: ") + describe(failure));
        }
        co_return;
    }
    if (!context)
        co_return;

    // QUuid compares by value, so ids that differ only in letter case are the same folder; the
    // store writes every id upper-case. A folder the list names twice is added once.
    QSet<QUuid> known;
    for (const auto &folder : local)
        known.insert(folder->stableID());
    int inserted = 0;
    for (const auto &remote : std::as_const(remoteFolders)) {
        const std::optional<QUuid> id = parsedFolderID(remote.uuid);
        if (!id || known.contains(*id))
            continue;
        const std::optional<SyncFolderType> kind = registeredFolderType(remote.folderType);
        if (!kind) {
            logProgress(SyncLogger::Event::syncStarted,
                        QStringLiteral("Skipped sync folder %1 from Harborly: plan folders are not hydrated")
                            .arg(remote.name));
            continue;
        }
        context->insert(hydratedFolder(remote, *kind, *id));
        known.insert(*id);
        ++inserted;
    }
    if (inserted > 0) {
        try {
            context->save();
        } catch (const StoreError &error) {
            // The records stay inserted in the context and go with its next save.
            qCWarning(lcRecovery) << "Hydrated sync folders could not be saved:" << error.what();
        }
        logProgress(SyncLogger::Event::syncStarted,
                    QStringLiteral("Hydrated %1 sync folder(s) from Harborly").arg(inserted));
    }
    self->setHibernationInterval(initialHibernationInterval);
}

void SyncEngine::enterHibernation()
{
    if (m_isHibernating)
        return;
    setIsHibernating(true);
    // Taken out of the table first: a lane that reports while it stops sees the table empty.
    auto stopped = std::exchange(m_lanes, {});
    m_refused.clear();
    for (const auto &entry : stopped)
        entry.lane->stop();
    stopped.clear();
    m_dawReporter->stopTimer();

    const double interval = m_hibernationInterval;
    logProgress(SyncLogger::Event::syncStarted, QStringLiteral("Server unreachable — hibernating for %1s before retry")
                                                    .arg(qint64(std::llround(interval))));
    // At most one retry waits: an earlier one is ended before the next starts.
    m_hibernationTask.cancel();
    const QPointer<SyncEngine> self(this);
    Clock &clock = m_clock;
    const quint64 epoch = m_recoveryEpoch;
    auto retry = [self, &clock, interval, epoch](std::stop_token stop) {
        return hibernationRetry(self, clock, interval, epoch, std::move(stop));
    };
    m_hibernationTask = TaskHandle::start(std::move(retry));
}

QCoro::Task<> SyncEngine::hibernationRetry(QPointer<SyncEngine> self, Clock &clock, double interval, quint64 epoch,
                                           std::stop_token stop)
{
    const auto wait = std::chrono::duration_cast<Clock::Duration>(std::chrono::duration<double>(interval));
    const bool slept = co_await clock.sleepFor(wait, stop);
    if (!slept || !self || self->m_recoveryEpoch != epoch)
        co_return;
    auto hydrating = self->hydrateSyncFolders();
    co_await std::move(hydrating);
    if (!self || self->m_recoveryEpoch != epoch || stop.stop_requested())
        co_return;

    if (!self->m_hasHydratedThisSession) {
        // The hydration's own failure found the engine hibernating and did nothing more: the
        // next wait starts here, longer.
        self->setHibernationInterval(std::min(self->m_hibernationInterval * 2, maximumHibernationInterval));
        self->setIsHibernating(false);
        self->enterHibernation();
        co_return;
    }
    self->setIsHibernating(false);
    if (self->hasConfiguredFolders())
        self->start();
    else if (self->hasWorkspaceObservers())
        // Started before the outage but with nothing to run now: the reporter comes back all
        // the same, or a folder enabled later would run without it.
        self->m_dawReporter->start();
    logProgress(SyncLogger::Event::syncStarted, QStringLiteral("Server recovered — resuming sync"));
}

void SyncEngine::cancelHibernation()
{
    m_hibernationTask.cancel();
    m_hibernationTask = TaskHandle();
    setIsHibernating(false);
    setHibernationInterval(initialHibernationInterval);
}

void SyncEngine::startStorageMonitor()
{
    m_storageMonitorTask.cancel();
    const QPointer<SyncEngine> self(this);
    Clock &clock = m_clock;
    auto loop = [self, &clock](std::stop_token stop) { return storageMonitorLoop(self, clock, std::move(stop)); };
    m_storageMonitorTask = TaskHandle::start(std::move(loop));
}

QCoro::Task<> SyncEngine::storageMonitorLoop(QPointer<SyncEngine> self, Clock &clock, std::stop_token stop)
{
    auto first = checkStorage(self, stop);
    co_await std::move(first);
    while (!stop.stop_requested()) {
        const bool slept = co_await clock.sleepFor(storageCheckInterval, stop);
        if (!slept)
            co_return;
        auto check = checkStorage(self, stop);
        co_await std::move(check);
    }
}

QCoro::Task<> SyncEngine::checkStorage(QPointer<SyncEngine> self, std::stop_token stop)
{
    if (!self)
        co_return;
    const std::shared_ptr<LibraryAPIClient> client = self->m_apiClient;
    const quint64 reportsBefore = self->m_storageFullReports;
    LibraryAPIClient::StorageSummary summary;
    try {
        auto fetching = client->fetchStorage(stop);
        summary = co_await std::move(fetching);
    } catch (...) {
        // Unknown: the flag stays as it is, and nothing is logged.
        co_return;
    }
    if (!self || stop.stop_requested())
        co_return;
    if (summary.isEnforced) {
        self->setIsStorageFull(true);
    } else if (self->m_storageFullReports == reportsBefore) {
        // An answer given before a 507 arrived says nothing about the storage after it.
        self->setIsStorageFull(false);
        // Also when the flag was clear already: uploads refused in an earlier run wait too.
        self->releaseStorageHolds();
    }
}

void SyncEngine::handleUploadSucceeded()
{
    const bool wasFull = m_isStorageFull;
    setIsStorageFull(false);
    if (wasFull)
        releaseStorageHolds();
}

void SyncEngine::releaseStorageHolds()
{
    // A lane may report (and the table change) from inside the call: a copy is walked.
    for (const auto &lane : lanes())
        lane->storageAvailable();
}

void SyncEngine::handleNetworkChange()
{
    for (const auto &lane : lanes())
        lane->networkChanged();
}

} // namespace quillmere
