#include "StoreFixture.h"

#include "Model/DAWConfiguration.h"
#include "Model/SyncFile.h"
#include "support/TestSupport.h"
#include "Model/SyncFolder.h"

#include <gtest/gtest.h>

using namespace quillmere;
using quillmere::test::failureOf;
using quillmere::test::StoreFixture;

namespace {

std::shared_ptr<SyncFile> file(const QString &path, const QUuid &folder, qint64 generation = 0)
{
    auto f = std::make_shared<SyncFile>(path, path.section(QLatin1Char('/'), -1));
    f->setFolderID(folder);
    f->setGeneration(generation);
    return f;
}

std::shared_ptr<SyncFolder> folder(const QString &name, qint64 sortOrder = 0, bool enabled = true)
{
    return std::make_shared<SyncFolder>(name, SyncFolder::FolderType::projectsFolder, std::nullopt, QStringList{},
                                        SyncFolder::SyncMode::bidirectional, enabled, sortOrder, false, std::nullopt,
                                        true, std::vector<std::shared_ptr<DAWConfiguration>>{});
}

std::shared_ptr<DAWConfiguration> daw(const QString &name)
{
    return std::make_shared<DAWConfiguration>(name, QStringLiteral("/usr/share/applications/") + name + ".desktop",
                                              SyncRule::RulePriority::balanced, SyncRule::RulePriority::high, true, 0);
}

QStringList paths(const std::vector<std::shared_ptr<SyncFile>> &files)
{
    QStringList out;
    for (const auto &f : files)
        out << f->localPath();
    return out;
}

} // namespace

class ModelContextTest : public StoreFixture
{
protected:
    void SetUp() override
    {
        StoreFixture::SetUp();
        context = std::make_unique<ModelContext>(container);
    }
    const QUuid lane = QUuid::createUuid();
    std::unique_ptr<ModelContext> context;
};

TEST_F(ModelContextTest, FetchesSeeUnsavedInsertsChangesAndDeletesWithTheLimitAppliedLast)
{
    for (int i = 0; i < 4; ++i)
        context->insert(file(QStringLiteral("/s/%1").arg(i), lane, i));
    context->save();

    auto pending = context->insert(file(QStringLiteral("/s/new"), lane, 10));
    auto stored = context->fetch(SyncFile::inFolder(lane).sortBy(SyncFile::Field::generation));
    ASSERT_EQ(stored.size(), 5u);
    EXPECT_EQ(stored.back(), pending);
    EXPECT_EQ(context->fetchFirst(SyncFile::withLocalPath(QStringLiteral("/s/new"))), pending);

    // The two lowest stored rows are deleted and moved away: a limit of 2 must still find two.
    context->remove(stored[0]);
    stored[1]->setFolderID(QUuid::createUuid());
    auto firstTwo = context->fetch(SyncFile::inFolder(lane).sortBy(SyncFile::Field::generation).limitTo(2));
    EXPECT_EQ(paths(firstTwo), (QStringList{QStringLiteral("/s/2"), QStringLiteral("/s/3")}));

    // A changed sort key reorders the result; the identity map returns the same handle.
    stored[3]->setGeneration(-1);
    auto reordered = context->fetch(SyncFile::inFolder(lane).sortBy(SyncFile::Field::generation).limitTo(1));
    ASSERT_EQ(reordered.size(), 1u);
    EXPECT_EQ(reordered[0], stored[3]);

    EXPECT_FALSE(context->fetchFirst(SyncFile::withLocalPath(QStringLiteral("/s/0"))));
    EXPECT_TRUE(context->fetch(SyncFile::withFileUUID(QString())).empty());
}

TEST_F(ModelContextTest, StatusFiltersSelectAFoldersOutstandingWork)
{
    auto a = context->insert(file(QStringLiteral("/f/a"), lane));
    auto b = context->insert(file(QStringLiteral("/f/b"), lane));
    auto c = context->insert(file(QStringLiteral("/f/c"), lane));
    a->setDesiredState(SyncFile::DesiredState::uploadPending);
    c->setDesiredState(std::nullopt);
    context->save();
    b->setDesiredState(SyncFile::DesiredState::deletedRemote);

    auto owed = context->fetch(SyncFile::inFolder(lane)
                                   .in(SyncFile::Field::syncStatus, std::vector{SyncFile::SyncStatus::pending})
                                   .notNull(SyncFile::Field::desiredState)
                                   .notEquals(SyncFile::Field::desiredState, SyncFile::DesiredState::syncedLocal)
                                   .sortBy(SyncFile::Field::localPath));
    EXPECT_EQ(paths(owed), (QStringList{QStringLiteral("/f/a"), QStringLiteral("/f/b")}));
}

