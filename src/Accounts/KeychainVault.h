#pragma once

#include "Accounts/KeychainHelper.h"

#include <QByteArray>
#include <QCoroTask>
#include <QDeadlineTimer>
#include <QString>
#include <QThreadPool>
#include <QUuid>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace quillmere {

// Every secret of the application (the bearer token, the bookmark of every sync folder) as one
// dictionary key -> bytes, kept whole in a single secret item (account "quillmere-vault") as a
// JSON object of base64 strings. Read once per process, written back whole after each change.
//
// Any thread may call it: one mutex guards the dictionary across load, change and write.
// The blocking members do D-Bus round trips on a first load and on every write; on the main
// thread use the ...Async members, which run the same work, in call order, on the vault's own
// worker thread.
//
// An item that cannot be read for a reason other than "there is none" (a locked keyring, no
// Secret Service) does not count as an empty vault: writing that would wipe the token and
// every bookmark. Writes then stay in memory, and the read is tried again on the next access;
// once it succeeds the stored entries are taken first, the writes made meanwhile are applied
// on top, and the result is written back.
class KeychainVault
{
public:
    using Dictionary = std::map<QString, QByteArray>;
    // Receives the detail text of a failure for the activity log; may be called on any thread.
    using FailureReporter = std::function<void(const QString &detail)>;

    // One entry as far as the vault knows it. unreadable: the item could not be read (a locked
    // keyring) and nothing was written to the key since, so whether the entry exists is
    // unknown; value is then absent.
    struct Entry
    {
        std::optional<QByteArray> value;
        bool unreadable = false;
    };

    static QString vaultAccount() { return QStringLiteral("quillmere-vault"); }
    static QString bearerTokenKey() { return QStringLiteral("bearer-token"); }
    static QString folderBookmarkKey() { return QStringLiteral("folder-bookmark"); }
    // "folder-bookmark-" followed by the upper-case UUID text.
    static QString folderBookmarkKey(const QUuid &stableID);

    KeychainVault(KeychainHelper helper, FailureReporter reporter);
    // Waits for the worker to finish the calls queued on it.
    ~KeychainVault();
    // A vault shared by its holders that goes with the last of them. Its worker is waited for
    // only until the deadline set with limitTeardown() (none: without limit); a worker still
    // held then (a keyring that does not answer, an unlock prompt) is left running with the
    // vault it works on, which is then never freed, and leftWorkers() counts it: the process
    // is ending, and waiting for a prompt nobody answers would hold its end.
    static std::shared_ptr<KeychainVault> makeShared(KeychainHelper helper, FailureReporter reporter);
    void limitTeardown(QDeadlineTimer deadline) { m_teardownDeadline = deadline; }
    static int leftWorkers();
    // Waits until the workers of the vaults left so far have run every call queued on them (a
    // test's keyring outlives them then).
    static void settleLeftWorkersForTesting();
    KeychainVault(const KeychainVault &) = delete;
    KeychainVault &operator=(const KeychainVault &) = delete;

    // Absent both for a missing entry and while the item cannot be read; entry() tells them apart.
    std::optional<QByteArray> data(const QString &key);
    Entry entry(const QString &key);
    // True when the value reached the secret store; false when it is kept in memory only (the
    // item cannot be read, or the write failed; the failure goes to the reporter): this process
    // sees it, a later one may not.
    bool setValue(const QByteArray &value, const QString &key);
    // Sets the value only while the entry still holds expected (absent: no entry), in one step
    // under the vault's lock, so a removal or another write made meanwhile is never undone.
    // False, and nothing written, otherwise or while the entry is unreadable.
    bool replaceValue(const QByteArray &value, const QString &key, const std::optional<QByteArray> &expected);
    // Writes the item back even when the key was absent.
    void removeValue(const QString &key);
    // Removes the entry only while it exists and `matches` accepts its value, in one step under
    // the vault's lock, so a value written meanwhile (another sign-in's token) stays. False,
    // and nothing removed, otherwise or while the entry is unreadable.
    bool removeValueIf(const QString &key, const std::function<bool(const QByteArray &)> &matches);
    // Empties the vault without reading the item and writes the empty dictionary back.
    void replaceWithEmpty();

    // One step over several entries. `step` reads what it needs through the reader (as entry()
    // gives it) and names the changes: key -> new value, or nullopt to remove the entry.
    using Changes = std::map<QString, std::optional<QByteArray>>;
    using EntryReader = std::function<Entry(const QString &key)>;
    using Step = std::function<Changes(const EntryReader &read)>;
    // unchanged: the step named nothing. unsaved: the changes are in memory only (see setValue).
    // stored: they reached the secret store. dropped: none of them is kept.
    enum class StepResult { unchanged, unsaved, stored, dropped };
    // Runs `step` under the vault's lock and makes every change it names with one write of the
    // item: nobody reads some of them without the rest, and a process that ends between two
    // writes cannot leave half of them in the keyring. With storedOrNothing, changes that cannot
    // reach the secret store (the item unreadable, the write refused) are undone: the caller
    // learns that nothing of them is kept, in memory or in the keyring.
    StepResult applyStep(const Step &step, bool storedOrNothing = false);

    // The arguments are copied at the call, so temporaries are fine.
    QCoro::Task<std::optional<QByteArray>> dataAsync(const QString &key);
    QCoro::Task<Entry> entryAsync(const QString &key);
    QCoro::Task<bool> setValueAsync(const QByteArray &value, const QString &key);
    QCoro::Task<bool> replaceValueAsync(const QByteArray &value, const QString &key,
                                        const std::optional<QByteArray> &expected);
    QCoro::Task<> removeValueAsync(const QString &key);
    QCoro::Task<bool> removeValueIfAsync(const QString &key, std::function<bool(const QByteArray &)> matches);
    QCoro::Task<> replaceWithEmptyAsync();
    QCoro::Task<StepResult> applyStepAsync(Step step, bool storedOrNothing = false);

    // The item's value format, both ways; decoding fails (nullopt) unless the bytes are a JSON
    // object whose every member is a base64 string.
    static QByteArray encode(const Dictionary &dictionary);
    static std::optional<Dictionary> decode(const QByteArray &bytes);

private:
    // Both with m_lock held. loadIfNeeded returns true when writes kept in memory were merged
    // into the cache and still need writing back.
    bool loadIfNeeded();
    bool persist();
    Entry entryLocked(const QString &key) const;
    bool change(const QString &key, const std::optional<QByteArray> &value);
    // The entry from the cache, without the worker, when that cannot reorder anything: the
    // item has been read, no call queued before this one is still to run, and the worker does
    // not hold the lock. Nothing otherwise.
    std::optional<Entry> entryWithoutWaiting(const QString &key);
    // Runs `work` on the worker, in call order, counted in m_queued until it has run.
    template<typename Work>
    auto queued(Work work);

    std::mutex m_lock;
    Dictionary m_cache;
    bool m_loaded = false;
    // Writes (a value) and removals (nullopt) made while the item could not be read.
    std::map<QString, std::optional<QByteArray>> m_unsaved;
    bool m_readFailureReported = false;

    KeychainHelper m_helper;
    FailureReporter m_report;
    QThreadPool m_worker;
    std::atomic<int> m_queued{0};
    QDeadlineTimer m_teardownDeadline{QDeadlineTimer::Forever};
};

} // namespace quillmere
