#include "Model/FolderPolicy.h"

#include "Model/SyncFolder.h"

namespace quillmere {

namespace {

// One switch each and no default: a mode or kind added later fails the build here (-Wswitch)
// until its capabilities are chosen.
void applyMode(FolderPolicy &policy, SyncFolderSyncMode mode)
{
    switch (mode) {
    case SyncFolderSyncMode::uploadOnly:
        policy.appliesRemoteInFullSync = false;
        return;
    case SyncFolderSyncMode::bidirectional:
        return;
    case SyncFolderSyncMode::downloadOnly:
        policy.sendsLocalChanges = false;
        policy.deletesAtService = false;
        policy.localEditsSurviveDownload = false;
        policy.downloadsWaitForOpenApplications = false;
        return;
    }
}

void applyKind(FolderPolicy &policy, SyncFolderType kind)
{
    switch (kind) {
    case SyncFolderType::harborly:
        policy.hasWatcher = false;
        policy.mirrorsPlanLayout = true;
        return;
    case SyncFolderType::references:
        policy.audioLibrary = true;
        return;
    case SyncFolderType::unorganisedAudio:
        policy.flat = true;
        policy.audioLibrary = true;
        return;
    case SyncFolderType::projectsFolder:
        policy.projectTree = true;
        return;
    }
}

} // namespace

FolderPolicy FolderPolicy::of(SyncFolderSyncMode mode, SyncFolderType kind)
{
    FolderPolicy policy;
    applyMode(policy, mode);
    applyKind(policy, kind);
    return policy;
}

} // namespace quillmere
