#include "Model/ModelContainer.h"
#include "Model/ModelContainerFactory.h"
#include "Model/ModelContext.h"
#include "Model/QuillmereSchemaV1.h"
#include "Model/StoreFiles.h"
#include "Model/StoreLock.h"
#include "Model/SyncFile.h"
#include "support/SmallFileSystem.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <csignal>
#include <cstring>
#include <sqlite3.h>
#include <sys/resource.h>

using namespace quillmere;
using quillmere::test::failureOf;

namespace {

class StoreFiles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        store = dir.filePath(QStringLiteral("Quillmere.sqlite"));
    }

    QStringList entries() const
    {
        QStringList names = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
        names.removeAll(QStringLiteral("Quillmere.sqlite.lock"));
        names.sort();
        return names;
    }

    void write(const QString &name, const QByteArray &bytes)
    {
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

    // A database made outside the application; the WAL keeps its last write when asked.
    void makeForeignStore(const char *sql, bool keepWal)
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(store.toUtf8().constData(), &db), SQLITE_OK);
        sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;", nullptr, nullptr, nullptr);
        if (keepWal)
            sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }

    // Turns an open store of today's layout into the one before the conflict index, when
    // the file UUID had an index of its own.
    static void toLayoutBeforeConflictIndex(sqlite3 *db)
    {
        ASSERT_EQ(sqlite3_exec(db,
                               "DROP INDEX SyncFile_conflicts; DROP INDEX SyncFile_fileUUID_folder;"
                               "CREATE INDEX SyncFile_fileUUID ON SyncFile(fileUUID)",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
    }

    // Records the schema the store holds as its own, as the build that made it did.
    static void recordFingerprint(sqlite3 *db)
    {
        const QByteArray record = "UPDATE quillmere_meta SET value = '" + QuillmereSchemaV1::fingerprintOf(db).toLatin1()
                                  + "' WHERE key = 'fingerprint'";
        ASSERT_EQ(sqlite3_exec(db, record.constData(), nullptr, nullptr, nullptr), SQLITE_OK);
    }

    // Opening fails, one quarantine follows and a new empty store opens.
    QString expectQuarantinedAndRebuilt()
    {
        auto container = ModelContainerFactory::makeContainer(store);
        EXPECT_TRUE(container);
        ModelContext context(container);
        EXPECT_TRUE(context.fetch(FetchDescriptor<SyncFile>()).empty());
        const QRegularExpression name(QStringLiteral("^Quillmere\\.sqlite\\.quarantined\\.(\\d{8}-\\d{6})$"));
        for (const QString &entry : entries())
            if (auto m = name.match(entry); m.hasMatch())
                return m.captured(1);
        ADD_FAILURE() << "no quarantined store among " << entries().join(QLatin1Char(' ')).toStdString();
        return QString();
    }

    QTemporaryDir dir;
    QString store;
};

void storeFiles(const QString &storePath, int count)
{
    ModelContext context(ModelContainerFactory::makeContainer(storePath));
    for (int i = 0; i < count; ++i)
        context.insert(std::make_shared<SyncFile>(QStringLiteral("/m/take-%1.wav").arg(i), QStringLiteral("take.wav")));
    context.save();
}

size_t filesIn(const std::shared_ptr<ModelContainer> &container)
{
    ModelContext context(container);
    return context.fetch(FetchDescriptor<SyncFile>()).size();
}

QByteArray bytesOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The names set aside in the folder, one string for a readable failure.
std::string quarantinedIn(const QString &folder)
{
    return QDir(folder)
        .entryList({QStringLiteral("*quarantined*")}, QDir::AllEntries | QDir::Hidden | QDir::System)
        .join(u' ')
        .toStdString();
}

// Lowers the largest file this process may write, as a quota would; SQLite's first write
// past it fails for root too.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_previous);
        m_previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = m_previous;
        lowered.rlim_cur = bytes;
        m_set = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_previous);
        std::signal(SIGXFSZ, m_previousHandler);
    }
    bool set() const { return m_set; }

private:
    rlimit m_previous{};
    void (*m_previousHandler)(int) = nullptr;
    bool m_set = false;
};

} // namespace

