// A lane wired to the in-process fake service for the lane benchmarks, as the application
// wires it but with the real clock: a real LibraryAPIClient on loopback (token in an in-memory
// vault), a SQLite store, real bookmarks. Header only: every .cpp of bench/ is a program.
#pragma once

#include "Accounts/DeviceIdentity.h"
#include "Accounts/KeychainHelper.h"
#include "Accounts/KeychainVault.h"
#include "Accounts/TokenManager.h"
#include "Engine/BookmarkManager.h"
#include "Engine/ConflictResolver.h"
#include "Engine/RulesEngine.h"
#include "Lane/SyncLane.h"
#include "Model/ModelContainerFactory.h"
#include "Model/ModelContext.h"
#include "Model/SyncFolder.h"
#include "Platform/Async/Clock.h"
#include "Platform/Files/FolderBookmark.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "fake-service/FakeHarborly.h"

#include <QCoroTask>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

namespace quillmere::bench {

// VmHWM in KiB (the peak resident set) of this process or the one given, 0 when unreadable.
inline long peakResidentKiB(const QString &process = QStringLiteral("self"))
{
    QFile status(QStringLiteral("/proc/%1/status").arg(process));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

// Turns the event loop until the predicate holds, looking every few milliseconds.
inline void turnUntil(const std::function<bool()> &done)
{
    if (done())
        return;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(2);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start();
    loop.exec();
}

// A service running elsewhere (another process): where it listens and the token it accepts.
struct ServiceAddress
{
    QUrl baseURL;
    QString token;
};

class BenchLane
{
public:
    // Staging and configuration go to folders of their own; the synced folder is
    // <root>/<folderName>. Without `elsewhere`, the lane talks to the in-process `fake`, which
    // then answers uncompressed (what a benchmark measures is not the fake's zlib).
    explicit BenchLane(const QString &folderName = QStringLiteral("Loops"),
                       std::optional<ServiceAddress> elsewhere = std::nullopt)
    {
        qputenv("XDG_CACHE_HOME", m_dir.filePath(QStringLiteral("cache")).toUtf8());
        qputenv("XDG_CONFIG_HOME", m_dir.filePath(QStringLiteral("config")).toUtf8());
        rootPath = QFileInfo(m_dir.path()).canonicalFilePath();
        folderPath = rootPath + u'/' + folderName;
        QDir().mkpath(folderPath);

        QString token;
        if (elsewhere) {
            token = elsewhere->token;
        } else {
            fake.setCompressReplies(false);
            fake.start();
            account = fake.addAccount();
            token = fake.issueToken(account);
        }
        const QUrl base = elsewhere ? elsewhere->baseURL : fake.baseURL();
        tokens = std::make_shared<TokenManager>(vault, KeychainVault::bearerTokenKey(), [base] { return base; });
        QCoro::waitFor(tokens->saveToken(token, QDateTime::currentDateTimeUtc().addDays(30)));
        // A linked device has had its id since it was linked: made here, its settings file is
        // not written for the first time in the middle of what is measured.
        DeviceIdentity::deviceID();
        client = std::make_shared<LibraryAPIClient>(std::make_shared<HarborlyAPI>(tokens, Clock::system()));
        container = ModelContainerFactory::makeContainer(rootPath + QStringLiteral("/Quillmere.store"));
        context = std::make_shared<ModelContext>(container);
        bookmarks = std::make_shared<BookmarkManager>(vault);

        folder = context->insert(std::make_shared<SyncFolder>(
            folderName, SyncFolderType::projectsFolder, folderPath, QStringList(), SyncFolderSyncMode::bidirectional,
            true, 0, false, std::nullopt, true, std::vector<std::shared_ptr<DAWConfiguration>>()));
        context->save();
        QCoro::waitFor(bookmarks->saveBookmark(FolderBookmark::make(folderPath), folder->stableID()));
    }

    ~BenchLane()
    {
        if (lane)
            lane->stop();
        lane.reset();
        fake.stop();
    }

    // The lane as the application's factory builds it, with callbacks that do nothing.
    std::shared_ptr<SyncLane> makeLane()
    {
        LaneServices services{folder, client, bookmarks, rules, conflicts, context, &vault, &Clock::system()};
        lane = std::dynamic_pointer_cast<SyncLane>(makeSyncLaneFactory()(services));
        lane->setCallbacks({[] {}, [] {}, [](QUuid) {}});
        return lane;
    }

    QString rootPath;
    QString folderPath;
    test::FakeHarborly fake;
    qint64 account = 0;
    InMemorySecretBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    std::shared_ptr<TokenManager> tokens;
    std::shared_ptr<LibraryAPIClient> client;
    std::shared_ptr<ModelContainer> container;
    std::shared_ptr<ModelContext> context;
    std::shared_ptr<BookmarkManager> bookmarks;
    std::shared_ptr<RulesEngine> rules = std::make_shared<RulesEngine>();
    std::shared_ptr<ConflictResolver> conflicts = std::make_shared<ConflictResolver>();
    std::shared_ptr<SyncFolder> folder;
    std::shared_ptr<SyncLane> lane;

private:
    QTemporaryDir m_dir;
};

// A small valid WAV file (16-bit mono PCM, 44.1 kHz) of `size` bytes in all, random samples.
inline QByteArray wavBytes(qsizetype size, quint32 seed)
{
    const quint32 data = quint32(std::max<qsizetype>(size - 44, 0) & ~qsizetype(1));
    QByteArray bytes;
    auto u32 = [&bytes](quint32 v) {
        for (int i = 0; i < 4; ++i)
            bytes.append(char((v >> (8 * i)) & 0xff));
    };
    auto u16 = [&bytes](quint16 v) {
        bytes.append(char(v & 0xff));
        bytes.append(char(v >> 8));
    };
    bytes.append("RIFF");
    u32(36 + data);
    bytes.append("WAVEfmt ");
    u32(16);
    u16(1);
    u16(1);
    u32(44100);
    u32(88200);
    u16(2);
    u16(16);
    bytes.append("data");
    u32(data);
    quint32 x = seed * 2654435761u + 1;
    bytes.reserve(44 + data);
    for (quint32 i = 0; i < data; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes.append(char(x));
    }
    return bytes;
}

} // namespace quillmere::bench
