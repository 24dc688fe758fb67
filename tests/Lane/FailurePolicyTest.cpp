// The verdict on a failed operation, and the trace a store failure the lane carries on past
// leaves in the log.

#include "Lane/LaneTestSupport.h"

#include "Lane/FailurePolicy.h"
#include "Lane/LaneSupport.h"
#include "Model/StoreError.h"
#include "Platform/Async/CancelledError.h"
#include "Platform/Http/LocalFileError.h"
#include "Platform/Http/TransportError.h"
#include "ServiceAPI/HarborlyAPIError.h"

#include <gmock/gmock.h>

#include <cerrno>

using namespace quillmere;
using namespace quillmere::test;

namespace {

using Kind = FailureVerdict::Kind;
using D = SyncFileDesiredState;

std::exception_ptr server(int status, const QString &message = QString())
{
    return std::make_exception_ptr(HarborlyAPIError::serverError(status, message));
}

std::exception_ptr wrapped(std::exception_ptr underlying)
{
    return std::make_exception_ptr(HarborlyAPIError::networkError(std::move(underlying), QStringLiteral("x")));
}

std::exception_ptr transport(TransportError::Code code)
{
    return wrapped(std::make_exception_ptr(TransportError(code)));
}

std::exception_ptr local(int errorNumber)
{
    return std::make_exception_ptr(LocalFileError(errorNumber));
}

TEST(FailurePolicy, OneVerdictPerFailureInOrder)
{
    struct Row
    {
        const char *what;
        std::exception_ptr error;
        D state;
        bool changedMeanwhile;
        Kind kind;
        std::optional<int> status;
    };
    const std::vector<Row> table{
        {"a stop", std::make_exception_ptr(CancelledError()), D::uploadPending, true, Kind::cancelled, {}},
        {"a stopped transfer", transport(TransportError::Code::cancelled), D::downloadPending, false, Kind::cancelled,
         {}},
        {"no room for an upload", server(507), D::uploadPending, false, Kind::storageFull, 507},
        {"no room, version changed", server(507), D::uploadPending, true, Kind::storageFull, 507},
        {"507 on a download", server(507), D::downloadPending, false, Kind::transient, 500},
        {"507 on a delete", server(507), D::deletedRemote, false, Kind::transient, 500},
        {"slow down", server(429), D::uploadPending, false, Kind::rateLimited, 429},
        {"slow down in the message", server(400, QStringLiteral("quota 429 reached")), D::uploadPending, false,
         Kind::rateLimited, 400},
        {"slow down, version changed", server(429), D::uploadPending, true, Kind::rateLimited, 429},
        {"refused, version changed", server(404), D::uploadPending, true, Kind::changedMeanwhile, 404},
        {"disk clash, version changed", local(EISDIR), D::downloadPending, true, Kind::changedMeanwhile, {}},
        {"refused here", std::make_exception_ptr(lane::LocalRefusal(QStringLiteral("names clash"))),
         D::downloadPending, false, Kind::refused, {}},
        {"not found", server(404), D::uploadPending, false, Kind::permanent, 404},
        {"not implemented", server(501), D::deletedRemote, false, Kind::permanent, 501},
        {"too large", server(413), D::uploadPending, false, Kind::transient, 413},
        {"unauthorised upload", server(401), D::uploadPending, false, Kind::permanent, 401},
        {"unauthorised download", server(401), D::downloadPending, false, Kind::transient, 401},
        {"misdirected held download", server(421), D::downloadHeld, false, Kind::transient, 421},
        {"server down", server(503), D::uploadPending, false, Kind::transient, 503},
        {"network down", transport(TransportError::Code::timedOut), D::uploadPending, false, Kind::transient, {}},
        {"anything else", std::make_exception_ptr(std::runtime_error("take-429.wav")), D::uploadPending, false,
         Kind::transient, {}},
        {"permission refused", local(EACCES), D::deletedLocal, false, Kind::localPermanent, {}},
        {"wrapped folder in the way", wrapped(local(EISDIR)), D::downloadPending, false, Kind::localPermanent, {}},
        {"disk full", local(ENOSPC), D::downloadPending, false, Kind::localTransient, {}},
        {"I/O error", wrapped(local(EIO)), D::uploadPending, false, Kind::localTransient, {}},
    };
    for (const Row &row : table) {
        const FailureVerdict verdict = classifyFailure(row.error, row.state, row.changedMeanwhile);
        EXPECT_EQ(verdict.kind, row.kind) << row.what;
        EXPECT_EQ(verdict.status, row.status) << row.what;
    }

    // What each verdict carries for the text the user is shown.
    const auto refusal = classifyFailure(std::make_exception_ptr(lane::LocalRefusal(QStringLiteral("names clash"))),
                                         D::downloadPending, false);
    EXPECT_EQ(refusal.refusal, QStringLiteral("names clash"));
    EXPECT_EQ(classifyFailure(wrapped(local(EISDIR)), D::downloadPending, false).localErrorNumber, EISDIR);
    EXPECT_TRUE(classifyFailure(transport(TransportError::Code::certificateExpired), D::uploadPending, false)
                    .secureConnection);
    EXPECT_FALSE(classifyFailure(transport(TransportError::Code::timedOut), D::uploadPending, false).secureConnection);
}

// The lane's warning lines, caught for one test.
class CapturedLaneLog
{
public:
    CapturedLaneLog() { s_lines = &m_lines, m_previous = qInstallMessageHandler(&CapturedLaneLog::capture); }
    ~CapturedLaneLog()
    {
        qInstallMessageHandler(m_previous);
        s_lines = nullptr;
    }
    const QStringList &lines() const { return m_lines; }

private:
    static void capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (s_lines && type == QtWarningMsg && QLatin1String(context.category) == QLatin1String("app.quillmere.Quillmere.SyncLane"))
            s_lines->append(message);
    }
    static inline QStringList *s_lines = nullptr;
    QStringList m_lines;
    QtMessageHandler m_previous = nullptr;
};

