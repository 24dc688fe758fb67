// What judging sends against what the service holds costs a whole queue pass of one folder,
// against the in-process fake service on loopback, on the real clock (Clock::system()). Each
// scenario runs on a fresh lane (BenchLane) and times ONE processQueue from start to end; its
// setup (files on disk, the service's files, the records, saved once) stays outside the clock.
//  a) edits of files that came down: N files the service holds in this folder, recorded here
//     as their download left them (synced, the served content's checksum on both sides, the
//     folder's cursor at the feed's end), each overwritten here with new bytes and owed its
//     upload, due at once. N = 2,000, then 10,000. Printed: the time, the confirmations
//     (POST confirm-upload), the reads of the change feed during the pass, reads per
//     confirmation, and the change entries those reads carried on average (reckoned from the
//     request log: each read's cursor against the changes the requests logged before it had
//     made, so exact up to requests answered at the same moment).
//  b) deletes: 10,000 such files deleted here and owed their delete at the service; printed
//     beside the DELETE requests, the feed reads and reads per delete. In the same run, the
//     same 10,000 files sent as new files from a fresh lane (never seen by the service), timed
//     the same way.
//  c) pointers: 10,000 new files here whose content the service already holds elsewhere in the
//     library (its loose files), in a folder that has a head commit (one file sent through the
//     lane first); printed: the time, the batch dedup-confirm requests, the feed reads.
// Each goal stands on a reference measured in the same run, on a fresh lane, just before its
// figure: for a) the same edits of files that carry a base commit of their own, which the
// service judges and no read precedes; for c) the same pointers in an upload-only folder,
// whose new files are not judged at their place. Goals: a) 2,000 and 10,000 edits within
// 1.5 x their reference; b) the deletes within 2 x the upload of the same files; c) within
// 1.3 x its reference. Each goal line reads "<what>: <time>, <ratio> x the reference (goal
// <g>x)".
// Usage: judge_bench [a|b|c|all] [N]   (default all; N replaces each scenario's file count)

#include "BenchLane.h"

#include "Model/EnumStrings.h"
#include "Model/SyncFile.h"
#include "Platform/Async/TaskHandle.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using namespace quillmere;
using namespace quillmere::bench;