TEST_F(ModelContextTest, RollbackRestoresFieldsUninsertsAndUndeletes)
{
    auto kept = context->insert(file(QStringLiteral("/r/kept"), lane));
    auto gone = context->insert(file(QStringLiteral("/r/gone"), lane));
    context->save();

    kept->setRetryCount(7);
    kept->setLocalPath(QStringLiteral("/r/moved"));
    context->remove(gone);
    gone->setRetryCount(9); // a removed record ignores writes
    EXPECT_EQ(gone->retryCount(), 0);
    auto added = context->insert(file(QStringLiteral("/r/added"), lane));
    EXPECT_TRUE(context->hasChanges());

    context->rollback();
    EXPECT_FALSE(context->hasChanges());
    EXPECT_EQ(kept->retryCount(), 0);
    EXPECT_EQ(kept->localPath(), QStringLiteral("/r/kept"));
    EXPECT_EQ(context->fetchFirst(SyncFile::withLocalPath(QStringLiteral("/r/gone"))), gone);
    EXPECT_FALSE(context->fetchFirst(SyncFile::withLocalPath(QStringLiteral("/r/added"))));
    EXPECT_FALSE(context->fetchFirst(SyncFile::withLocalPath(QStringLiteral("/r/moved"))));
    EXPECT_EQ(added->context(), nullptr);
    context->save();
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFile")), 2);
}

TEST_F(ModelContextTest, SaveWritesOnlyChangedColumnsAndDeletedRecordsNeverReturn)
{
    auto f = context->insert(file(QStringLiteral("/w/a"), lane));
    context->save();
    // A change made behind the context's back to another column survives its save.
    container->execute("UPDATE SyncFile SET errorMessage = 'outside'", StoreError::Kind::saveFailed);
    f->setRetryCount(3);
    context->save();
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFile WHERE errorMessage = 'outside' AND retryCount = 3")), 1);

    context->remove(f);
    context->save();
    EXPECT_TRUE(f->isDeleted());
    EXPECT_TRUE(context->fetch(SyncFile::inFolder(lane)).empty());
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFile")), 0);
}

TEST_F(ModelContextTest, AFailedSaveLeavesTheStoreAndTheContextUnchanged)
{
    auto changed = context->insert(file(QStringLiteral("/e/changed"), lane));
    auto removed = context->insert(file(QStringLiteral("/e/removed"), lane));
    context->save();
    container->execute("CREATE TEMP TRIGGER refuse BEFORE INSERT ON main.SyncFile WHEN NEW.filename = 'boom' "
                       "BEGIN SELECT RAISE(ABORT, 'refused'); END",
                       StoreError::Kind::saveFailed);

    changed->setRetryCount(5);
    context->remove(removed);
    auto fine = context->insert(file(QStringLiteral("/e/fine"), lane));
    auto boom = context->insert(file(QStringLiteral("/e/boom"), lane));
    if (const auto e = failureOf<StoreError>([&] { context->save(); })) {
        EXPECT_EQ(e->kind(), StoreError::Kind::saveFailed);
        EXPECT_TRUE(e->detail().contains(QStringLiteral("refused")));
    }
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFile")), 2);
    EXPECT_EQ(scalar(QStringLiteral("SELECT retryCount FROM SyncFile WHERE localPath = '/e/changed'")), 0);

    EXPECT_TRUE(context->hasChanges());
    EXPECT_EQ(changed->retryCount(), 5);
    EXPECT_EQ(fine->persistentID(), 0);
    EXPECT_EQ(paths(context->fetch(SyncFile::inFolder(lane).sortBy(SyncFile::Field::localPath))),
              (QStringList{QStringLiteral("/e/boom"), QStringLiteral("/e/changed"), QStringLiteral("/e/fine")}));

    container->execute("DROP TRIGGER temp.refuse", StoreError::Kind::saveFailed);
    context->save();
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFile")), 3);
    EXPECT_EQ(scalar(QStringLiteral("SELECT retryCount FROM SyncFile WHERE localPath = '/e/changed'")), 5);
    EXPECT_NE(boom->persistentID(), 0);
}

