#pragma once

namespace quillmere {

enum class SyncFolderType;
enum class SyncFolderSyncMode;

// What a folder does, decided in one place from its sync mode and its kind. The lane and the
// engine ask a capability by name instead of comparing the mode or the kind, so a new mode or
// kind gets its capabilities here (the compiler names each switch that misses it) instead of
// silently taking another's path at every site. Each capability follows the mode alone or the
// kind alone: the plan mirror sends nothing back because of its kind (mirrorsPlanLayout),
// whatever sendsLocalChanges says. Which files belong to the folder is its scope
// (SyncFolder::scope()), not a policy.
struct FolderPolicy
{
    // --- From the sync mode

    // Files added or edited here are sent (the watcher's events, the full sync's hashing of
    // local files); a download-only folder sends nothing.
    bool sendsLocalChanges = true;
    // A file gone here that the service still lists is deleted at the service; a
    // download-only folder forgets its record instead.
    bool deletesAtService = true;
    // A full sync downloads what the service holds and this folder lacks. Not upload-only,
    // whose reset of the local copy also forgets the records and keeps the files.
    bool appliesRemoteInFullSync = true;
    // The change feed's additions, edits and removals land here in every mode: an upload-only
    // folder downloads from the feed although a full sync downloads nothing into it.
    bool appliesFeed = true;
    // A download or a removal from the service keeps what the service never had (an edit is
    // kept and sent). A download-only folder holds the service's version alone: whatever is
    // here is replaced or removed.
    bool localEditsSurviveDownload = true;
    // A download into, or a rename of, a project a running application has open waits for it
    // to quit. A download-only folder's copy is the service's: it does not wait.
    bool downloadsWaitForOpenApplications = true;

    // --- From the kind

    // Local changes are watched as they happen. The plan mirror, which sends nothing back,
    // has no watcher, and its lane counts as alive without one.
    bool hasWatcher = true;
    // The folder holds the plans' files where the plan layout places them: files are found by
    // id rather than by drive path, nothing is sent back, the folder is never registered with
    // the service, and its files there are the plans' own (never cleared by a reset).
    bool mirrorsPlanLayout = false;
    // Only the root's files, no directories (unorganised audio); the service keeps no drive
    // path for them.
    bool flat = false;
    // A tree of application projects: each full sync logs the first levels of the tree.
    bool projectTree = false;
    // Loose audio files: a folder of the kind found at the service takes the audio extensions.
    bool audioLibrary = false;

    static FolderPolicy of(SyncFolderSyncMode mode, SyncFolderType kind);

    friend bool operator==(const FolderPolicy &, const FolderPolicy &) = default;
};

} // namespace quillmere
