#include "Engine/DAWLivenessReporter.h"

#include "Accounts/DeviceIdentity.h"
#include "Engine/DAWRunningStateProvider.h"
#include "Model/EnumStrings.h"
#include "Model/ModelContext.h"
#include "Model/StoreError.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/Clock.h"
#include "Platform/Settings/UserDefaults.h"

#include <QLoggingCategory>

#include <algorithm>
#include <exception>
#include <vector>

namespace quillmere {

namespace {

Q_LOGGING_CATEGORY(lcLiveness, "app.quillmere.Quillmere.DAWLivenessReporter")

} // namespace

QString DAWLivenessReporter::defaultWarningMessage()
{
    return QStringLiteral("The same project is open on more than one device while syncing. Saving now can "
                          "overwrite freshly synced changes with an out-of-date version.");
}

DAWLivenessReporter::DAWLivenessReporter(std::shared_ptr<LibraryAPIClient> apiClient, Clock &clock,
                                         std::shared_ptr<DAWRunningStateProvider> runningState, QObject *parent)
    : QObject(parent)
    , m_optedOut(UserDefaults::standard().boolean(optOutKey()).value_or(false))
    , m_apiClient(std::move(apiClient))
    , m_clock(clock)
    , m_runningState(std::move(runningState))
{
}

// The handles stop the cycles and reports; each finds the reporter gone when it resumes.
DAWLivenessReporter::~DAWLivenessReporter() = default;

void DAWLivenessReporter::setActiveWarning(std::optional<Warning> warning)
{
    if (m_activeWarning == warning)
        return;
    m_activeWarning = std::move(warning);
    Q_EMIT activeWarningChanged();
}

void DAWLivenessReporter::setOptedOut(bool value)
{
    if (!UserDefaults::standard().setBool(optOutKey(), value))
        qCWarning(lcLiveness) << "The opt-out could not be saved";
    if (m_optedOut == value)
        return;
    m_optedOut = value;
    Q_EMIT optedOutChanged();
}

void DAWLivenessReporter::setModelContext(std::shared_ptr<ModelContext> context)
{
    if (m_modelContext == context)
        return;
    m_modelContext = std::move(context);
    // Their folders belong to the store before.
    m_inFlight.clear();
}

void DAWLivenessReporter::start()
{
    if (m_timer.isRunning())
        return;
    const QPointer<DAWLivenessReporter> self(this);
    Clock &clock = m_clock;
    auto body = [self, &clock](std::stop_token stop) { return timerLoop(self, clock, std::move(stop)); };
    m_timer = TaskHandle::start(std::move(body));
    tick();
}

void DAWLivenessReporter::stopTimer()
{
    m_timer = TaskHandle();
    m_inFlight.clear();
}

QCoro::Task<> DAWLivenessReporter::timerLoop(QPointer<DAWLivenessReporter> self, Clock &clock, std::stop_token stop)
{
    for (;;) {
        auto sleeping = clock.sleepFor(interval, stop);
        // A deadline reached before a stop was delivered still wakes the sleeper as slept.
        if (!co_await std::move(sleeping) || !self || stop.stop_requested())
            co_return;
        self->tick();
    }
}

void DAWLivenessReporter::tick()
{
    if (!m_modelContext)
        return;
    std::vector<std::shared_ptr<SyncFolder>> folders;
    try {
        folders = m_modelContext->fetch(SyncFolder::enabledByOrder());
    } catch (const StoreError &error) {
        qCWarning(lcLiveness) << "Sync folders could not be read:" << error.what();
    }
    if (folders.empty())
        return;

    struct OpenFolder
    {
        std::shared_ptr<SyncFolder> folder;
        std::optional<QString> dawName;
    };
    std::vector<OpenFolder> open;
    bool unknown = false;
    for (const auto &folder : folders) {
        // Whether its guards hold this device's sync plays no part: the warning is about the
        // project being open on another device too.
        const RunningGuards guards = m_runningState->runningGuards(*folder, *m_modelContext);
        if (guards.assumed) {
            unknown = true;
            continue;
        }
        if (!guards.any())
            continue;
        open.push_back({folder, guards.profileNames.isEmpty() ? std::nullopt
                                                               : std::optional<QString>(guards.profileNames.first())});
    }
    if (open.empty()) {
        // Nothing open here any more: whatever was warned about is over. Unknown is not closed.
        if (!unknown)
            setActiveWarning(std::nullopt);
        return;
    }

    std::erase_if(m_inFlight, [](const auto &entry) { return !entry.second.isRunning(); });
    const QString deviceID = DeviceIdentity::deviceID();
    const QString deviceName = DeviceIdentity::deviceName();
    const QPointer<DAWLivenessReporter> self(this);
    for (const OpenFolder &entry : open) {
        const QUuid folderID = entry.folder->stableID();
        // Its reply is still owed: a second report could be answered first.
        if (m_inFlight.contains(folderID))
            continue;
        Report report{folderID, rawValue(entry.folder->folderType()), entry.dawName, deviceID, deviceName};
        auto body = [self, apiClient = m_apiClient, report = std::move(report)](std::stop_token stop) {
            return send(self, apiClient, report, std::move(stop));
        };
        m_inFlight[folderID] = TaskHandle::start(std::move(body));
    }
}

bool DAWLivenessReporter::isReporting() const
{
    return std::any_of(m_inFlight.begin(), m_inFlight.end(), [](const auto &entry) { return entry.second.isRunning(); });
}

QCoro::Task<> DAWLivenessReporter::send(QPointer<DAWLivenessReporter> self, std::shared_ptr<LibraryAPIClient> apiClient,
                                        Report report, std::stop_token stop)
{
    std::optional<LibraryAPIClient::DAWLivenessReply> reply;
    try {
        auto sending =
            apiClient->reportDAWLiveness(report.deviceID, report.sourceKey, report.dawName, report.deviceName, stop);
        reply = co_await std::move(sending);
    } catch (const std::exception &) {
        // Any failure leaves everything as it was; the next cycle reports again.
    }
    if (!reply || !self || stop.stop_requested())
        co_return;
    self->applyReply(report, *reply);
}

void DAWLivenessReporter::applyReply(const Report &report, const LibraryAPIClient::DAWLivenessReply &reply)
{
    // The folder may have been deleted or switched off meanwhile (a wipe deletes them all).
    if (!m_modelContext)
        return;
    std::shared_ptr<SyncFolder> folder;
    try {
        folder = m_modelContext->fetchFirst(SyncFolder::withStableID(report.folderID));
    } catch (const StoreError &error) {
        qCWarning(lcLiveness) << "Sync folder could not be read again:" << error.what();
        return;
    }
    if (!folder || !folder->isEnabled())
        return;
    handleReport(reply, report.sourceKey);
}

void DAWLivenessReporter::handleReport(const LibraryAPIClient::DAWLivenessReply &reply, const QString &sourceKey)
{
    if (m_optedOut)
        return;
    const bool sameSource = m_activeWarning && m_activeWarning->sourceKey == sourceKey;
    if (!reply.warn) {
        if (sameSource)
            setActiveWarning(std::nullopt);
        return;
    }
    // A warning already shown for this source stays as it is: the panel keeps its identity.
    if (sameSource)
        return;
    setActiveWarning(Warning{QUuid::createUuid(), sourceKey, reply.message.value_or(defaultWarningMessage()),
                             reply.peerDeviceNames});
}

} // namespace quillmere