TEST_F(ModelContextTest, InsertingAStoredPathReplacesThatRecordAndReturnsItsHandle)
{
    auto original = context->insert(file(QStringLiteral("/u/song.wav"), lane));
    context->save();

    auto replacement = file(QStringLiteral("/u/song.wav"), lane, 4);
    replacement->setSyncStatus(SyncFile::SyncStatus::synced);
    auto canonical = context->insert(replacement);
    EXPECT_EQ(canonical, original);
    EXPECT_EQ(original->generation(), 4);
    EXPECT_EQ(original->syncStatus(), SyncFile::SyncStatus::synced);
    // A second pending insert of the same path also lands on the one record.
    auto again = context->insert(std::make_shared<SyncFile>(QStringLiteral("/u/new.wav"), QStringLiteral("new.wav")));
    EXPECT_EQ(context->insert(std::make_shared<SyncFile>(QStringLiteral("/u/new.wav"), QStringLiteral("n"))), again);
    context->save();
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFile")), 2);
    EXPECT_EQ(scalar(QStringLiteral("SELECT generation FROM SyncFile WHERE localPath = '/u/song.wav'")), 4);

    // Another context inserting the path saves over the same row.
    ModelContext other(container);
    other.insert(file(QStringLiteral("/u/song.wav"), lane, 8));
    other.save();
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFile WHERE localPath = '/u/song.wav'")), 1);
    EXPECT_EQ(original->generation(), 8);

    // A path another context stored after this one's insert: the save lands on that row.
    auto late = context->insert(file(QStringLiteral("/u/late.wav"), lane, 1));
    auto storedThere = other.insert(file(QStringLiteral("/u/late.wav"), lane, 2));
    other.save();
    context->save();
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFile WHERE localPath = '/u/late.wav'")), 1);
    EXPECT_EQ(late->persistentID(), storedThere->persistentID());
    EXPECT_EQ(storedThere->generation(), 1);
}

TEST_F(ModelContextTest, ContextsMergeEachOthersSavesFieldByField)
{
    auto mine = context->insert(file(QStringLiteral("/m/a"), lane));
    auto doomed = context->insert(file(QStringLiteral("/m/b"), lane));
    context->save();

    ModelContext other(container);
    auto theirs = other.fetchFirst(SyncFile::withLocalPath(QStringLiteral("/m/a")));
    auto theirDoomed = other.fetchFirst(SyncFile::withLocalPath(QStringLiteral("/m/b")));
    ASSERT_TRUE(theirs && theirDoomed);
    ASSERT_NE(theirs, mine);

    mine->setRetryCount(2);           // unsaved here
    theirs->setRetryCount(9);         // saved there: must not override the unsaved change
    theirs->setErrorMessage(QStringLiteral("from other"));
    other.remove(theirDoomed);
    other.save();

    EXPECT_EQ(mine->retryCount(), 2);
    EXPECT_EQ(mine->errorMessage(), QStringLiteral("from other"));
    EXPECT_TRUE(doomed->isDeleted());
    EXPECT_FALSE(context->fetchFirst(SyncFile::withLocalPath(QStringLiteral("/m/b"))));

    context->rollback(); // back to the other context's saved values
    EXPECT_EQ(mine->retryCount(), 9);
    EXPECT_EQ(mine->errorMessage(), QStringLiteral("from other"));
}

