#pragma once

#include "Model/SyncRule.h"

#include <vector>

namespace quillmere {

class SyncFolder;

struct DAWConfigurationData
{
    QString appName;
    QString appBundlePath;
    SyncRulePriority priorityWhenOpen = SyncRulePriority::balanced;
    SyncRulePriority priorityWhenClosed = SyncRulePriority::high;
    bool isEnabled = true;
    qint64 sortOrder = 0;
};

// An application profile: the priorities to use while the application runs and while it
// does not, its rules, and the folders it guards.
class DAWConfiguration : public RecordOf<DAWConfiguration, DAWConfigurationData>
{
public:
    using Data = DAWConfigurationData;
    enum class Field { appName, appBundlePath, priorityWhenOpen, priorityWhenClosed, isEnabled, sortOrder };
    static constexpr int typeIndex = 4;

    DAWConfiguration(QString appName, QString appBundlePath, SyncRulePriority priorityWhenOpen,
                     SyncRulePriority priorityWhenClosed, bool isEnabled, qint64 sortOrder);
    DAWConfiguration() = default;

    static const TableLayout<Data> &layout();
    static FetchDescriptor<DAWConfiguration> all();
    static FetchDescriptor<DAWConfiguration> enabled();

    QUILLMERE_FIELD(QString, appName, setAppName)
    QUILLMERE_FIELD(QString, appBundlePath, setAppBundlePath)
    QUILLMERE_FIELD(SyncRulePriority, priorityWhenOpen, setPriorityWhenOpen)
    QUILLMERE_FIELD(SyncRulePriority, priorityWhenClosed, setPriorityWhenClosed)
    QUILLMERE_FIELD(bool, isEnabled, setIsEnabled)
    QUILLMERE_FIELD(qint64, sortOrder, setSortOrder)

    // Exactly the rules whose dawConfiguration is this profile, in ascending sortOrder.
    // Deleting the profile deletes them.
    std::vector<std::shared_ptr<SyncRule>> rules() const;
    // The folders whose associatedDAWs hold this profile. Deleting the profile only
    // removes it from their lists.
    std::vector<std::shared_ptr<SyncFolder>> associatedFolders() const;
};

} // namespace quillmere
