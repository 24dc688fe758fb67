#include "Engine/DAWRunningStateProvider.h"

#include "Model/DAWConfiguration.h"
#include "Model/ModelContext.h"
#include "Model/StoreError.h"
#include "Model/SyncFolder.h"
#include "Platform/Workspace/ApplicationEvents.h"

#include <QLoggingCategory>

namespace quillmere {

namespace {

Q_LOGGING_CATEGORY(lcDAWDetection, "app.quillmere.Quillmere.DAWRunningStateProvider")

std::vector<std::shared_ptr<DAWConfiguration>> guardingProfiles(const SyncFolder &folder,
                                                                ModelContext &context)
{
    if (!folder.allDAWs())
        return folder.associatedDAWs();
    try {
        return context.fetch(DAWConfiguration::enabled());
    } catch (const StoreError &error) {
        qCWarning(lcDAWDetection) << "Application profiles could not be read:" << error.what();
        return {};
    }
}

} // namespace

SystemDAWRunningStateProvider::SystemDAWRunningStateProvider(ApplicationEvents &applications)
    : m_applications(&applications)
{}

RunningGuards SystemDAWRunningStateProvider::runningGuards(const SyncFolder &folder, ModelContext &context)
{
    RunningGuards guards;
    for (const auto &profile : guardingProfiles(folder, context)) {
        const std::optional<QString> identifier =
            ApplicationEvents::bundleIdentifierOf(profile->appBundlePath());
        if (!identifier)
            continue;
        const std::optional<QList<RunningApplication>> running =
            m_applications ? m_applications->runningApplicationsFor(*identifier) : std::nullopt;
        const QString profileName = profile->appName().isEmpty() ? *identifier : profile->appName();
        if (!running) {
            guards.assumed = true;
            guards.names.insert(profileName);
            guards.otherNames.insert(*identifier);
            guards.profileNames.append(profileName);
            continue;
        }
        if (running->isEmpty())
            continue;
        guards.profileNames.append(profileName);
        for (const RunningApplication &application : *running) {
            guards.names.insert(application.name.isEmpty() ? application.bundleIdentifier : application.name);
            guards.otherNames.insert(application.bundleIdentifier);
        }
        guards.otherNames.insert(*identifier);
        if (!profile->appName().isEmpty())
            guards.otherNames.insert(profile->appName());
    }
    return guards;
}

} // namespace quillmere