TEST_F(ModelContextTest, FolderProfileLinksNullifyBothWaysAndProfilesCascadeToTheirRules)
{
    auto logic = daw(QStringLiteral("Logic"));
    auto live = daw(QStringLiteral("Live"));
    auto projects = folder(QStringLiteral("Projects"));
    auto audio = folder(QStringLiteral("Audio"), 1);
    projects->setAssociatedDAWs({logic, live});
    audio->setAssociatedDAWs({logic});
    context->insert(projects);
    context->insert(audio); // the profiles come with the folders
    auto rule = std::make_shared<SyncRule>(QStringLiteral("Logic (Open)"), true, 0, SyncRule::RuleConditionType::appRunning,
                                           QStringLiteral("Logic"), QStringLiteral("*"), SyncRule::RulePriority::balanced);
    rule->setDawConfiguration(logic);
    context->insert(rule);
    context->save();
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFolder_associatedDAWs")), 3);

    ModelContext fresh(container);
    auto profiles = fresh.fetch(DAWConfiguration::all());
    ASSERT_EQ(profiles.size(), 2u);
    auto freshLogic = profiles[0]->appName() == QStringLiteral("Logic") ? profiles[0] : profiles[1];
    EXPECT_EQ(freshLogic->associatedFolders().size(), 2u);
    ASSERT_EQ(freshLogic->rules().size(), 1u);

    // Deleting a profile deletes exactly its rules and leaves the folders.
    fresh.remove(freshLogic);
    auto folders = fresh.fetch(SyncFolder::all());
    ASSERT_EQ(folders.size(), 2u);
    EXPECT_EQ(folders[0]->associatedDAWs().size(), 1u);
    EXPECT_TRUE(folders[1]->associatedDAWs().empty());
    fresh.save();
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncRule")), 0);
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFolder")), 2);
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFolder_associatedDAWs")), 1);

    // Deleting a folder leaves its profiles.
    fresh.remove(folders[0]);
    fresh.save();
    auto remaining = fresh.fetch(DAWConfiguration::all());
    ASSERT_EQ(remaining.size(), 1u);
    EXPECT_TRUE(remaining[0]->associatedFolders().empty());
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFolder_associatedDAWs")), 0);
}

TEST_F(ModelContextTest, RollbackOfAProfileDeleteRestoresRulesAndLinks)
{
    auto logic = daw(QStringLiteral("Logic"));
    auto projects = folder(QStringLiteral("Projects"));
    projects->setAssociatedDAWs({logic});
    context->insert(projects);
    auto rule = std::make_shared<SyncRule>(QStringLiteral("r"), true, 0, SyncRule::RuleConditionType::appRunning,
                                           QStringLiteral("Logic"), QStringLiteral("*"), SyncRule::RulePriority::low);
    rule->setDawConfiguration(logic);
    context->insert(rule);
    context->save();

    context->remove(logic);
    EXPECT_TRUE(rule->isDeleted());
    EXPECT_TRUE(projects->associatedDAWs().empty());
    context->rollback();
    EXPECT_FALSE(rule->isDeleted());
    EXPECT_EQ(projects->associatedDAWs(), std::vector<std::shared_ptr<DAWConfiguration>>{logic});
    EXPECT_EQ(logic->rules(), std::vector<std::shared_ptr<SyncRule>>{rule});
}

