#include "Model/SyncFolder.h"

#include "Model/DAWConfiguration.h"
#include "Model/ModelContext.h"

namespace quillmere {

SyncFolder::SyncFolder(QString name, FolderType folderType, std::optional<QString> folderPath,
                       QStringList fileExtensions, SyncMode syncMode, bool isEnabled, qint64 sortOrder, bool allDAWs,
                       std::optional<SyncRulePriority> defaultSyncPriority, bool applicationGuardsEnabled,
                       std::vector<std::shared_ptr<DAWConfiguration>> associatedDAWs, std::optional<QUuid> stableID)
{
    m_d.stableID = stableID ? *stableID : QUuid::createUuid();
    m_d.name = std::move(name);
    m_d.folderType = folderType;
    m_d.folderPath = std::move(folderPath);
    m_d.fileExtensions = std::move(fileExtensions);
    m_d.syncMode = syncMode;
    m_d.isEnabled = isEnabled;
    m_d.sortOrder = sortOrder;
    m_d.allDAWs = allDAWs;
    m_d.storedDefaultSyncPriority = defaultSyncPriority;
    m_d.applicationGuardsEnabled = applicationGuardsEnabled;
    m_d.associatedDAWs = std::move(associatedDAWs);
}

const TableLayout<SyncFolderData> &SyncFolder::layout()
{
    using D = Data;
    static const TableLayout<D> s(
        QStringLiteral("SyncFolder"), typeIndex,
        {
            column<&D::stableID, D>("stableID", "TEXT NOT NULL"),
            column<&D::name, D>("name", "TEXT NOT NULL"),
            column<&D::folderType, D>("folderType", "TEXT NOT NULL"),
            column<&D::folderPath, D>("folderPath", "TEXT"),
            column<&D::fileExtensions, D>("fileExtensions", "TEXT NOT NULL"),
            column<&D::syncMode, D>("syncMode", "TEXT NOT NULL"),
            column<&D::isEnabled, D>("isEnabled", "INTEGER NOT NULL"),
            column<&D::sortOrder, D>("sortOrder", "INTEGER NOT NULL"),
            column<&D::needsResync, D>("needsResync", "INTEGER NOT NULL DEFAULT 0"),
            column<&D::deltaCursor, D>("deltaCursor", "TEXT"),
            column<&D::headCommitSha, D>("headCommitSha", "TEXT"),
            column<&D::allDAWs, D>("allDAWs", "INTEGER NOT NULL"),
            column<&D::applicationGuardsEnabled, D>("applicationGuardsEnabled", "INTEGER NOT NULL DEFAULT 1"),
            column<&D::storedDefaultSyncPriority, D>("storedDefaultSyncPriority", "TEXT"),
        },
        {
            QStringLiteral("CREATE INDEX SyncFolder_stableID ON SyncFolder(stableID)"),
            QStringLiteral("CREATE INDEX SyncFolder_isEnabled_sortOrder ON SyncFolder(isEnabled, sortOrder)"),
            // Both sides nullify: deleting either end removes only the link rows.
            QStringLiteral("CREATE TABLE SyncFolder_associatedDAWs ("
                           "folder INTEGER NOT NULL REFERENCES SyncFolder(pk) ON DELETE CASCADE, "
                           "daw INTEGER NOT NULL REFERENCES DAWConfiguration(pk) ON DELETE CASCADE, "
                           "PRIMARY KEY (folder, daw)) WITHOUT ROWID"),
            QStringLiteral("CREATE INDEX SyncFolder_associatedDAWs_daw ON SyncFolder_associatedDAWs(daw)"),
        },
        QString(), [] { return std::static_pointer_cast<Record>(std::make_shared<SyncFolder>()); });
    return s;
}

FolderScope SyncFolder::scope() const
{
    if (policy().flat)
        return FolderScope::rootFiles(fileExtensions());
    return FolderScope::wholeTree();
}

FetchDescriptor<SyncFolder> SyncFolder::all()
{
    FetchDescriptor<SyncFolder> d;
    d.sortBy(Field::sortOrder);
    return d;
}

FetchDescriptor<SyncFolder> SyncFolder::enabledByOrder()
{
    FetchDescriptor<SyncFolder> d;
    d.equals(Field::isEnabled, true).sortBy(Field::sortOrder);
    return d;
}

FetchDescriptor<SyncFolder> SyncFolder::withStableID(const QUuid &id)
{
    FetchDescriptor<SyncFolder> d;
    d.equals(Field::stableID, id).limitTo(1);
    return d;
}

SyncRulePriority SyncFolder::defaultSyncPriority() const
{
    return m_d.storedDefaultSyncPriority.value_or(SyncRulePriority::high);
}

void SyncFolder::setDefaultSyncPriority(SyncRulePriority value)
{
    setStoredDefaultSyncPriority(value);
}

const std::vector<std::shared_ptr<DAWConfiguration>> &SyncFolder::heldDAWs() const
{
    auto &d = const_cast<Data &>(m_d);
    if (!d.associatedDAWs) {
        if (context() && persistentID())
            d.associatedDAWs = context()->loadAssociatedDAWs(persistentID());
        else
            d.associatedDAWs.emplace();
    }
    return *d.associatedDAWs;
}

std::vector<std::shared_ptr<DAWConfiguration>> SyncFolder::associatedDAWs() const
{
    std::vector<std::shared_ptr<DAWConfiguration>> live;
    for (const auto &daw : heldDAWs())
        if (daw && !daw->isDeleted())
            live.push_back(daw);
    return live;
}

void SyncFolder::setAssociatedDAWs(std::vector<std::shared_ptr<DAWConfiguration>> value)
{
    heldDAWs(); // loads the stored list so that a rollback returns to it
    std::optional<std::vector<std::shared_ptr<DAWConfiguration>>> next(std::move(value));
    if (write(int(Field::associatedDAWs), &Data::associatedDAWs, std::move(next)) && context())
        for (const auto &daw : *m_d.associatedDAWs)
            if (daw)
                context()->adopt(daw);
}

void SyncFolder::invalidateRelations()
{
    m_d.associatedDAWs.reset();
    if (m_saved)
        m_saved->associatedDAWs.reset();
}

} // namespace quillmere
