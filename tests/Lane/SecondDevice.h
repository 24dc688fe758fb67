#pragma once

#include "Lane/LaneTestSupport.h"

#include "Platform/Files/FolderBookmark.h"

namespace quillmere::test {

// A second device: a harness of its own (store, vault, clock, folders) whose client talks to
// the first one's service, with its folder registered under the same id.
struct SecondDevice
{
    explicit SecondDevice(LaneHarness &service, const SyncFolder &shared)
    {
        d.account = service.account;
        const QUrl base = service.fake.baseURL();
        d.tokens = std::make_shared<TokenManager>(d.vault, KeychainVault::bearerTokenKey(), [base] { return base; });
        await(d.tokens->saveToken(service.fake.issueToken(service.account),
                                  QDateTime::currentDateTimeUtc().addDays(30)));
        d.client = std::make_shared<LibraryAPIClient>(std::make_shared<HarborlyAPI>(d.tokens, d.clock));
        folder = d.addFolder(shared.folderType(), shared.syncMode(), shared.name(), false);
        folder->setStableID(shared.stableID());
        d.context->save();
        await(d.bookmarks->saveBookmark(FolderBookmark::make(*folder->folderPath()), folder->stableID()));
        lane = d.makeLane(folder);
    }

    LaneHarness d;
    std::shared_ptr<SyncFolder> folder;
    std::shared_ptr<SyncLane> lane;
};

} // namespace quillmere::test