TEST_F(ModelContextTest, EnabledFoldersComeSortedByOrder)
{
    context->insert(folder(QStringLiteral("c"), 3));
    context->insert(folder(QStringLiteral("off"), 0, false));
    context->insert(folder(QStringLiteral("a"), 1));
    context->save();
    context->insert(folder(QStringLiteral("b"), 2));
    QStringList names;
    for (const auto &f : context->fetch(SyncFolder::enabledByOrder()))
        names << f->name();
    EXPECT_EQ(names, (QStringList{QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")}));
}

// An editor's "rename to backup, write the new file": one save holds a rename and a new
// record at the renamed record's old path, and another pair of records swaps paths.
TEST_F(ModelContextTest, ARenameAndANewRecordAtTheOldPathSaveAsApplied)
{
    auto original = context->insert(file(QStringLiteral("/d/take.wav"), lane, 1));
    auto left = context->insert(file(QStringLiteral("/d/left.wav"), lane, 3));
    auto right = context->insert(file(QStringLiteral("/d/right.wav"), lane, 4));
    context->save();

    original->setLocalPath(QStringLiteral("/d/take.wav~"));
    auto written = context->insert(file(QStringLiteral("/d/take.wav"), lane, 2));
    EXPECT_NE(written, original);
    left->setLocalPath(QStringLiteral("/d/swap"));
    right->setLocalPath(QStringLiteral("/d/left.wav"));
    left->setLocalPath(QStringLiteral("/d/right.wav"));
    context->save();

    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFile")), 4);
    EXPECT_EQ(scalar(QStringLiteral("SELECT generation FROM SyncFile WHERE localPath = '/d/take.wav~'")), 1);
    EXPECT_EQ(scalar(QStringLiteral("SELECT generation FROM SyncFile WHERE localPath = '/d/take.wav'")), 2);
    EXPECT_EQ(scalar(QStringLiteral("SELECT generation FROM SyncFile WHERE localPath = '/d/left.wav'")), 4);
    EXPECT_EQ(scalar(QStringLiteral("SELECT generation FROM SyncFile WHERE localPath = '/d/right.wav'")), 3);
    EXPECT_FALSE(original->isDeleted());
    EXPECT_EQ(context->fetchFirst(SyncFile::withLocalPath(QStringLiteral("/d/take.wav~"))), original);
    EXPECT_EQ(context->fetchFirst(SyncFile::withLocalPath(QStringLiteral("/d/take.wav"))), written);
    EXPECT_EQ(context->fetchFirst(SyncFile::withLocalPath(QStringLiteral("/d/left.wav"))), right);
    EXPECT_EQ(written->persistentID(), scalar(QStringLiteral("SELECT pk FROM SyncFile WHERE localPath = '/d/take.wav'")));
}

// "The store keeps one record per path": `mv a.wav b.wav` over a tracked b.wav.
TEST_F(ModelContextTest, RenamingOntoATrackedPathReplacesTheRecordThere)
{
    auto moved = context->insert(file(QStringLiteral("/m/a.wav"), lane, 1));
    auto target = context->insert(file(QStringLiteral("/m/b.wav"), lane, 2));
    context->save();
    ModelContext other(container);
    auto targetThere = other.fetchFirst(SyncFile::withLocalPath(QStringLiteral("/m/b.wav")));
    ASSERT_TRUE(targetThere);

    moved->setLocalPath(QStringLiteral("/m/b.wav"));
    EXPECT_TRUE(target->isDeleted());
    EXPECT_EQ(context->fetchFirst(SyncFile::withLocalPath(QStringLiteral("/m/b.wav"))), moved);
    context->save();
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFile")), 1);
    EXPECT_EQ(scalar(QStringLiteral("SELECT generation FROM SyncFile WHERE localPath = '/m/b.wav'")), 1);
    EXPECT_TRUE(targetThere->isDeleted());

    // A row that reaches the new path from another context after the rename is replaced
    // at the save, and that context learns it is gone.
    moved->setLocalPath(QStringLiteral("/m/c.wav"));
    auto late = other.insert(file(QStringLiteral("/m/c.wav"), lane, 3));
    other.save();
    context->save();
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFile")), 1);
    EXPECT_EQ(scalar(QStringLiteral("SELECT generation FROM SyncFile WHERE localPath = '/m/c.wav'")), 1);
    EXPECT_TRUE(late->isDeleted());
    EXPECT_EQ(other.fetchFirst(SyncFile::withLocalPath(QStringLiteral("/m/c.wav")))->persistentID(),
              moved->persistentID());

    // Rolling back a rename onto a tracked path brings the replaced record back.
    auto third = context->insert(file(QStringLiteral("/m/d.wav"), lane, 4));
    context->save();
    moved->setLocalPath(QStringLiteral("/m/d.wav"));
    context->rollback();
    EXPECT_FALSE(third->isDeleted());
    EXPECT_EQ(context->fetchFirst(SyncFile::withLocalPath(QStringLiteral("/m/d.wav"))), third);
    context->save();
    EXPECT_EQ(scalar(QStringLiteral("SELECT count(*) FROM SyncFile")), 2);
}

// Windows and the panel follow the store through the container: every committed save of
// any context is announced with the types and ids it inserted, changed and deleted, and a
// receiver already finds the saved state.
TEST_F(ModelContextTest, TheContainerAnnouncesEachCommittedSave)
{
    ModelContext panel(container);
    std::vector<StoreChanges> announced;
    std::vector<std::shared_ptr<SyncFile>> seenByPanel;
    QObject::connect(container.get(), &ModelContainer::saved, &panel, [&](const StoreChanges &changes) {
        announced.push_back(changes);
        for (const auto &e : changes.inserted)
            if (e.type == QLatin1String("SyncFile"))
                seenByPanel.push_back(panel.object<SyncFile>(e.id));
    });
    using E = StoreChanges::Entry;

    auto kept = context->insert(file(QStringLiteral("/n/kept.wav"), lane));
    auto gone = context->insert(file(QStringLiteral("/n/gone.wav"), lane));
    auto projects = context->insert(folder(QStringLiteral("Projects")));
    context->save();
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0].inserted, (std::vector<E>{{QStringLiteral("SyncFile"), kept->persistentID()},
                                                     {QStringLiteral("SyncFile"), gone->persistentID()},
                                                     {QStringLiteral("SyncFolder"), projects->persistentID()}}));
    EXPECT_TRUE(announced[0].changed.empty() && announced[0].deleted.empty());
    ASSERT_EQ(seenByPanel.size(), 2u);
    ASSERT_TRUE(seenByPanel[0]);
    EXPECT_EQ(seenByPanel[0]->localPath(), QStringLiteral("/n/kept.wav"));

    // The panel's own save is announced too; a rename over a tracked path deletes its row.
    auto keptThere = panel.fetchFirst(SyncFile::withLocalPath(QStringLiteral("/n/kept.wav")));
    keptThere->setRetryCount(2);
    auto goneThere = panel.fetchFirst(SyncFile::withLocalPath(QStringLiteral("/n/gone.wav")));
    panel.remove(goneThere);
    panel.save();
    ASSERT_EQ(announced.size(), 2u);
    EXPECT_TRUE(announced[1].inserted.empty());
    EXPECT_EQ(announced[1].changed, (std::vector<E>{{QStringLiteral("SyncFile"), kept->persistentID()}}));
    EXPECT_EQ(announced[1].deleted, (std::vector<E>{{QStringLiteral("SyncFile"), gone->persistentID()}}));
    EXPECT_EQ(kept->retryCount(), 2);

    auto other = context->insert(file(QStringLiteral("/n/other.wav"), lane));
    context->save();
    const qint64 replacedID = other->persistentID();
    kept->setLocalPath(QStringLiteral("/n/other.wav"));
    context->save();
    ASSERT_EQ(announced.size(), 4u);
    EXPECT_EQ(announced[3].changed, (std::vector<E>{{QStringLiteral("SyncFile"), kept->persistentID()}}));
    EXPECT_EQ(announced[3].deleted, (std::vector<E>{{QStringLiteral("SyncFile"), replacedID}}));

    // Nothing is announced for a save that wrote nothing or failed.
    context->save();
    container->execute("CREATE TEMP TRIGGER refuse BEFORE INSERT ON main.SyncFile "
                       "BEGIN SELECT RAISE(ABORT, 'refused'); END",
                       StoreError::Kind::saveFailed);
    context->insert(file(QStringLiteral("/n/refused.wav"), lane));
    EXPECT_THROW(context->save(), StoreError);
    EXPECT_EQ(announced.size(), 4u);
}

// Updates may name records that the same save inserts.
TEST_F(ModelContextTest, AStoredRuleMovedToANewProfileNamesThatProfilesRow)
{
    auto rule = std::make_shared<SyncRule>(QStringLiteral("r"), true, 0, SyncRule::RuleConditionType::appRunning,
                                           QStringLiteral("Logic"), QStringLiteral("*"), SyncRule::RulePriority::low);
    rule->setDawConfiguration(daw(QStringLiteral("Logic")));
    context->insert(rule);
    context->insert(file(QStringLiteral("/p/a.wav"), lane));
    context->save();

    auto live = daw(QStringLiteral("Live"));
    rule->setDawConfiguration(live);
    context->save();
    ASSERT_NE(live->persistentID(), 0);
    EXPECT_EQ(scalar(QStringLiteral("SELECT dawConfiguration FROM SyncRule")), live->persistentID());
}
