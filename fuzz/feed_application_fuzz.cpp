// The change feed applied as a whole: the input is a script of pages of service changes
// (files created, changed, renamed, moved and deleted, under hostile names), which the fake
// service turns into its change feed; a real lane with its store applies each page to a real
// folder (a delta pass and the queue work it leaves), on a manual clock.
//
// The folder holds files of the user's that the service never had, and beside it a folder
// outside that links inside point at. After every page:
// - nothing outside the folder was created, changed or removed, and the links are as made;
// - a file of the user's was removed or overwritten only if the service holds its content;
// - no name that differs from another in its directory only in case or Unicode form was
//   written;
// - the store: every record lies inside the folder, names an id the service gave out, and a
//   synced record's file is there with the content it records; no temporary file is left.
//
// Input: one byte of set-up, then operations (see Script below).
#include "FuzzSupport.h"
#include "PathFixture.h"

#include "Accounts/KeychainVault.h"
#include "Accounts/TokenManager.h"
#include "ActivityLog/SyncLogger.h"
#include "Engine/BookmarkManager.h"
#include "Engine/ConflictResolver.h"
#include "Engine/RulesEngine.h"
#include "Lane/SyncLane.h"
#include "Model/ModelContainerFactory.h"
#include "Model/ModelContext.h"
#include "Model/SyncFile.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/Files/FolderBookmark.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "fake-service/FakeHarborly.h"
#include "support/FakeDAWRunningStateProvider.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <map>
#include <set>

#include <sys/stat.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::fuzz;
using quillmere::test::FakeDAWRunningStateProvider;
using quillmere::test::FakeHarborly;
using quillmere::test::FakeLibraryFile;

namespace {

constexpr int maxPages = 6;
constexpr int maxOperations = 32;
const QString folderName = QStringLiteral("Loops");

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    check(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size(), "the rig's files can be made", path);
}

// A file of the user's the service never had: its place and content.
struct UserFile
{
    QString relative;
    QByteArray content;
};

const std::vector<UserFile> &userFiles()
{
    static const std::vector<UserFile> files = {
        {QStringLiteral("mine.wav"), "the user's take"},
        {QStringLiteral("A/mine.wav"), "the user's take in A"},
        {QStringLiteral("Song.wav"), "the user's song"},
        {QStringLiteral("Caf\u00e9.wav"), "the user's cafe"},
        {QStringLiteral(".hidden.wav"), "the user's hidden file"},
        {QStringLiteral("x (conflict).wav"), "the user's conflict copy"},
        {QStringLiteral("notes.txt"), "the user's notes"},
    };
    return files;
}

// Names a script can give a service file: plain, clashing with the user's in case or form,
// hostile, and our own temporary and conflict names.
const QStringList &names()
{
    static const QStringList list = {
        QStringLiteral("a.wav"),
        QStringLiteral("A.wav"),
        QStringLiteral("mine.wav"),
        QStringLiteral("song.wav"),
        QStringLiteral("Cafe\u0301.wav"),
        QStringLiteral("Caf\u00e9.wav"),
        QStringLiteral(".."),
        QStringLiteral("."),
        QString(),
        QStringLiteral("/etc/passwd"),
        QStringLiteral("../escaped.wav"),
        QStringLiteral("x/../../y.wav"),
        QString::fromUtf8("nul\0.wav", 8),
        QString(QChar(0xD800)) + QStringLiteral(".wav"),
        QString(300, u'n') + QStringLiteral(".wav"),
        QStringLiteral(".hidden.wav"),
        QStringLiteral("mine.wav.quillmere-tmp-00000000abcd"),
        QStringLiteral("x (conflict).wav"),
        QStringLiteral("escape"),
        QStringLiteral("notes.txt"),
        QStringLiteral("b.aiff"),
    };
    return list;
}

