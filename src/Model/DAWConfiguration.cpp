#include "Model/DAWConfiguration.h"

#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"

namespace quillmere {

DAWConfiguration::DAWConfiguration(QString appName, QString appBundlePath, SyncRulePriority priorityWhenOpen,
                                   SyncRulePriority priorityWhenClosed, bool isEnabled, qint64 sortOrder)
    : RecordOf(Data{std::move(appName), std::move(appBundlePath), priorityWhenOpen, priorityWhenClosed, isEnabled,
                    sortOrder})
{
}

const TableLayout<DAWConfigurationData> &DAWConfiguration::layout()
{
    using D = Data;
    static const TableLayout<D> s(
        QStringLiteral("DAWConfiguration"), typeIndex,
        {
            column<&D::appName, D>("appName", "TEXT NOT NULL"),
            column<&D::appBundlePath, D>("appBundlePath", "TEXT NOT NULL"),
            column<&D::priorityWhenOpen, D>("priorityWhenOpen", "TEXT NOT NULL"),
            column<&D::priorityWhenClosed, D>("priorityWhenClosed", "TEXT NOT NULL"),
            column<&D::isEnabled, D>("isEnabled", "INTEGER NOT NULL"),
            column<&D::sortOrder, D>("sortOrder", "INTEGER NOT NULL"),
        },
        {}, QString(), [] { return std::static_pointer_cast<Record>(std::make_shared<DAWConfiguration>()); });
    return s;
}

FetchDescriptor<DAWConfiguration> DAWConfiguration::all()
{
    FetchDescriptor<DAWConfiguration> d;
    d.sortBy(Field::sortOrder);
    return d;
}

FetchDescriptor<DAWConfiguration> DAWConfiguration::enabled()
{
    FetchDescriptor<DAWConfiguration> d;
    d.equals(Field::isEnabled, true).sortBy(Field::sortOrder);
    return d;
}

std::vector<std::shared_ptr<SyncRule>> DAWConfiguration::rules() const
{
    if (!context() || isDeleted())
        return {};
    return context()->rulesOf(*this);
}

std::vector<std::shared_ptr<SyncFolder>> DAWConfiguration::associatedFolders() const
{
    if (!context() || isDeleted())
        return {};
    return context()->foldersLinkedTo(*this);
}

} // namespace quillmere