// The disk is full at start: the WAL index cannot be made and SQLite answers "disk I/O
// error". That is no sign of damage: the start fails, every file stays, and once there is
// space again the same store opens with every record.
TEST(StoreOnAFullDisk, FailsTheStartMovesNothingAndOpensEveryRecordOnceThereIsSpace)
{
    quillmere::test::SmallFileSystem disk;
    if (::geteuid() != 0)
        GTEST_SKIP() << disk.whyNot();
    ASSERT_TRUE(disk.mounted()) << disk.whyNot();
    const QString storePath = disk.filePath(QStringLiteral("Quillmere.sqlite"));
    storeFiles(storePath, 2000);
    const QByteArray before = bytesOf(storePath);
    ASSERT_FALSE(before.isEmpty());
    ASSERT_TRUE(disk.fill());

    const auto failure = failureOf<StoreError>([&] { ModelContainerFactory::makeContainer(storePath); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), StoreError::Kind::noSpace) << failure->detail().toStdString();
    EXPECT_EQ(quarantinedIn(QFileInfo(storePath).path()), "");
    EXPECT_TRUE(bytesOf(storePath) == before) << "the store was changed or moved";

    ASSERT_TRUE(disk.free());
    auto container = ModelContainerFactory::makeContainer(storePath);
    EXPECT_EQ(filesIn(container), 2000u);
    EXPECT_EQ(quarantinedIn(QFileInfo(storePath).path()), "");
}

// The same without root: a file that cannot be opened, and a WAL index that cannot be made
// because the process may write no more than a few bytes per file.
TEST_F(StoreFiles, AStoreThatCannotBeOpenedOrIndexedStaysWhereItIs)
{
    storeFiles(store, 2000);
    const QByteArray before = bytesOf(store);
    {
        FileSizeLimit limit(1024);
        ASSERT_TRUE(limit.set());
        const auto failure = failureOf<StoreError>([&] { ModelContainerFactory::makeContainer(store); });
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->kind(), StoreError::Kind::noSpace) << failure->detail().toStdString();
    }
    EXPECT_EQ(quarantinedIn(dir.path()), "");
    EXPECT_TRUE(bytesOf(store) == before) << "the store was changed or moved";
    EXPECT_EQ(filesIn(ModelContainerFactory::makeContainer(store)), 2000u);

    QTemporaryDir other;
    const QString folderInTheWay = other.filePath(QStringLiteral("Quillmere.sqlite"));
    ASSERT_TRUE(QDir().mkdir(folderInTheWay));
    const auto failure = failureOf<StoreError>([&] { ModelContainerFactory::makeContainer(folderInTheWay); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), StoreError::Kind::noAccess) << failure->detail().toStdString();
    EXPECT_EQ(quarantinedIn(other.path()), "");
    EXPECT_TRUE(QFileInfo(folderInTheWay).isDir());
}

// Damage found by the integrity check still sets the store aside, whole, for a new one.
TEST_F(StoreFiles, ACorruptedStoreIsStillSetAside)
{
    storeFiles(store, 2000);
    QByteArray bytes = bytesOf(store);
    ASSERT_GT(bytes.size(), 4 * 4096);
    // Pages past the first hold the records and their indexes.
    for (qsizetype i = 2 * 4096; i < bytes.size() - 4096; i += 4096)
        std::memset(bytes.data() + i + 16, 0x5a, 512);
    write(QStringLiteral("Quillmere.sqlite"), bytes);

    const QString stamp = expectQuarantinedAndRebuilt();
    EXPECT_TRUE(bytesOf(dir.filePath(QStringLiteral("Quillmere.sqlite.quarantined.") + stamp)) == bytes);
}

TEST_F(StoreFiles, AMissingStoreIsCreatedWithoutQuarantine)
{
    auto container = ModelContainerFactory::makeContainer(store);
    EXPECT_EQ(container->journalMode(), QStringLiteral("wal"));
    {
        ModelContext context(container);
        context.insert(std::make_shared<SyncFile>(QStringLiteral("/a"), QStringLiteral("a")));
        context.save();
    }
    container.reset();
    auto reopened = ModelContainerFactory::makeContainer(store);
    ModelContext context(reopened);
    EXPECT_EQ(context.fetch(FetchDescriptor<SyncFile>()).size(), 1u);
    for (const QString &e : entries())
        EXPECT_FALSE(e.contains(QStringLiteral("quarantined")));
}

TEST_F(StoreFiles, RandomBytesAreQuarantinedAndRebuilt)
{
    QByteArray noise(8192, '\0');
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
    write(QStringLiteral("Quillmere.sqlite"), noise);
    const QString stamp = expectQuarantinedAndRebuilt();
    QFile moved(dir.filePath(QStringLiteral("Quillmere.sqlite.quarantined.") + stamp));
    ASSERT_TRUE(moved.open(QIODevice::ReadOnly));
    EXPECT_EQ(moved.readAll(), noise); // kept as it was, never read again
}

