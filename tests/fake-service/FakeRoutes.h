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
// E-mail registration and checkout.
void addOnboardingRoutes(FakeRouter &router, FakeServiceState &state);

} // namespace quillmere::test