TEST(StoreTrace, AFailingSaveIsLoggedOncePerLaneWithItsError)
{
    LaneHarness h;
    auto folder = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional);
    auto otherFolder = h.addFolder(SyncFolderType::projectsFolder, SyncFolderSyncMode::bidirectional, QStringLiteral("Stems"));
    const QString root = *folder->folderPath();
    const QString otherRoot = *otherFolder->folderPath();
    qint64 remoteId = 0;
    const auto track = [&](const SyncFolder &in, const QString &name) {
        h.addRecord(in, name)->setRemoteId(++remoteId);
    };
    for (const QString &name : {QStringLiteral("a.wav"), QStringLiteral("b.wav"), QStringLiteral("c.wav")})
        track(*folder, name);
    track(*otherFolder, QStringLiteral("d.wav"));
    h.context->save();
    auto lane = h.makeLane(folder);
    auto otherLane = h.makeLane(otherFolder);
    h.container->execute("CREATE TEMP TRIGGER refuse BEFORE UPDATE ON main.SyncFile "
                         "BEGIN SELECT RAISE(ABORT, 'store refused'); END",
                         StoreError::Kind::saveFailed);

    CapturedLaneLog log;
    // Each deletion is a save the store refuses.
    lane->trackLocalDeletion(root + QStringLiteral("/a.wav"));
    lane->trackLocalDeletion(root + QStringLiteral("/b.wav"));
    lane->trackLocalDeletion(root + QStringLiteral("/c.wav"));
    ASSERT_EQ(log.lines().size(), 1) << log.lines().join(u'\n').toStdString();
    EXPECT_THAT(log.lines().constFirst().toStdString(), ::testing::HasSubstr("store refused"));
    EXPECT_THAT(log.lines().constFirst().toStdString(),
                ::testing::HasSubstr(folder->stableID().toString(QUuid::WithoutBraces).toStdString()));

    // Another lane's failure is its own line.
    otherLane->trackLocalDeletion(otherRoot + QStringLiteral("/d.wav"));
    EXPECT_EQ(log.lines().size(), 2);

    h.container->execute("DROP TRIGGER temp.refuse", StoreError::Kind::saveFailed);
}

} // namespace