namespace {

const std::string kChangesPath = "/api/v1/files/library/changes";
const std::string kConfirmPath = "/api/v1/files/confirm-upload";
const std::string kDedupConfirmPath = "/api/v1/files/batch-dedup-confirm";
const std::string kLibraryPrefix = "/api/v1/files/library/";

// A pass that has not ended after this long is reported and stopped: its figures would say
// nothing, and the run goes on to the next scenario. Generous: a lane that reads the feed
// from the folder's cursor for each confirmation takes minutes over 10,000 edits.
constexpr auto kPassLimit = std::chrono::minutes(45);

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// A small WAV take (1-16 KiB, as queue_bench's), its samples and size from the seed.
QByteArray takeBytes(quint32 seed)
{
    return wavBytes(1024 + qsizetype((seed * 2654435761u) % (15 * 1024)), seed);
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// A hundred takes a session, as a project folder holds them.
QString sessionOf(int i)
{
    return QStringLiteral("Session %1").arg(i / 100);
}

QString nameOf(int i)
{
    return QStringLiteral("Take_%1.wav").arg(i);
}

QString folderUUIDOf(const BenchLane &bench)
{
    return bench.folder->stableID().toString(QUuid::WithoutBraces).toUpper();
}

QDateTime anHourAgo()
{
    return QDateTime::currentDateTimeUtc().addSecs(-3600);
}

// "cur-N" -> N; -1 for anything else.
qint64 cursorNumber(const QString &cursor)
{
    bool ok = false;
    const qint64 n = cursor.startsWith(QLatin1String("cur-")) ? cursor.mid(4).toLongLong(&ok) : -1;
    return ok ? n : -1;
}

// `count` files the service holds in this folder, each on this disk as its download left it:
// the same content on both sides, synced, nothing owed. The folder's cursor is the feed's
// end, so nothing of the seeding is read again. Saved once. Their paths, by number; none
// when a file cannot be written.
// With `ownBase`, each file carries a commit of its own at the service and here, which an
// upload names as its base.
std::vector<QString> seedCameDown(BenchLane &bench, int count, quint32 seedBase, bool ownBase = false)
{
    std::vector<QString> paths;
    paths.reserve(size_t(count));
    const QString kind = rawValue(bench.folder->folderType());
    const QString folderUUID = folderUUIDOf(bench);
    const QDateTime synced = anHourAgo();
    for (int i = 0; i < count; ++i) {
        const QString name = nameOf(i);
        const QString path = bench.folderPath + u'/' + sessionOf(i) + u'/' + name;
        const QByteArray bytes = takeBytes(seedBase + quint32(i));
        if (!writeBytes(path, bytes)) {
            std::printf("cannot write %s\n", qPrintable(path));
            return {};
        }
        paths.push_back(path);
        const QString checksum = sha256Hex(bytes);
        test::FakeLibraryFile served;
        served.accountId = bench.account;
        served.filename = name;
        served.folderType = kind;
        served.syncFolderUUID = folderUUID;
        served.drivePath = sessionOf(i);
        served.content = bytes;
        served.fileSize = bytes.size();
        served.checksum = checksum;
        const qint64 id = bench.fake.addFile(std::move(served));
        const QString commit = QStringLiteral("seed-%1").arg(id);
        if (ownBase)
            bench.fake.setCommit(id, commit);

        auto record = std::make_shared<SyncFile>(path, name);
        record->setFolderID(bench.folder->stableID());
        record->setRemoteId(id);
        record->setLocalChecksum(checksum);
        record->setRemoteChecksum(checksum);
        record->setLastSyncedAt(synced);
        record->setSyncDirection(SyncFileDirection::download);
        if (ownBase)
            record->setBaseCommitSha(commit);
        if (const auto stamp = SyncLane::fileStamp(path))
            record->setInode(stamp->inode);
        record->markSynced();
        bench.context->insert(std::move(record));
    }
    bench.folder->setDeltaCursor(bench.fake.currentCursor(bench.account));
    bench.context->save();
    return paths;
}

// A file made here with these bytes, owed its first upload and due at once (the change was
// seen an hour ago); not saved.
bool oweNewFile(BenchLane &bench, const QString &path, const QByteArray &bytes)
{
    if (!writeBytes(path, bytes)) {
        std::printf("cannot write %s\n", qPrintable(path));
        return false;
    }
    auto record = std::make_shared<SyncFile>(path, QFileInfo(path).fileName());
    record->setFolderID(bench.folder->stableID());
    record->setLocalModifiedAt(anHourAgo());
    record->setSyncStatus(SyncFileStatus::pending);
    record->oweUpload();
    bench.context->insert(std::move(record));
    return true;
}

// `count` files made here with these contents, each owed its first upload. Saved once.
bool seedNewFiles(BenchLane &bench, int count, const std::function<QByteArray(int)> &bytesOf)
{
    for (int i = 0; i < count; ++i)
        if (!oweNewFile(bench, bench.folderPath + u'/' + sessionOf(i) + u'/' + nameOf(i), bytesOf(i)))
            return false;
    bench.context->save();
    return true;
}

struct Pass
{
    double seconds = 0;
    bool ended = true;
    // CPU time during the pass: of the main thread (the lane's, where every slot's work
    // and every reply's reading runs) and of the whole process (the fake's threads too).
    double laneCpu = 0;
    double processCpu = 0;
};

double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void printCpu(const char *indent, const Pass &pass)
{
    std::printf("%sCPU during the pass: %.2f s on the lane's thread (%.0f %% of the pass), %.2f s in the whole process\n",
                indent, pass.laneCpu, pass.seconds > 0 ? 100 * pass.laneCpu / pass.seconds : 0.0, pass.processCpu);
}

// One queue pass, start to end, on the real clock.
Pass timePass(const std::shared_ptr<SyncLane> &lane)
{
    const double laneCpuBefore = cpuSeconds(RUSAGE_THREAD);
    const double processCpuBefore = cpuSeconds(RUSAGE_SELF);
    QElapsedTimer timer;
    timer.start();
    TaskHandle pass = TaskHandle::start([lane](std::stop_token stop) { return lane->processQueue(std::move(stop)); });
    const auto limit = std::chrono::steady_clock::now() + kPassLimit;
    turnUntil([&] { return !pass.isRunning() || std::chrono::steady_clock::now() > limit; });
    Pass result{double(timer.nsecsElapsed()) / 1e9, !pass.isRunning(), cpuSeconds(RUSAGE_THREAD) - laneCpuBefore,
                cpuSeconds(RUSAGE_SELF) - processCpuBefore};
    if (!result.ended) {
        pass.cancel();
        turnUntil([&] { return !pass.isRunning(); });
    }
    return result;
}

// What the folder's records say after the pass.
struct Records
{
    int synced = 0;
    int owed = 0;     // still pending or syncing
    int conflict = 0;
    int error = 0;
};

Records tallyRecords(BenchLane &bench)
{
    Records tally;
    for (const auto &record : bench.context->fetch(SyncFile::inFolder(bench.folder->stableID()))) {
        switch (record->syncStatus()) {
        case SyncFileStatus::synced:
            if (record->desiredState().value_or(SyncFileDesiredState::syncedLocal) == SyncFileDesiredState::syncedLocal)
                ++tally.synced;
            else
                ++tally.owed; // shown synced, still owed something
            break;
        case SyncFileStatus::pending:
        case SyncFileStatus::syncing:
            ++tally.owed;
            break;
        case SyncFileStatus::conflict:
            ++tally.conflict;
            break;
        case SyncFileStatus::error:
            ++tally.error;
            break;
        }
    }
    return tally;
}

void printRecords(const char *indent, const Records &tally)
{
    std::printf("%srecords after the pass: %d synced, %d still owed, %d in conflict, %d failed\n", indent, tally.synced,
                tally.owed, tally.conflict, tally.error);
}

// The requests of one pass, from the fake's log.
struct Requests
{
    int confirms = 0;
    int dedupConfirms = 0;
    int deletes = 0;
    int feedReads = 0;
    qint64 feedEntries = 0;      // change entries the reads carried
    bool entriesKnown = true;    // false when a read named no "cur-N" cursor
    int total = 0;
};

// Each read of the feed carries every change after its cursor that was made before it was
// answered: the log is in the order requests were answered, and each answered confirmation,
// delete or dedup-confirm entry made one change (the pass's changes are all of this folder).
Requests countRequests(const std::vector<test::LoggedRequest> &log, qint64 sequenceBefore)
{
    Requests counted;
    qint64 sequence = sequenceBefore;
    for (const auto &request : log) {
        ++counted.total;
        const bool answered = request.status == 200 || request.status == 201;
        if (request.method == "GET" && request.path == kChangesPath) {
            ++counted.feedReads;
            const auto since = request.queryValue("since");
            const qint64 from = since ? cursorNumber(QString::fromStdString(*since)) : 0;
            if (from < 0)
                counted.entriesKnown = false;
            else
                counted.feedEntries += std::max<qint64>(0, sequence - from);
        } else if (request.method == "POST" && request.path == kConfirmPath) {
            ++counted.confirms;
            if (answered)
                ++sequence;
        } else if (request.method == "POST" && request.path == kDedupConfirmPath) {
            ++counted.dedupConfirms;
            if (answered)
                sequence += QJsonDocument::fromJson(QByteArray::fromStdString(request.body))
                                .object()
                                .value(QStringLiteral("files"))
                                .toArray()
                                .size();
        } else if (request.method == "DELETE" && request.path.rfind(kLibraryPrefix, 0) == 0) {
            ++counted.deletes;
            if (answered)
                ++sequence;
        }
    }
    return counted;
}

double perOne(double part, double whole)
{
    return whole > 0 ? part / whole : 0.0;
}

void printFeed(const char *indent, const Requests &counted)
{
    if (counted.entriesKnown)
        std::printf("%sfeed: %d reads carrying %lld change entries, %.1f changes per read on average\n", indent,
                    counted.feedReads, static_cast<long long>(counted.feedEntries),
                    perOne(double(counted.feedEntries), double(counted.feedReads)));
    else
        std::printf("%sfeed: %d reads (changes per read unknown: a read named no cursor of the feed's)\n", indent,
                    counted.feedReads);
}

void printEnd(const char *indent, const Pass &pass)
{
    if (!pass.ended)
        std::printf("%sTHE PASS DID NOT END within %lld s: stopped, its figures are of the part that ran\n", indent,
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kPassLimit).count()));
}

