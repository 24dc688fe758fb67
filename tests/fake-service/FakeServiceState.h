#pragma once

#include "fake-service/FakeAccount.h"
#include "fake-service/FakeChange.h"
#include "fake-service/FakeDeviceCode.h"
#include "fake-service/FakeLibrary.h"
#include "fake-service/FakeLibraryFile.h"
#include "fake-service/FakeOnboarding.h"
#include "fake-service/FakePlan.h"
#include "fake-service/FakeReply.h"
#include "fake-service/FakeRequest.h"
#include "fake-service/FakeSyncFolder.h"
#include "fake-service/FakeToken.h"
#include "fake-service/FakeWebSignIn.h"
#include "fake-service/FakeTransfers.h"
#include "fake-service/FakeUploadState.h"

#include <QJsonObject>

#include <chrono>
#include <map>
#include <mutex>
#include <variant>
#include <vector>

namespace quillmere::test {

// Everything the fake service knows, shared by the server's threads and the test. Members are
// read and written with `mutex` held; the ...Locked helpers expect it held.
class FakeServiceState
{
public:
    mutable std::mutex mutex;

    QString baseURL;
    std::chrono::seconds tokenLifetime = std::chrono::hours(24 * 30);
    bool rotateTokensOnRefresh = false;
    // A folder reset ignores "sync_folder_uuid": every file of the kind goes.
    bool resetFolderByKindOnly = false;
    // The most entries one change-feed reply carries (0: all of them); a shorter reply's
    // cursor is that of its last entry, as a service that pages its feed answers.
    int changesPageSize = 0;
    // The feed's delete entries name the file's id alone (its action and time aside).
    bool deletesNameIdOnly = false;

    std::map<qint64, FakeAccount> accounts;
    std::map<QString, FakeToken> tokens;
    std::vector<FakeDeviceCode> deviceCodes;
    FakeLibrary files;
    std::map<qint64, std::vector<FakeChange>> changes; // by account, oldest first
    // By account: the last change of the history the feed has let go of; a cursor from
    // before it is refused.
    std::map<qint64, qint64> compactedThrough;
    std::vector<FakeSyncFolder> syncFolders;
    std::vector<FakePlan> plans;
    FakeTransfers transfers;
    FakeUploadState uploads;
    FakeOnboarding onboarding; // registration and checkout

    qint64 nextAccountId = 1;
    qint64 nextFileId = 4001;
    qint64 nextPlanId = 1;
    qint64 nextSequence = 1;
    qint64 nextTokenNumber = 1;
    qint64 nextDeviceNumber = 1;

    // Web sign-in (Apple and Google codes)
    FakeWebSignIn webSignIn;

    QString issueTokenLocked(qint64 accountId, QDateTime expiresAt = {});
    // The reply to an approved poll or a refresh.
    QJsonObject tokenReplyLocked(const FakeToken &token) const;

    // The account of an authorised request, or the reply that refuses it: 400 without
    // "Accept: application/json", 401 without a live bearer token, 421 when "X-Shard-Id"
    // names another shard than the account's (a request without the header is taken).
    std::variant<qint64, FakeReply> authoriseLocked(const FakeRequest &request) const;
    // The token a request presents, known and not revoked; nullptr otherwise.
    const FakeToken *presentedTokenLocked(const FakeRequest &request) const;

    // Fills in a file's size and checksum when they are left empty; it hashes, so callers do
    // it before taking the lock. Needs no state.
    static void measure(FakeLibraryFile &file);
    // Fills in id, dates (and size and checksum, if still empty), stores the file and records
    // the change.
    qint64 addFileLocked(FakeLibraryFile file);
    void recordChangeLocked(const QString &action, const FakeLibraryFile &file);
    // Removes the file and records its deletion.
    void deleteFileLocked(qint64 id);
    QString cursorLocked(qint64 accountId) const;
};

} // namespace quillmere::test