const std::vector<std::optional<QString>> &drivePaths()
{
    static const std::vector<std::optional<QString>> list = {
        std::nullopt,
        QString(),
        QStringLiteral("A"),
        QStringLiteral("A/B"),
        QStringLiteral("a"),
        QStringLiteral(".."),
        QStringLiteral("../outside"),
        QStringLiteral("/tmp"),
        QStringLiteral("escape"),
        QStringLiteral("absolute"),
        QStringLiteral(".hidden"),
        QStringLiteral("A/../.."),
        QStringLiteral("."),
    };
    return list;
}

QByteArray contentFor(std::uint8_t pick)
{
    const auto &mine = userFiles();
    switch (pick % 6) {
    case 0: return "v1";
    case 1: return "v2";
    case 2: return "v3";
    case 3: return QByteArray();
    // The service holding the bytes of a file of the user's, elsewhere.
    default: return mine[pick / 6 % mine.size()].content;
    }
}

// Reads the input one byte at a time; zeros once it ends.
class Bytes
{
public:
    Bytes(const std::uint8_t *data, std::size_t size) : m_data(data), m_size(size) {}
    bool atEnd() const { return m_at >= m_size; }
    std::uint8_t next() { return atEnd() ? 0 : m_data[m_at++]; }
    QByteArray take(std::size_t count)
    {
        count = std::min(count, m_size - std::min(m_at, m_size));
        QByteArray bytes(reinterpret_cast<const char *>(m_data + m_at), qsizetype(count));
        m_at += count;
        return bytes;
    }

private:
    const std::uint8_t *m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

QCoro::Task<> runPass(std::shared_ptr<SyncLane> lane, bool *done)
{
    try {
        co_await lane->runDeltaPass({});
    } catch (...) {
        unexpected(std::current_exception());
    }
    *done = true;
}

template<typename T>
T finish(QCoro::Task<T> task)
{
    std::optional<T> result;
    bool done = false;
    auto capture = [](QCoro::Task<T> inner, std::optional<T> *out, bool *finished) -> QCoro::Task<> {
        out->emplace(co_await std::move(inner));
        *finished = true;
    };
    capture(std::move(task), &result, &done);
    QElapsedTimer timer;
    timer.start();
    while (!done) {
        check(timer.elapsed() < 20000, "the rig's set-up finishes");
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::usleep(100);
    }
    return std::move(*result);
}

void finishVoid(QCoro::Task<> task)
{
    auto wrap = [](QCoro::Task<> inner) -> QCoro::Task<bool> {
        co_await std::move(inner);
        co_return true;
    };
    finish(wrap(std::move(task)));
}

// What the folder's surroundings hold: path -> content hash, link target or "dir".
std::map<QString, QString> snapshot(const QString &folder, const QStringList &skip)
{
    std::map<QString, QString> entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        const QString path = it.next();
        if (skip.contains(it.fileName()))
            continue;
        const QFileInfo info(path);
        if (info.isSymLink())
            entries[path] = QStringLiteral("link:") + info.symLinkTarget();
        else if (info.isDir()) {
            entries[path] = QStringLiteral("dir");
            for (const auto &[below, what] : snapshot(path, {}))
                entries[below] = what;
        } else
            entries[path] = sha256(readAll(path));
    }
    return entries;
}