// a) Edits of files that came down; with `ownBase`, the reference: the same edits of files
// with a base commit of their own.
Pass runEdits(int count, bool ownBase)
{
    BenchLane bench;
    // Each owed file is sent as the service asks: by its presigned PUT.
    bench.fake.setPresignedUploads(true, true);
    QElapsedTimer setup;
    setup.start();
    const std::vector<QString> paths = seedCameDown(bench, count, 1, ownBase);
    if (paths.empty())
        return {0, false};
    // Each file edited here an hour ago: new bytes, owed its upload, due now.
    for (size_t i = 0; i < paths.size(); ++i) {
        if (!writeBytes(paths[i], takeBytes(quint32(1'000'000 + i)))) {
            std::printf("cannot write %s\n", qPrintable(paths[i]));
            return {0, false};
        }
    }
    const QDateTime seen = anHourAgo();
    for (const auto &record : bench.context->fetch(SyncFile::inFolder(bench.folder->stableID()))) {
        record->oweUpload();
        record->setSyncStatus(SyncFileStatus::pending);
        record->setLocalModifiedAt(seen);
    }
    bench.context->save();
    auto lane = bench.makeLane();
    const qint64 before = cursorNumber(bench.fake.currentCursor(bench.account));
    bench.fake.clearRequestLog();
    std::printf("a) %d edits of files that came down%s (setup %.1f s)\n", count,
                ownBase ? ", each with a base commit of its own (the reference)" : "",
                double(setup.nsecsElapsed()) / 1e9);

    const Pass pass = timePass(lane);
    const Requests counted = countRequests(bench.fake.requestLog(), before);
    printEnd("   ", pass);
    std::printf("   pass: %.2f s, %.0f edits/s\n", pass.seconds, perOne(count, pass.seconds));
    printCpu("   ", pass);
    std::printf("   confirmations: %d; feed reads per confirmation %.4f\n", counted.confirms,
                perOne(counted.feedReads, counted.confirms));
    printFeed("   ", counted);
    std::printf("   requests in all: %d\n", counted.total);
    printRecords("   ", tallyRecords(bench));
    return pass;
}

