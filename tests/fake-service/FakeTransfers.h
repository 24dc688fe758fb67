#pragma once

#include "fake-service/FakeReply.h"
#include "fake-service/FakeRequest.h"

#include <QByteArray>
#include <QString>

#include <map>
#include <optional>
#include <set>
#include <vector>

namespace quillmere::test {

// Bytes that arrived in a PUT to a presigned URL. Bodies are hashed as they stream in; only
// small ones are kept, so a 1 GiB upload never sits in memory.
struct FakeReceivedBody
{
    qint64 size = 0;
    QString sha256;     // lower-case hexadecimal
    QByteArray content; // empty unless size <= FakeTransfers::keptBodyLimit
    bool kept = false;
};

// An object the storage holds after a presigned PUT or a completed multipart upload.
struct FakeStoredObject
{
    QString oid;
    qint64 size = 0;
    QString sha256; // empty when the parts were too large to keep
    QByteArray content;
    int puts = 0;
};

struct FakeStoredPart
{
    QString etag;
    FakeReceivedBody body;
};

struct FakeMultipartUpload
{
    enum class State { open, completed, aborted };

    QString uploadId;
    qint64 accountId = 0;
    QString oid;
    QString filename;
    QString mimeType;
    qint64 fileSize = 0;
    qint64 partSize = 0;
    qint64 totalParts = 0;
    std::map<qint64, FakeStoredPart> parts;
    std::vector<qint64> completedParts; // as the complete request listed them
    State state = State::open;
};

// How the initiate call answers.
enum class FakeInitiateReply { normal, alreadyExists, withoutUploadId };

struct FakeLivenessReport
{
    qint64 accountId = 0;
    QString deviceId;
    QString sourceKey;
    std::optional<QString> dawName;
    QString deviceName;
};

// State and switches of the transfer endpoints; part of FakeServiceState, under its mutex.
struct FakeTransfers
{
    static constexpr qint64 keptBodyLimit = 4 * 1024 * 1024;

    std::map<QString, qint64> putTargets; // presigned PUT token -> account
    std::map<QString, QString> putOids;   // token -> oid
    std::map<QString, FakeStoredObject> objects; // by oid
    std::map<QString, FakeMultipartUpload> uploads;
    std::vector<FakeLivenessReport> livenessReports;
    qint64 nextNumber = 1;

    // Switches.
    qint64 partSize = 5 * 1024 * 1024;
    std::optional<qint64> totalPartsAnswer;
    FakeInitiateReply initiateReply = FakeInitiateReply::normal;
    std::set<qint64> presignOmits;
    std::set<qint64> etagWithheld;
    std::map<qint64, std::pair<int, int>> partFailures; // part -> (status, times left)
    bool malformedBatchEntries = false;
};

} // namespace quillmere::test
