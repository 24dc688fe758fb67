#pragma once

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

// An unnamed temporary file holding one large body; it goes with its last holder.
class FakeSpillFile
{
public:
    FakeSpillFile(); // throws std::runtime_error when no file can be made
    ~FakeSpillFile();
    FakeSpillFile(const FakeSpillFile &) = delete;
    FakeSpillFile &operator=(const FakeSpillFile &) = delete;

    bool append(const char *data, size_t length);
    void forEachBlock(const std::function<void(const char *, qsizetype)> &take) const;

private:
    int m_fd = -1;
    qint64 m_size = 0;
};

// Bytes that arrived in a PUT to a presigned URL, hashed as they streamed in. Small bodies stay
// in memory; larger ones go to a temporary file, so a 1 GiB upload is held whole without
// sitting in memory.
struct FakeReceivedBody
{
    qint64 size = 0;
    QString sha256;                        // lower-case hexadecimal
    QByteArray content;                    // the bytes, when size <= FakeTransfers::inMemoryBodyLimit
    std::shared_ptr<FakeSpillFile> spilled; // the bytes, when larger
    bool dropLarge = false;                 // set before the first byte: keep nothing past the limit
    bool dropped = false;                   // bytes were not kept: only the size and hash are known

    // While the body arrives; false when the bytes could not be kept.
    bool append(const char *data, size_t length);
    void forEachBlock(const std::function<void(const char *, qsizetype)> &take) const;
    QByteArray bytes() const;
};

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
    static constexpr qint64 inMemoryBodyLimit = 4 * 1024 * 1024;

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