// The goal line of a figure against its same-run reference.
void printGoal(const QString &what, const Pass &measured, const Pass &reference, double goal)
{
    if (!measured.ended || !reference.ended || reference.seconds <= 0) {
        std::printf("%s: no ratio (a pass did not end)\n", qPrintable(what));
        return;
    }
    const double ratio = measured.seconds / reference.seconds;
    std::printf("%s: %.2f s, %.2f x the reference of %.2f s (goal %.1fx)%s\n", qPrintable(what), measured.seconds, ratio,
                reference.seconds, goal, ratio <= goal ? "" : "  NOT MET");
}

void runEditsAgainstReference(int count)
{
    const Pass reference = runEdits(count, true);
    const Pass judged = runEdits(count, false);
    printGoal(QStringLiteral("%L1 edits of files that came down").arg(count), judged, reference, 1.5);
}

// The same files, sent as new files from a fresh lane; returns the pass's time.
Pass runNewUploads(int count)
{
    BenchLane bench;
    bench.fake.setPresignedUploads(true, true);
    if (!seedNewFiles(bench, count, [](int i) { return takeBytes(1 + quint32(i)); }))
        return {0, false};
    auto lane = bench.makeLane();
    const qint64 before = cursorNumber(bench.fake.currentCursor(bench.account));
    bench.fake.clearRequestLog();
    const Pass pass = timePass(lane);
    const Requests counted = countRequests(bench.fake.requestLog(), before);
    printEnd("   ", pass);
    std::printf("   the same %d files sent as new files from a fresh lane: %.2f s, %.0f files/s; %d confirmations, "
                "%d dedup-confirms\n",
                count, pass.seconds, perOne(count, pass.seconds), counted.confirms, counted.dedupConfirms);
    printFeed("   ", counted);
    printRecords("   ", tallyRecords(bench));
    return pass;
}

// b) Deletes, beside the upload of the same files.
void runDeletes(int count)
{
    Pass deletes;
    {
        BenchLane bench;
        QElapsedTimer setup;
        setup.start();
        if (seedCameDown(bench, count, 1).empty())
            return;
        // Each file deleted here, its record owed the delete at the service, as the intake
        // leaves a proven deletion of a file the service holds.
        for (const auto &record : bench.context->fetch(SyncFile::inFolder(bench.folder->stableID()))) {
            if (!QFile::remove(record->localPath())) {
                std::printf("cannot remove %s\n", qPrintable(record->localPath()));
                return;
            }
            record->setSyncStatus(SyncFileStatus::pending);
            record->oweRemoteDelete();
        }
        bench.context->save();
        auto lane = bench.makeLane();
        const qint64 before = cursorNumber(bench.fake.currentCursor(bench.account));
        bench.fake.clearRequestLog();
        std::printf("b) %d deletes of files that came down (setup %.1f s)\n", count,
                    double(setup.nsecsElapsed()) / 1e9);

        deletes = timePass(lane);
        const Requests counted = countRequests(bench.fake.requestLog(), before);
        printEnd("   ", deletes);
        std::printf("   pass: %.2f s, %.0f deletes/s; DELETE requests: %d; feed reads per delete %.4f; %zu files left "
                    "at the service\n",
                    deletes.seconds, perOne(count, deletes.seconds), counted.deletes,
                    perOne(counted.feedReads, counted.deletes), bench.fake.fileCount(bench.account));
        printFeed("   ", counted);
        printRecords("   ", tallyRecords(bench));
    }
    const Pass uploads = runNewUploads(count);
    if (uploads.seconds > 0)
        std::printf("   deletes/upload time %.2f (goal <= 2: the deletes within %.2f s)\n",
                    deletes.seconds / uploads.seconds, 2 * uploads.seconds);
}

