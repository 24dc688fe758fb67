// A lane's store lookups at 100,000 tracked files of one folder (plus 20,000 of another),
// 10,000 of them owed: a drain of 1,000 dispatches, each taking the next owed record,
// marking it syncing and saving as the lane does; then the outstanding count, the held
// downloads, the records under one directory, a record by its file UUID as each transfer's
// completion finds it (goal <= 100 us), and the conflict count and list the panel shows (one
// owed record in 100 carries a conflict, and 100 rest in conflict). Prints the time of each.
#include "Model/LaneQueries.h"
#include "Model/ModelContainerFactory.h"
#include "Model/ModelContext.h"
#include "Model/SyncFile.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>

using namespace quillmere;
using Clock = std::chrono::steady_clock;
using DS = SyncFile::DesiredState;

static double microsecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    constexpr int tracked = 100'000;
    constexpr int others = 20'000;
    constexpr int owedCount = 10'000;
    constexpr int dispatches = 1'000;
    QTemporaryDir dir;
    auto container = ModelContainerFactory::makeContainer(dir.filePath(QStringLiteral("Quillmere.sqlite")));
    ModelContext context(container);
    const QUuid folder = QUuid::createUuid(), otherFolder = QUuid::createUuid();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QRandomGenerator rng(7);
    const DS owedStates[] = {DS::uploadPending, DS::uploadPending, DS::downloadPending, DS::downloadPending,
                             DS::deletedRemote, DS::deletedLocal,   DS::conflictResolutionPending, DS::downloadHeld};

    std::vector<QString> uuids;
    auto add = [&](const QUuid &owner, int i, bool owed) {
        auto f = std::make_shared<SyncFile>(
            QStringLiteral("/home/user/Music/%1/Session %2/Audio Files/Take_%3.wav")
                .arg(owner == folder ? QStringLiteral("Projects") : QStringLiteral("Other"))
                .arg(i / 100)
                .arg(i),
            QStringLiteral("Take_%1.wav").arg(i));
        f->setFolderID(owner);
        f->setFileUUID(QUuid::createUuid().toString(QUuid::WithoutBraces));
        if (owner == folder)
            uuids.push_back(*f->fileUUID());
        f->setFileSize(1 << 20);
        f->setLocalModifiedAt(now.addSecs(-qint64(rng.bounded(86'400 * 30))));
        if (owed) {
            f->setSyncStatus(SyncFile::SyncStatus::pending);
            f->setDesiredState(owedStates[rng.bounded(8)]);
            if (owner == folder && i % (100 * (tracked / owedCount)) == 0)
                f->setConflictID(i);
        } else if (owner == folder && i % 1000 == 1) {
            f->setSyncStatus(SyncFile::SyncStatus::conflict);
            f->setDesiredState(DS::syncedLocal);
            f->setConflictID(i);
        } else {
            f->setSyncStatus(SyncFile::SyncStatus::synced);
            f->setDesiredState(DS::syncedLocal);
        }
        context.insert(std::move(f));
    };
    auto start = Clock::now();
    for (int i = 0; i < tracked; ++i)
        add(folder, i, i % (tracked / owedCount) == 0);
    for (int i = 0; i < others; ++i)
        add(otherFolder, i, i % 10 == 0);
    context.save();
    std::printf("setup: %d + %d records saved in %.2f s\n", tracked, others, microsecondsSince(start) / 1e6);

    double queryMicros = 0, saveMicros = 0, worstQuery = 0;
    int taken = 0;
    for (int i = 0; i < dispatches; ++i) {
        start = Clock::now();
        auto next = fetchWorkOwedRecords(folder, std::chrono::milliseconds(400), now, context, {});
        const double q = microsecondsSince(start);
        queryMicros += q;
        worstQuery = std::max(worstQuery, q);
        if (!next)
            break;
        ++taken;
        start = Clock::now();
        next->setSyncStatus(SyncFile::SyncStatus::syncing);
        context.save();
        saveMicros += microsecondsSince(start);
    }
    std::printf("drain: %d dispatches, query %.1f us each (worst %.1f us), mark-syncing save %.1f us each\n", taken,
                queryMicros / dispatches, worstQuery, saveMicros / std::max(taken, 1));

    // The same query with a held path and unsaved changes laid over it.
    QSet<QString> held;
    auto first = fetchWorkOwedRecords(folder, std::chrono::milliseconds(400), now, context, {});
    held.insert(first->localPath());
    first->setGeneration(first->generation() + 1);
    start = Clock::now();
    for (int i = 0; i < dispatches; ++i)
        fetchWorkOwedRecords(folder, std::chrono::milliseconds(400), now, context, held);
    std::printf("query with one excluded path and one unsaved change: %.1f us each\n", microsecondsSince(start) / dispatches);
    context.rollback();

    constexpr int repeats = 100;
    qint64 outstanding = 0;
    start = Clock::now();
    for (int i = 0; i < repeats; ++i)
        outstanding = fetchOutstandingRecordCount(context, folder);
    std::printf("outstanding count: %lld, %.1f us each\n", static_cast<long long>(outstanding),
                microsecondsSince(start) / repeats);

    size_t heldCount = 0;
    start = Clock::now();
    for (int i = 0; i < repeats; ++i)
        heldCount = fetchHeldDownloads(context, folder).size();
    std::printf("held downloads: %zu, %.1f us each\n", heldCount, microsecondsSince(start) / repeats);

    size_t under = 0;
    start = Clock::now();
    for (int i = 0; i < repeats; ++i)
        under = fetchRecordsUnderDirectory(context, folder, QStringLiteral("/home/user/Music/Projects/Session 5")).size();
    std::printf("records under one directory: %zu, %.1f us each\n", under, microsecondsSince(start) / repeats);

    // As a transfer's completion asks (SyncLane::fetchRecordByFileUUID).
    constexpr int lookups = 1'000;
    int found = 0;
    start = Clock::now();
    for (int i = 0; i < lookups; ++i) {
        auto request = SyncFile::withFileUUID(uuids[rng.bounded(int(uuids.size()))]);
        request.equals(SyncFile::Field::folderID, folder);
        found += context.fetchFirst(request) != nullptr;
    }
    std::printf("record by file UUID: %.1f us each (goal <= 100 us; %d of %d found)\n",
                microsecondsSince(start) / lookups, found, lookups);

    qint64 conflicts = 0;
    start = Clock::now();
    for (int i = 0; i < repeats; ++i)
        conflicts = fetchConflictToReviewCount(context, folder);
    std::printf("conflict count: %lld at %d owed, %.1f us each\n", static_cast<long long>(conflicts), owedCount,
                microsecondsSince(start) / repeats);

    size_t listed = 0;
    start = Clock::now();
    for (int i = 0; i < repeats; ++i)
        listed = fetchConflictsToReview(context, folder, 1000).size();
    std::printf("conflict list: %zu, %.1f us each\n", listed, microsecondsSince(start) / repeats);
    return 0;
}