// A fresh world per input: the fake service, a store, a folder with the user's files and the
// lane, all in one temporary folder.
class Rig
{
public:
    Rig(bool downloadOnly, bool flat, bool userFilesFirst)
        : m_downloadOnly(downloadOnly), m_base(scratchFolder() + QStringLiteral("/feed-XXXXXX"))
    {
        check(m_base.isValid(), "the rig's folder can be made");
        base = QFileInfo(m_base.path()).canonicalFilePath();
        root = base + u'/' + folderName;
        outside = base + QStringLiteral("/outside");
        QDir().mkpath(root + QStringLiteral("/A"));
        QDir().mkpath(base + QStringLiteral("/store"));
        writeFile(outside + QStringLiteral("/secret.wav"), "outside");
        check(::symlink("../outside", QFile::encodeName(root + QStringLiteral("/escape")).constData()) == 0
                  && ::symlink(QFile::encodeName(outside).constData(),
                               QFile::encodeName(root + QStringLiteral("/absolute")).constData())
                         == 0,
              "the rig's links can be made");

        fake.start();
        account = fake.addAccount();
        const QUrl baseURL = fake.baseURL();
        tokens = std::make_shared<TokenManager>(vault, KeychainVault::bearerTokenKey(), [baseURL] { return baseURL; });
        finish(tokens->saveToken(fake.issueToken(account), QDateTime::currentDateTimeUtc().addDays(30)));
        client = std::make_shared<LibraryAPIClient>(std::make_shared<HarborlyAPI>(tokens, clock));
        container = ModelContainerFactory::makeContainer(base + QStringLiteral("/store/Quillmere.store"));
        context = std::make_shared<ModelContext>(container);
        bookmarks = std::make_shared<BookmarkManager>(vault);

        const auto kind = flat ? SyncFolderType::unorganisedAudio : SyncFolderType::projectsFolder;
        const auto mode = downloadOnly ? SyncFolderSyncMode::downloadOnly : SyncFolderSyncMode::bidirectional;
        folder = context->insert(std::make_shared<SyncFolder>(folderName, kind, root,
                                                              flat ? QStringList{QStringLiteral("wav")} : QStringList(),
                                                              mode, true, 0, false, std::nullopt, true,
                                                              std::vector<std::shared_ptr<DAWConfiguration>>()));
        context->save();
        finishVoid(bookmarks->saveBookmark(FolderBookmark::make(root), folder->stableID()));

        // Before the lane starts, its first look sees them; after, the first page meets them.
        if (userFilesFirst)
            writeUserFiles();
        before = snapshot(base, {folderName, QStringLiteral("store")});
        LaneServices services{folder, client, bookmarks, rules, conflicts, context, &vault, &clock, guards};
        lane = std::dynamic_pointer_cast<SyncLane>(makeSyncLaneFactory()(services));
        lane->setDeltaLoopEnabledForTesting(false);
        lane->start();
        settle();
        if (!userFilesFirst)
            writeUserFiles();
        noteServiceContent();
    }

    ~Rig()
    {
        lane->stop();
        settle();
        lane.reset();
        fake.stop();
    }

    void writeUserFiles()
    {
        for (const auto &file : userFiles())
            writeFile(root + u'/' + file.relative, file.content);
    }

    // Turns the event loop until the lane is settled; while it is busy and nothing arrives for
    // a moment, the manual clock moves to its next deadline.
    void settle()
    {
        QElapsedTimer timer;
        timer.start();
        int quiet = 0;
        for (;;) {
            QCoreApplication::sendPostedEvents(nullptr, 0);
            QCoreApplication::processEvents(QEventLoop::AllEvents);
            if (lane->isSettled()) {
                QCoreApplication::sendPostedEvents(nullptr, 0);
                QCoreApplication::processEvents(QEventLoop::AllEvents);
                if (lane->isSettled())
                    return;
            }
            check(timer.elapsed() < 30000, "the lane settles");
            QThread::usleep(200);
            if (++quiet < 10)
                continue;
            quiet = 0;
            if (const auto next = clock.nextDeadline())
                clock.advance(std::max(*next - clock.now(), Clock::Duration::zero()));
        }
    }

    void pass()
    {
        bool done = false;
        runPass(lane, &done);
        QElapsedTimer timer;
        timer.start();
        while (!done) {
            check(timer.elapsed() < 30000, "a delta pass ends");
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::usleep(100);
        }
        settle();
        noteServiceContent();
    }

    void noteServiceContent()
    {
        for (const auto &file : fake.files(account)) {
            held.insert(file.checksum.toLower());
            issued.insert(file.id); // the lane's uploads among them
        }
        for (const auto &file : userFiles()) {
            const QString hash = sha256(file.content);
            if (fake.uploadedObject(hash) || fake.storedObject(hash))
                held.insert(hash);
        }
    }