// c) Pointers: new files whose content the service holds elsewhere, in a folder with a commit;
// with `uploadOnly`, the reference: the same in an upload-only folder, where they are not
// judged at their place.
Pass runPointers(int count, bool uploadOnly)
{
    BenchLane bench;
    if (uploadOnly) {
        bench.folder->setSyncMode(SyncFolderSyncMode::uploadOnly);
        bench.context->save();
    }
    bench.fake.setPresignedUploads(true, true);
    QElapsedTimer setup;
    setup.start();
    // The contents, held by the library's loose files (no sync folder's).
    for (int i = 0; i < count; ++i) {
        test::FakeLibraryFile held;
        held.accountId = bench.account;
        held.filename = nameOf(i);
        held.folderType = QStringLiteral("unorganised");
        held.drivePath = QStringLiteral("Other");
        held.content = takeBytes(2'000'000 + quint32(i));
        bench.fake.addFile(std::move(held));
    }
    auto lane = bench.makeLane();
    // The folder's head commit: a take sent from here before.
    if (!oweNewFile(bench, bench.folderPath + QStringLiteral("/First take.wav"), takeBytes(3'000'000)))
        return {0, false};
    bench.context->save();
    const Pass sent = timePass(lane);
    if (!sent.ended || !bench.folder->headCommitSha()) {
        std::printf("c) the first take did not give the folder a head commit: the scenario would not be the one "
                    "asked for\n");
        return {0, false};
    }
    // Nothing of the seeding is read again by the pass's reads.
    bench.folder->setDeltaCursor(bench.fake.currentCursor(bench.account));
    bench.context->save();
    if (!seedNewFiles(bench, count, [](int i) { return takeBytes(2'000'000 + quint32(i)); }))
        return {0, false};
    const qint64 before = cursorNumber(bench.fake.currentCursor(bench.account));
    bench.fake.clearRequestLog();
    std::printf("c) %d new files whose content the service holds elsewhere, in a%s folder with a head commit%s (setup "
                "%.1f s)\n",
                count, uploadOnly ? "n upload-only" : "", uploadOnly ? " (the reference)" : "",
                double(setup.nsecsElapsed()) / 1e9);

    const Pass pass = timePass(lane);
    const Requests counted = countRequests(bench.fake.requestLog(), before);
    printEnd("   ", pass);
    std::printf("   pass: %.2f s, %.0f files/s\n", pass.seconds, perOne(count, pass.seconds));
    printCpu("   ", pass);
    std::printf("   dedup-confirm requests: %d; single confirmations: %d; feed reads: %d; %zu files at the service\n",
                counted.dedupConfirms, counted.confirms, counted.feedReads, bench.fake.fileCount(bench.account));
    printFeed("   ", counted);
    printRecords("   ", tallyRecords(bench));
    return pass;
}

void runPointersAgainstReference(int count)
{
    const Pass reference = runPointers(count, true);
    const Pass judged = runPointers(count, false);
    printGoal(QStringLiteral("%L1 pointers at a head commit").arg(count), judged, reference, 1.3);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QByteArray which = argc > 1 ? QByteArray(argv[1]) : QByteArray("all");
    const std::optional<int> count = argc > 2 ? std::optional<int>(std::max(1, QByteArray(argv[2]).toInt()))
                                              : std::nullopt;
    if (which != "a" && which != "b" && which != "c" && which != "all") {
        std::printf("usage: judge_bench [a|b|c|all] [N]\n");
        return 2;
    }
    const bool all = which == "all";
    if (all || which == "a") {
        if (count) {
            runEditsAgainstReference(*count);
        } else {
            runEditsAgainstReference(2'000);
            runEditsAgainstReference(10'000);
        }
    }
    if (all || which == "b")
        runDeletes(count.value_or(10'000));
    if (all || which == "c")
        runPointersAgainstReference(count.value_or(10'000));
    return 0;
}
