// Insert and save 100,000 tracked files, look 10,000 of them up by path, then fetch the
// whole folder. Each record carries a file UUID as the lane writes it (upper case, no braces),
// so the save pays for the file-UUID index as real records do. Prints records per second for
// each step and the peak resident memory (reached during the save).
// Goals: the save of 100,000 records within 1.0 s; the peak under 150 MB.
#include "Model/ModelContainerFactory.h"
#include "Model/ModelContext.h"
#include "Model/SyncFile.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <sys/resource.h>

using namespace quillmere;
using Clock = std::chrono::steady_clock;

static double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    constexpr int records = 100'000;
    constexpr int lookups = 10'000;
    QTemporaryDir dir;
    auto container = ModelContainerFactory::makeContainer(dir.filePath(QStringLiteral("Quillmere.sqlite")));
    ModelContext context(container);
    const QUuid folder = QUuid::createUuid();
    auto pathOf = [](int i) {
        return QStringLiteral("/home/user/Music/Projects/Session %1/Audio Files/Take_%2.wav").arg(i / 100).arg(i);
    };

    auto start = Clock::now();
    for (int i = 0; i < records; ++i) {
        auto f = std::make_shared<SyncFile>(pathOf(i), QStringLiteral("Take_%1.wav").arg(i));
        f->setFolderID(folder);
        f->setDesiredState(SyncFile::DesiredState::uploadPending);
        f->setLocalChecksum(QStringLiteral("%1").arg(i, 64, 16, QLatin1Char('0')));
        f->setFileUUID(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
        context.insert(std::move(f));
    }
    const double insertSeconds = secondsSince(start);
    start = Clock::now();
    context.save();
    const double saveSeconds = secondsSince(start);
    std::printf("insert %d records: %.3f s (%.0f records/s)\n", records, insertSeconds, records / insertSeconds);
    std::printf("save %d records: %.3f s (goal <= 1.0 s; %.0f records/s)\n", records, saveSeconds,
                records / saveSeconds);

    // Lookups in a second context, so each one reads the row from the store.
    ModelContext reader(container);
    start = Clock::now();
    int found = 0;
    for (int i = 0; i < lookups; ++i)
        found += reader.fetchFirst(SyncFile::withLocalPath(pathOf((i * 7919) % records))) ? 1 : 0;
    const double lookupSeconds = secondsSince(start);
    std::printf("lookup by localPath: %d found, %.2f us each (%.0f lookups/s)\n", found, lookupSeconds * 1e6 / lookups,
                lookups / lookupSeconds);

    start = Clock::now();
    const auto all = reader.fetch(SyncFile::inFolder(folder)
                                      .in(SyncFile::Field::syncStatus, std::vector{SyncFile::SyncStatus::pending}));
    const double folderSeconds = secondsSince(start);
    std::printf("fetch by folder: %zu records, %.3f s (%.0f records/s)\n", all.size(), folderSeconds,
                all.size() / folderSeconds);

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak memory: %.1f MB (goal < 150 MB)\n", usage.ru_maxrss / 1024.0);
    return found == lookups && int(all.size()) == records ? 0 : 1;
}
