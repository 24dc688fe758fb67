#include "Platform/Secrets/SecretServiceBackend.h"

#include <libsecret/secret.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace quillmere {

namespace {

struct AttributesDeleter
{
    void operator()(GHashTable *table) const { g_hash_table_unref(table); }
};
using Attributes = std::unique_ptr<GHashTable, AttributesDeleter>;

Attributes attributesFor(const QString &service, const QString &account)
{
    Attributes table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    g_hash_table_insert(table.get(), g_strdup("service"), g_strdup(service.toUtf8().constData()));
    g_hash_table_insert(table.get(), g_strdup("account"), g_strdup(account.toUtf8().constData()));
    return table;
}

// A cancellable that cancels itself once the limit has passed, unless the call ended first.
class CallLimit
{
public:
    explicit CallLimit(std::chrono::milliseconds limit) : m_cancellable(g_cancellable_new())
    {
        m_watch = std::thread([this, limit] {
            std::unique_lock lock(m_mutex);
            if (!m_ended.wait_for(lock, limit, [this] { return m_finished; }))
                g_cancellable_cancel(m_cancellable);
        });
    }
    ~CallLimit()
    {
        {
            std::lock_guard lock(m_mutex);
            m_finished = true;
        }
        m_ended.notify_one();
        m_watch.join();
        g_object_unref(m_cancellable);
    }
    CallLimit(const CallLimit &) = delete;
    CallLimit &operator=(const CallLimit &) = delete;

    GCancellable *get() const { return m_cancellable; }

private:
    GCancellable *m_cancellable;
    std::mutex m_mutex;
    std::condition_variable m_ended;
    bool m_finished = false;
    std::thread m_watch;
};

SecretBackend::Result failureFrom(GError *error)
{
    auto result = SecretBackend::Result::failure(error->code, QString::fromUtf8(error->message));
    g_error_free(error);
    return result;
}

} // namespace

SecretBackend::Result SecretServiceBackend::read(const QString &service, const QString &account)
{
    const Attributes attributes = attributesFor(service, account);
    const CallLimit limit(m_callLimit);
    GError *error = nullptr;
    SecretValue *value = secret_service_lookup_sync(nullptr, nullptr, attributes.get(), limit.get(), &error);
    if (error)
        return failureFrom(error);
    if (value) {
        gsize length = 0;
        const gchar *bytes = secret_value_get(value, &length);
        QByteArray copy(bytes, qsizetype(length));
        secret_value_unref(value);
        return Result::success(std::move(copy));
    }

    // A lookup also comes back empty when the item exists but stays locked (the unlock prompt
    // was dismissed or cannot be shown). That is not "no item": a caller that took it as one
    // would later overwrite every secret in it.
    GList *items = secret_service_search_sync(nullptr, nullptr, attributes.get(), SECRET_SEARCH_ALL, limit.get(),
                                              &error);
    if (error)
        return failureFrom(error);
    const bool exists = items != nullptr;
    g_list_free_full(items, g_object_unref);
    if (exists)
        return Result::failure(SECRET_ERROR_IS_LOCKED, QStringLiteral("The secret item is locked"));
    return Result::missing();
}

SecretBackend::Result SecretServiceBackend::store(const QString &service, const QString &account,
                                                  const QByteArray &value)
{
    const Attributes attributes = attributesFor(service, account);
    SecretValue *secret = secret_value_new(value.constData(), gssize(value.size()), "application/octet-stream");
    const QByteArray label = service.toUtf8();
    const CallLimit limit(m_callLimit);
    GError *error = nullptr;
    // Replaces an item with the same attributes in one call.
    secret_service_store_sync(nullptr, nullptr, attributes.get(), SECRET_COLLECTION_DEFAULT, label.constData(),
                              secret, limit.get(), &error);
    secret_value_unref(secret);
    if (error)
        return failureFrom(error);
    return Result::success();
}

SecretBackend::Result SecretServiceBackend::remove(const QString &service, const QString &account)
{
    const Attributes attributes = attributesFor(service, account);
    const CallLimit limit(m_callLimit);
    GError *error = nullptr;
    const gboolean removed = secret_service_clear_sync(nullptr, nullptr, attributes.get(), limit.get(), &error);
    if (error)
        return failureFrom(error);
    return removed ? Result::success() : Result::missing();
}

} // namespace quillmere
