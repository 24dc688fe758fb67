#pragma once

#include "fake-service/FakeBody.h"
#include "fake-service/FakeReply.h"
#include "fake-service/FakeRequest.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quillmere::test {

// The quoted ETag the storage answers a PUT of content with this hash.
std::string fakeETag(const QString &sha256);

// An object the storage holds after a presigned PUT or a completed multipart upload.
struct FakeStoredObject
{
    QString oid;
    qint64 size = 0;
    // Of a single PUT, as received; of a multipart upload, worked out when `storedObject` hands
    // it out (completing does not hash: a benchmark times it).
    QString sha256;
    std::vector<FakeReceivedBody> pieces; // the bytes, in order
    int puts = 0;

    QByteArray content() const;
    QString hashOfContent() const; // empty when bytes were dropped
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
    static constexpr qint64 inMemoryBodyLimit = FakeReceivedBody::inMemoryLimit;

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
    // Off for a benchmark: the writing of large bodies would weigh on what it measures.
    bool keepLargeBodies = true;
};

} // namespace quillmere::test