    qint64 serve(const QString &name, const std::optional<QString> &drivePath, const QByteArray &content)
    {
        FakeLibraryFile file;
        file.accountId = account;
        file.filename = name;
        file.folderType = rawValue(folder->folderType());
        file.syncFolderUUID = folder->stableID().toString(QUuid::WithoutBraces).toUpper();
        file.drivePath = drivePath;
        file.content = content;
        const qint64 id = fake.addFile(file);
        issued.insert(id);
        held.insert(sha256(content));
        return id;
    }

    void checkProperties();

    bool m_downloadOnly;
    QTemporaryDir m_base;
    QString base, root, outside;
    InMemorySecretBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    FakeHarborly fake;
    qint64 account = 0;
    ManualClock clock;
    std::shared_ptr<TokenManager> tokens;
    std::shared_ptr<LibraryAPIClient> client;
    std::shared_ptr<ModelContainer> container;
    std::shared_ptr<ModelContext> context;
    std::shared_ptr<BookmarkManager> bookmarks;
    std::shared_ptr<RulesEngine> rules = std::make_shared<RulesEngine>();
    std::shared_ptr<ConflictResolver> conflicts = std::make_shared<ConflictResolver>();
    std::shared_ptr<FakeDAWRunningStateProvider> guards = std::make_shared<FakeDAWRunningStateProvider>();
    std::shared_ptr<SyncFolder> folder;
    std::shared_ptr<SyncLane> lane;
    std::map<QString, QString> before;
    std::set<qint64> issued;
    std::set<QString> held; // every content the service was given or held
};

// A failed property with the lane's activity log, which tells what it did with each change.
void holds(bool condition, const char *property, const QString &detail = QString())
{
    if (condition)
        return;
    for (const auto &entry : SyncLogger::shared().entries())
        std::fprintf(stderr, "lane: %s\n", entry.detail.value_or(QString()).toUtf8().constData());
    fail(property, detail);
}

void Rig::checkProperties()
{
    const auto now = snapshot(base, {folderName, QStringLiteral("store")});
    for (const auto &[path, what] : before) {
        const auto found = now.find(path);
        holds(found != now.end() && found->second == what, "nothing outside the folder is changed or removed", path);
    }
    for (const auto &[path, what] : now)
        holds(before.count(path) > 0, "nothing is created outside the folder", path);
    holds(QFileInfo(root + QStringLiteral("/escape")).symLinkTarget() == outside
              && QFileInfo(root + QStringLiteral("/absolute")).symLinkTarget() == outside,
          "the links in the folder stay as they are");

    // The user's files: a content the service never held is still in its place.
    if (!m_downloadOnly) {
        for (const auto &file : userFiles()) {
            const QString path = root + u'/' + file.relative;
            struct stat info{};
            const bool regular = ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode);
            if (!regular || readAll(path) != file.content)
                holds(held.count(sha256(file.content)) > 0,
                      "a file whose content the service never held is neither removed nor overwritten", path);
        }
    }

    // Case and form twins: none written beside another name of its directory.
    std::set<QString> userPaths;
    for (const auto &file : userFiles())
        userPaths.insert(root + u'/' + file.relative);
    std::map<QString, QString> folded;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        holds(!it.fileName().contains(QLatin1String(".quillmere-tmp-")), "no temporary file is left behind", path);
        if (it.fileInfo().isDir())
            continue; // a folder the service names beside a user's one is no file written over
        const QString key = QFileInfo(path).path() + u'/'
                            + it.fileName().normalized(QString::NormalizationForm_D).toCaseFolded().normalized(QString::NormalizationForm_C);
        const auto [at, fresh] = folded.emplace(key, path);
        if (!fresh)
            holds(userPaths.count(path) > 0 && userPaths.count(at->second) > 0,
                  "no name differing from another only in case or form is written", path + QStringLiteral(" and ") + at->second);
    }

    // The store as another reader sees it.
    ModelContext reader(container);
    for (const auto &record : reader.fetch(SyncFile::inFolder(folder->stableID()))) {
        const QString path = record->localPath();
        holds(path.startsWith(root + u'/') && !path.contains(QLatin1String("/../")) && !path.endsWith(QLatin1String("/..")),
              "every record lies inside the folder", path);
        if (record->remoteId())
            holds(issued.count(*record->remoteId()) > 0, "a record's id is one the service gave out", path);
        if (record->syncStatus() == SyncFileStatus::synced
            && record->desiredState().value_or(SyncFileDesiredState::syncedLocal) == SyncFileDesiredState::syncedLocal
            && record->localChecksum()) {
            struct stat info{};
            holds(::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISREG(info.st_mode),
                  "a synced record's file is there", path);
            holds(sha256(readAll(path)) == record->localChecksum()->toLower(),
                  "a synced record's file has the content it records", path);
        }
    }
}

