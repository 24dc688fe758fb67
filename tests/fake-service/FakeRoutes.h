#pragma once

#include "fake-service/FakeRouter.h"
#include "fake-service/FakeServiceState.h"

namespace quillmere::test {

// Each area of the service registers its endpoints; one source file per area.

// Device link, token polling, refresh and revocation.
void addAuthRoutes(FakeRouter &router, FakeServiceState &state);
// Library listing, change feed, download, delete and folder reset.
void addLibraryRoutes(FakeRouter &router, FakeServiceState &state);
// The sync-folder registry.
void addSyncFolderRoutes(FakeRouter &router, FakeServiceState &state);
// Storage, account and plans.
void addAccountRoutes(FakeRouter &router, FakeServiceState &state);
// Apple redirect page, Apple code exchange and the social (Google) exchange.
void addWebSignInRoutes(FakeRouter &router, FakeServiceState &state);
// Multipart initiate / presign / complete / abort, batch hash check, dedup confirm and
// DAW liveness. The PUTs to presigned URLs stream past the router: see storeUploadedBody.
void addTransferRoutes(FakeRouter &router, FakeServiceState &state);
// The answer to a PUT whose body has been read (and hashed) by the server.
FakeReply storeUploadedBody(FakeServiceState &state, const FakeRequest &request, FakeReceivedBody body);
// Single-file uploads: check-hash, upload-url, the presigned PUT, upload-blob, confirm-upload.
void addUploadRoutes(FakeRouter &router, FakeServiceState &state);
// The presigned PUT of an object that check-hash or upload-url handed out, its body read and
// hashed by the server.
FakeReply storeSingleUploadObject(FakeServiceState &state, const FakeRequest &request, const QString &oid,
                                  FakeReceivedBody body);
// E-mail registration and checkout.
void addOnboardingRoutes(FakeRouter &router, FakeServiceState &state);

} // namespace quillmere::test
