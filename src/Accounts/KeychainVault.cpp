#include "Accounts/KeychainVault.h"

#include "Platform/Async/Background.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <climits>
#include <vector>

namespace quillmere {

QString KeychainVault::folderBookmarkKey(const QUuid &stableID)
{
    return folderBookmarkKey() + QLatin1Char('-') + stableID.toString(QUuid::WithoutBraces).toUpper();
}

KeychainVault::KeychainVault(KeychainHelper helper, FailureReporter reporter)
    : m_helper(helper), m_report(std::move(reporter))
{
    // One thread keeps the async calls in the order they were made.
    m_worker.setMaxThreadCount(1);
}

KeychainVault::~KeychainVault()
{
    m_worker.waitForDone();
}

namespace {

std::mutex leftLock;
// Held here, not dropped, so that what a left worker still uses stays reachable.
std::vector<KeychainVault *> &leftVaults()
{
    static std::vector<KeychainVault *> vaults;
    return vaults;
}

} // namespace

std::shared_ptr<KeychainVault> KeychainVault::makeShared(KeychainHelper helper, FailureReporter reporter)
{
    return std::shared_ptr<KeychainVault>(new KeychainVault(helper, std::move(reporter)), [](KeychainVault *vault) {
        const qint64 left = vault->m_teardownDeadline.remainingTime();
        if (vault->m_worker.waitForDone(left < 0 ? -1 : int(std::min<qint64>(left, INT_MAX)))) {
            delete vault;
            return;
        }
        std::lock_guard guard(leftLock);
        leftVaults().push_back(vault);
    });
}

int KeychainVault::leftWorkers()
{
    std::lock_guard guard(leftLock);
    return int(leftVaults().size());
}

void KeychainVault::settleLeftWorkersForTesting()
{
    std::lock_guard guard(leftLock);
    for (KeychainVault *vault : leftVaults())
        vault->m_worker.waitForDone();
}

QByteArray KeychainVault::encode(const Dictionary &dictionary)
{
    QJsonObject object;
    for (const auto &[key, value] : dictionary)
        object.insert(key, QString::fromLatin1(value.toBase64()));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<KeychainVault::Dictionary> KeychainVault::decode(const QByteArray &bytes)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    Dictionary dictionary;
    const QJsonObject object = document.object();
    for (auto member = object.begin(); member != object.end(); ++member) {
        if (!member.value().isString())
            return std::nullopt;
        auto decoded = QByteArray::fromBase64Encoding(member.value().toString().toLatin1(),
                                                      QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            return std::nullopt;
        dictionary.emplace(member.key(), std::move(*decoded));
    }
    return dictionary;
}

bool KeychainVault::loadIfNeeded()
{
    if (m_loaded)
        return false;

    Dictionary stored;
    try {
        // Contents that do not decode count as an empty vault: the next write replaces them.
        if (auto decoded = decode(m_helper.read(vaultAccount())))
            stored = std::move(*decoded);
    } catch (const KeychainHelper::KeychainError &error) {
        if (error.kind() == KeychainHelper::KeychainError::Kind::unhandledError) {
            // Reported once per run of failures; the next access tries again.
            if (!m_readFailureReported) {
                m_readFailureReported = true;
                QString detail = QStringLiteral("KeychainVault read failed: ") + error.localizedDescription();
                if (!error.storeMessage().isEmpty())
                    detail += QStringLiteral(" (") + error.storeMessage() + QLatin1Char(')');
                m_report(detail);
            }
            return false;
        }
        // No item, or an item without bytes: nothing stored yet.
    }

    m_loaded = true;
    m_readFailureReported = false;
    m_cache = std::move(stored);
    const bool owed = !m_unsaved.empty();
    for (auto &[key, value] : m_unsaved) {
        if (value)
            m_cache[key] = std::move(*value);
        else
            m_cache.erase(key);
    }
    m_unsaved.clear();
    return owed;
}

bool KeychainVault::persist()
{
    try {
        m_helper.save(vaultAccount(), encode(m_cache));
        return true;
    } catch (const KeychainHelper::KeychainError &error) {
        // The change stays in the cache; the next write tries the whole dictionary again.
        m_report(QStringLiteral("KeychainVault persist failed: ") + error.localizedDescription());
        return false;
    }
}

KeychainVault::Entry KeychainVault::entryLocked(const QString &key) const
{
    if (!m_loaded) {
        // A write made while the item was unreadable is what this process last said.
        const auto unsaved = m_unsaved.find(key);
        if (unsaved == m_unsaved.end())
            return Entry{std::nullopt, true};
        return Entry{unsaved->second, false};
    }
    const auto found = m_cache.find(key);
    if (found == m_cache.end())
        return Entry{};
    return Entry{found->second, false};
}

KeychainVault::Entry KeychainVault::entry(const QString &key)
{
    std::lock_guard guard(m_lock);
    if (loadIfNeeded())
        persist();
    return entryLocked(key);
}

std::optional<QByteArray> KeychainVault::data(const QString &key)
{
    return entry(key).value;
}

bool KeychainVault::replaceValue(const QByteArray &value, const QString &key, const std::optional<QByteArray> &expected)
{
    std::lock_guard guard(m_lock);
    if (loadIfNeeded())
        persist();
    const Entry current = entryLocked(key);
    if (current.unreadable || current.value != expected)
        return false;
    if (!m_loaded) {
        m_unsaved[key] = value;
        return true;
    }
    m_cache[key] = value;
    persist();
    return true;
}

bool KeychainVault::change(const QString &key, const std::optional<QByteArray> &value)
{
    std::lock_guard guard(m_lock);
    loadIfNeeded();
    if (!m_loaded) {
        m_unsaved[key] = value;
        return false;
    }
    if (value)
        m_cache[key] = *value;
    else
        m_cache.erase(key);
    return persist();
}

bool KeychainVault::setValue(const QByteArray &value, const QString &key)
{
    return change(key, value);
}

void KeychainVault::removeValue(const QString &key)
{
    change(key, std::nullopt);
}

bool KeychainVault::removeValueIf(const QString &key, const std::function<bool(const QByteArray &)> &matches)
{
    std::lock_guard guard(m_lock);
    if (loadIfNeeded())
        persist();
    const Entry current = entryLocked(key);
    if (current.unreadable || !current.value || !matches(*current.value))
        return false;
    if (!m_loaded) {
        m_unsaved[key] = std::nullopt;
        return true;
    }
    m_cache.erase(key);
    persist();
    return true;
}

void KeychainVault::replaceWithEmpty()
{
    std::lock_guard guard(m_lock);
    m_cache.clear();
    m_unsaved.clear();
    m_loaded = true;
    m_readFailureReported = false;
    persist();
}

KeychainVault::StepResult KeychainVault::applyStep(const Step &step, bool storedOrNothing)
{
    std::lock_guard guard(m_lock);
    const bool owed = loadIfNeeded();
    const Changes changes = step([this](const QString &key) { return entryLocked(key); });
    if (changes.empty()) {
        if (owed)
            persist();
        return StepResult::unchanged;
    }
    if (!m_loaded) {
        if (storedOrNothing)
            return StepResult::dropped;
        for (const auto &[key, value] : changes)
            m_unsaved[key] = value;
        return StepResult::unsaved;
    }
    Changes before;
    for (const auto &[key, value] : changes) {
        const auto found = m_cache.find(key);
        before[key] = found == m_cache.end() ? std::nullopt : std::optional(found->second);
        if (value)
            m_cache[key] = *value;
        else
            m_cache.erase(key);
    }
    if (persist())
        return StepResult::stored;
    if (!storedOrNothing)
        return StepResult::unsaved;
    for (const auto &[key, value] : before) {
        if (value)
            m_cache[key] = *value;
        else
            m_cache.erase(key);
    }
    return StepResult::dropped;
}

template<typename Work>
auto KeychainVault::queued(Work work)
{
    ++m_queued;
    return QtConcurrent::run(&m_worker, [this, work = std::move(work)]() mutable {
        struct Done
        {
            std::atomic<int> &queued;
            ~Done() { --queued; }
        } done{m_queued};
        return work();
    });
}

std::optional<KeychainVault::Entry> KeychainVault::entryWithoutWaiting(const QString &key)
{
    if (m_queued.load() != 0)
        return std::nullopt;
    std::unique_lock guard(m_lock, std::try_to_lock);
    if (!guard.owns_lock() || !m_loaded)
        return std::nullopt;
    return entryLocked(key);
}

namespace {

template<typename T>
QCoro::Task<T> ready(T value)
{
    co_return value;
}

} // namespace

// Plain functions handing back the pool's task: no coroutine frame of their own to hold the
// arguments. Reads are asked for before every request to the service; once the item is in
// memory, the hop to the worker and back would cost more than the read itself.
QCoro::Task<std::optional<QByteArray>> KeychainVault::dataAsync(const QString &key)
{
    if (auto cached = entryWithoutWaiting(key))
        return ready(std::move(cached->value));
    return awaitFuture(queued([this, key] { return data(key); }));
}

QCoro::Task<KeychainVault::Entry> KeychainVault::entryAsync(const QString &key)
{
    if (auto cached = entryWithoutWaiting(key))
        return ready(std::move(*cached));
    return awaitFuture(queued([this, key] { return entry(key); }));
}

QCoro::Task<bool> KeychainVault::replaceValueAsync(const QByteArray &value, const QString &key,
                                                   const std::optional<QByteArray> &expected)
{
    return awaitFuture(queued([this, value, key, expected] { return replaceValue(value, key, expected); }));
}

QCoro::Task<bool> KeychainVault::setValueAsync(const QByteArray &value, const QString &key)
{
    return awaitFuture(queued([this, value, key] { return setValue(value, key); }));
}

QCoro::Task<> KeychainVault::removeValueAsync(const QString &key)
{
    return awaitFuture(queued([this, key] { removeValue(key); }));
}

QCoro::Task<bool> KeychainVault::removeValueIfAsync(const QString &key,
                                                   std::function<bool(const QByteArray &)> matches)
{
    return awaitFuture(queued([this, key, matches = std::move(matches)] { return removeValueIf(key, matches); }));
}

QCoro::Task<> KeychainVault::replaceWithEmptyAsync()
{
    return awaitFuture(queued([this] { replaceWithEmpty(); }));
}

QCoro::Task<KeychainVault::StepResult> KeychainVault::applyStepAsync(Step step, bool storedOrNothing)
{
    return awaitFuture(
        queued([this, step = std::move(step), storedOrNothing] { return applyStep(step, storedOrNothing); }));
}

} // namespace quillmere