// The script: each operation's first byte picks it (value % 8), its arguments follow.
//   0 end of page: one delta pass and what it leaves owed
//   1 create NAME DRIVE CONTENT          2 change FILE CONTENT
//   3 rename or move FILE NAME DRIVE     4 delete FILE
//   5 a guarding application starts or quits
//   6 the service refuses the next cursor (it no longer keeps that history)
//   7 create with a name from the input: LENGTH, bytes (UTF-8; raw UTF-16 when LENGTH is odd)
// A page break follows the last operation.
void runScript(Rig &rig, Bytes &in)
{
    std::vector<qint64> live;
    const auto pick = [&](std::uint8_t byte) { return live[byte % live.size()]; };
    int pages = 0;
    for (int operation = 0; operation < maxOperations && !in.atEnd() && pages < maxPages; ++operation) {
        switch (in.next() % 8) {
        case 0:
            rig.pass();
            rig.checkProperties();
            ++pages;
            break;
        case 1: {
            const QString name = names()[in.next() % names().size()];
            const auto drive = drivePaths()[in.next() % drivePaths().size()];
            live.push_back(rig.serve(name, drive, contentFor(in.next())));
            break;
        }
        case 2: {
            const std::uint8_t which = in.next();
            const QByteArray content = contentFor(in.next());
            if (live.empty())
                break;
            rig.held.insert(sha256(content)); // the feed tells of every version, not only the last
            rig.fake.updateFile(pick(which), [&](FakeLibraryFile &file) {
                file.content = content;
                file.checksum.clear();
                file.fileSize = -1;
            });
            break;
        }
        case 3: {
            const std::uint8_t which = in.next();
            const QString name = names()[in.next() % names().size()];
            const auto drive = drivePaths()[in.next() % drivePaths().size()];
            if (!live.empty())
                rig.fake.updateFile(pick(which), [&](FakeLibraryFile &file) {
                    file.filename = name;
                    file.drivePath = drive;
                });
            break;
        }
        case 4:
            if (const std::uint8_t which = in.next(); !live.empty()) {
                const qint64 id = pick(which);
                rig.fake.removeFile(id);
                live.erase(std::find(live.begin(), live.end(), id));
            }
            break;
        case 5:
            if (rig.guards->result.isEmpty())
                rig.guards->result = {QStringLiteral("Studio")};
            else
                rig.guards->result.clear();
            break;
        case 6:
            rig.fake.answerNext("/api/v1/files/library/changes", 410, R"({"error":"cursor expired"})");
            break;
        default: {
            const std::size_t length = in.next() % 64;
            const QByteArray bytes = in.take(length);
            const QString name = length % 2 ? textFrom(bytes, true) : QString::fromUtf8(bytes);
            live.push_back(rig.serve(name, drivePaths()[in.next() % drivePaths().size()], contentFor(in.next())));
            break;
        }
        }
    }
    rig.pass();
    rig.checkProperties();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initialise(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    SyncLogger::shared().clear();
    Bytes in(data, size);
    const std::uint8_t setUp = in.next();
    try {
        Rig rig(setUp & 1, setUp & 2, setUp & 4);
        runScript(rig, in);
    } catch (...) {
        unexpected(std::current_exception());
    }
    return 0;
}