TEST_F(StoreFiles, AForeignSchemaOrAnotherVersionIsQuarantined)
{
    makeForeignStore("CREATE TABLE notes (body TEXT); INSERT INTO notes VALUES ('x');", false);
    expectQuarantinedAndRebuilt();

    QTemporaryDir other;
    store = other.filePath(QStringLiteral("Quillmere.sqlite"));
    ModelContainerFactory::makeContainer(store).reset();
    sqlite3 *db = nullptr;
    sqlite3_open(store.toUtf8().constData(), &db);
    sqlite3_exec(db, "UPDATE quillmere_meta SET value = '2.0.0' WHERE key = 'version'", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    const QString oldStore = store;
    const QDir otherDir(other.path());
    auto container = ModelContainerFactory::makeContainer(store);
    EXPECT_EQ(otherDir.entryList({QStringLiteral("Quillmere.sqlite.quarantined.*")}, QDir::Files).size(), 1);

    // A store whose tables were altered no longer matches the recorded fingerprint.
    container.reset();
    sqlite3_open(store.toUtf8().constData(), &db);
    sqlite3_exec(db, "ALTER TABLE SyncFile ADD COLUMN extra TEXT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    container = ModelContainerFactory::makeContainer(store);
    // Same second or not, the second quarantine never overwrites the first.
    EXPECT_EQ(otherDir.entryList({QStringLiteral("Quillmere.sqlite.quarantined.*")}, QDir::Files).size(), 2);
}

// A store made when the files had an index on (folder, status, desired state) opens without
// quarantine, loses that index and keeps its records; the next start finds it up to date.
TEST_F(StoreFiles, AStoreOfTheEarlierIndexLayoutIsUpgradedInPlace)
{
    {
        ModelContext context(ModelContainerFactory::makeContainer(store));
        for (int i = 0; i < 3; ++i) {
            auto file = std::make_shared<SyncFile>(QStringLiteral("/m/%1.wav").arg(i), QStringLiteral("x.wav"));
            file->setGeneration(i);
            context.insert(std::move(file));
        }
        context.save();
    }
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(store.toUtf8().constData(), &db), SQLITE_OK);
    toLayoutBeforeConflictIndex(db);
    ASSERT_EQ(sqlite3_exec(db, "CREATE INDEX SyncFile_folder_status ON SyncFile(folderID, syncStatus, desiredState)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    const QString earlier = QuillmereSchemaV1::fingerprintOf(db);
    ASSERT_NE(earlier, QuillmereSchemaV1::expectedFingerprint());
    const QByteArray record = "UPDATE quillmere_meta SET value = '" + earlier.toLatin1() + "' WHERE key = 'fingerprint'";
    ASSERT_EQ(sqlite3_exec(db, record.constData(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    for (int start = 0; start < 2; ++start) {
        auto container = ModelContainerFactory::makeContainer(store);
        auto count = container->prepare(
            QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name = 'SyncFile_folder_status'"),
            StoreError::Kind::fetchFailed, false);
        ASSERT_TRUE(count.step());
        EXPECT_EQ(count.integer(0), 0);
        auto recorded = container->prepare(QStringLiteral("SELECT value FROM quillmere_meta WHERE key = 'fingerprint'"),
                                           StoreError::Kind::fetchFailed, false);
        ASSERT_TRUE(recorded.step());
        EXPECT_EQ(std::get<QString>(recorded.value(0)), QuillmereSchemaV1::expectedFingerprint());
        ModelContext context(container);
        FetchDescriptor<SyncFile> all;
        all.sortBy(SyncFile::Field::localPath);
        const auto files = context.fetch(all);
        ASSERT_EQ(files.size(), 3u);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(files[size_t(i)]->localPath(), QStringLiteral("/m/%1.wav").arg(i));
            EXPECT_EQ(files[size_t(i)]->generation(), i);
        }
    }
    for (const QString &e : entries())
        EXPECT_FALSE(e.contains(QStringLiteral("quarantined"))) << e.toStdString();
}

// A store made before the index on (folder, service file id), with or without the older
// status index, opens as it is and gains the index.
TEST_F(StoreFiles, AStoreWithoutTheServiceFileIndexGainsIt)
{
    for (const bool withStatusIndex : {false, true}) {
        QFile::remove(store);
        ModelContainerFactory::makeContainer(store);
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(store.toUtf8().constData(), &db), SQLITE_OK);
        toLayoutBeforeConflictIndex(db);
        ASSERT_EQ(sqlite3_exec(db, "DROP INDEX SyncFile_folder_remoteId", nullptr, nullptr, nullptr), SQLITE_OK);
        if (withStatusIndex) {
            ASSERT_EQ(sqlite3_exec(db, "CREATE INDEX SyncFile_folder_status ON SyncFile(folderID, syncStatus, desiredState)",
                                   nullptr, nullptr, nullptr),
                      SQLITE_OK);
        }
        const QByteArray record = "UPDATE quillmere_meta SET value = '"
                                  + QuillmereSchemaV1::fingerprintOf(db).toLatin1() + "' WHERE key = 'fingerprint'";
        ASSERT_EQ(sqlite3_exec(db, record.constData(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);

        auto container = ModelContainerFactory::makeContainer(store);
        auto count = container->prepare(
            QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name = 'SyncFile_folder_remoteId'"),
            StoreError::Kind::fetchFailed, false);
        ASSERT_TRUE(count.step());
        EXPECT_EQ(count.integer(0), 1) << withStatusIndex;
        EXPECT_EQ(QuillmereSchemaV1::fingerprintOf(container->database()), QuillmereSchemaV1::expectedFingerprint());
        for (const QString &e : entries())
            EXPECT_FALSE(e.contains(QStringLiteral("quarantined"))) << e.toStdString();
    }
}

// A store made when the file UUID had an index of its own and conflicts none opens as it is,
// keeps its records and gains both indexes: a lookup by file UUID within a folder seeks them.
TEST_F(StoreFiles, AStoreBeforeTheConflictIndexGainsItAndTheFileUUIDIndexByFolder)
{
    const QUuid folder = QUuid::createUuid();
    {
        ModelContext context(ModelContainerFactory::makeContainer(store));
        auto file = std::make_shared<SyncFile>(QStringLiteral("/m/take.wav"), QStringLiteral("take.wav"));
        file->setFolderID(folder);
        file->setFileUUID(QStringLiteral("4c1d"));
        context.insert(std::move(file));
        context.save();
    }
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(store.toUtf8().constData(), &db), SQLITE_OK);
    toLayoutBeforeConflictIndex(db);
    recordFingerprint(db);
    sqlite3_close(db);

    auto container = ModelContainerFactory::makeContainer(store);
    EXPECT_EQ(QuillmereSchemaV1::fingerprintOf(container->database()), QuillmereSchemaV1::expectedFingerprint());
    auto indexes = container->prepare(
        QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'index' AND name LIKE 'SyncFile_%' ORDER BY name"),
        StoreError::Kind::fetchFailed, false);
    QStringList names;
    while (indexes.step())
        names << std::get<QString>(indexes.value(0));
    EXPECT_TRUE(names.contains(QStringLiteral("SyncFile_conflicts"))) << names.join(u' ').toStdString();
    EXPECT_TRUE(names.contains(QStringLiteral("SyncFile_fileUUID_folder"))) << names.join(u' ').toStdString();
    EXPECT_FALSE(names.contains(QStringLiteral("SyncFile_fileUUID"))) << names.join(u' ').toStdString();
    ModelContext context(container);
    auto request = SyncFile::withFileUUID(QStringLiteral("4c1d"));
    request.equals(SyncFile::Field::folderID, folder);
    const auto found = context.fetchFirst(request);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->localPath(), QStringLiteral("/m/take.wav"));
    for (const QString &e : entries())
        EXPECT_FALSE(e.contains(QStringLiteral("quarantined"))) << e.toStdString();
}

TEST_F(StoreFiles, AnUncheckpointedWalMovesWithItsDatabase)
{
    makeForeignStore("CREATE TABLE quillmere_meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);"
                     "INSERT INTO quillmere_meta VALUES ('version', '0.9.0');",
                     true);
    ASSERT_TRUE(QFile::exists(store + QStringLiteral("-wal")));
    const QString stamp = expectQuarantinedAndRebuilt();
    const QString base = dir.filePath(QStringLiteral("Quillmere.sqlite"));
    ASSERT_TRUE(QFile::exists(base + QStringLiteral("-wal.quarantined.") + stamp));

    // Put back together under a name of their own, the pair still holds the last write.
    QTemporaryDir check;
    const QString copy = check.filePath(QStringLiteral("old.sqlite"));
    ASSERT_TRUE(QFile::copy(base + QStringLiteral(".quarantined.") + stamp, copy));
    ASSERT_TRUE(QFile::copy(base + QStringLiteral("-wal.quarantined.") + stamp, copy + QStringLiteral("-wal")));
    sqlite3 *db = nullptr;
    sqlite3_open(copy.toUtf8().constData(), &db);
    sqlite3_stmt *stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT value FROM quillmere_meta", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)), "0.9.0");
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

TEST_F(StoreFiles, QuarantineNamesEveryFileAlikeAndCountsUpWithinOneSecond)
{
    const QDateTime when(QDate(2024, 3, 5), QTime(7, 8, 9));
    write(QStringLiteral("Quillmere.sqlite"), "a");
    write(QStringLiteral("Quillmere.sqlite-wal"), "b");
    write(QStringLiteral("Quillmere.sqlite-shm"), "c");
    ModelContainerFactory::quarantineStore(store, when);
    write(QStringLiteral("Quillmere.sqlite"), "d");
    ModelContainerFactory::quarantineStore(store, when);
    write(QStringLiteral("Quillmere.sqlite"), "e");
    write(QStringLiteral("Quillmere.sqlite-wal"), "f");
    ModelContainerFactory::quarantineStore(store, when);
    EXPECT_EQ(entries(), (QStringList{
                             QStringLiteral("Quillmere.sqlite-shm.quarantined.20240305-070809"),
                             QStringLiteral("Quillmere.sqlite-wal.quarantined.20240305-070809"),
                             QStringLiteral("Quillmere.sqlite-wal.quarantined.20240305-070809-2"),
                             QStringLiteral("Quillmere.sqlite.quarantined.20240305-070809"),
                             QStringLiteral("Quillmere.sqlite.quarantined.20240305-070809-1"),
                             QStringLiteral("Quillmere.sqlite.quarantined.20240305-070809-2"),
                         }));
}

TEST_F(StoreFiles, ARunningInstanceKeepsOthersFromOpeningQuarantiningOrDeleting)
{
    auto running = ModelContainerFactory::makeContainer(store);
    const QStringList before = entries();
    if (const auto e = failureOf<StoreError>([&] { ModelContainerFactory::makeContainer(store); })) {
        EXPECT_EQ(e->kind(), StoreError::Kind::locked);
    }
    EXPECT_FALSE(deleteLocalStore(store));
    EXPECT_EQ(entries(), before);

    running.reset();
    EXPECT_TRUE(deleteLocalStore(store));
    EXPECT_TRUE(entries().isEmpty());
}

TEST(LocalStoreURL, LivesInTheDataHomeAndCreatesItsFolder)
{
    QTemporaryDir home;
    const QByteArray previous = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", home.path().toLocal8Bit());
    const QString url = localStoreURL();
    qputenv("XDG_DATA_HOME", previous);
    EXPECT_EQ(url, home.path() + QStringLiteral("/Quillmere/Quillmere.sqlite"));
    EXPECT_TRUE(QDir(home.path() + QStringLiteral("/Quillmere")).exists());
}

TEST(StagedFiles, OnlyFilesInsideTheStagingFolderAreDeleted)
{
    QTemporaryDir root;
    const QString staging = root.filePath(QStringLiteral("staging"));
    QDir().mkpath(staging + QStringLiteral("/part"));
    auto touch = [](const QString &path) {
        QFile f(path);
        f.open(QIODevice::WriteOnly);
    };
    touch(staging + QStringLiteral("/a.bin"));
    touch(staging + QStringLiteral("/part/b.bin"));
    touch(root.filePath(QStringLiteral("outside.wav")));
    QFile::link(root.path(), staging + QStringLiteral("/escape"));

    EXPECT_TRUE(removeStagedFile(staging, staging + QStringLiteral("/a.bin")));
    EXPECT_TRUE(removeStagedFile(staging, staging + QStringLiteral("/part/b.bin")));
    EXPECT_FALSE(removeStagedFile(staging, root.filePath(QStringLiteral("outside.wav"))));
    EXPECT_FALSE(removeStagedFile(staging, staging + QStringLiteral("/../outside.wav")));
    EXPECT_FALSE(removeStagedFile(staging, staging + QStringLiteral("/escape/outside.wav")));
    EXPECT_FALSE(removeStagedFile(staging, staging + QStringLiteral("/part")));
    EXPECT_TRUE(QFile::exists(root.filePath(QStringLiteral("outside.wav"))));
    EXPECT_FALSE(QFile::exists(staging + QStringLiteral("/a.bin")));
}
