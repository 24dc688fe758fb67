#pragma once

#include "fake-service/FakeBody.h"

#include <QByteArray>
#include <QString>

#include <map>
#include <string>
#include <vector>

namespace quillmere::test {

// One form upload as the fake parsed it from the raw body.
struct FakeFormUpload
{
    std::string boundary;
    std::string oid;
    std::string fileNameAsSent; // the quoted text of the part header, escapes and all
    qint64 size = 0;
};

// The single-file upload endpoints' state (check-hash, upload-url, the presigned PUT,
// upload-blob, confirm-upload). Held in FakeServiceState, under its mutex.
struct FakeUploadState
{
    // Whether check-hash hands out a presigned URL with an upload_required verdict, and
    // whether upload-url hands one out (else its "presigned_url" is empty: form upload).
    bool presignInVerdict = false;
    bool presignFromUploadURL = false;

    std::map<QString, QString> issuedOids;   // oid -> the content_sha256 it was issued for
    std::map<QString, FakeReceivedBody> objects; // oid -> bytes received
    std::map<qint64, QString> commits;       // library file id -> its current commit
    std::vector<FakeFormUpload> formUploads; // accepted form uploads, oldest first
    qint64 nextConflictId = 1;
    qint64 nextCommitNumber = 1;
};

} // namespace quillmere::test
