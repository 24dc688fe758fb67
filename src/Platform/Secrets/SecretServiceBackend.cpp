#include "Platform/Secrets/SecretServiceBackend.h"

#include <libsecret/secret.h>

#include <functional>
#include <memory>

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

SecretBackend::Result failureFrom(GError *error)
{
    auto result = SecretBackend::Result::failure(error->code, QString::fromUtf8(error->message));
    g_error_free(error);
    return result;
}

SecretBackend::Result unanswered()
{
    return SecretBackend::Result::failure(G_IO_ERROR_TIMED_OUT,
                                          QStringLiteral("The secret store did not answer in time (an unlock prompt "
                                                         "nobody answered?)"));
}

// One asynchronous Secret Service call run on a main context of its own, waited for at most
// the limit. The blocking calls of libsecret cannot be bounded: a cancelled unlock prompt may
// never complete their task, and the thread would wait for ever. Here a call that has not
// ended by the limit is cancelled (which dismisses its prompt) and, if it still has not ended
// shortly after, left behind with its context: nothing ever runs that context again.
class BoundedCall
{
public:
    using Start = std::function<void(GCancellable *, GAsyncReadyCallback, gpointer)>;

    explicit BoundedCall(std::chrono::milliseconds limit)
        : m_limit(limit), m_context(g_main_context_new()), m_cancellable(g_cancellable_new())
    {
    }
    ~BoundedCall()
    {
        if (m_abandoned)
            return; // the call may still refer to all of it, its state included
        if (m_state->result)
            g_object_unref(m_state->result);
        delete m_state;
        g_object_unref(m_cancellable);
        g_main_context_unref(m_context);
    }
    BoundedCall(const BoundedCall &) = delete;
    BoundedCall &operator=(const BoundedCall &) = delete;

    // The call's result, or nullptr when it did not end in time.
    GAsyncResult *run(const Start &start)
    {
        g_main_context_push_thread_default(m_context);
        start(m_cancellable, &BoundedCall::finished, m_state);
        waitUntilEndedOr(m_limit);
        if (!m_state->result) {
            g_cancellable_cancel(m_cancellable);
            waitUntilEndedOr(std::chrono::milliseconds(250));
        }
        g_main_context_pop_thread_default(m_context);
        m_abandoned = !m_state->result;
        return m_state->result;
    }

private:
    struct State
    {
        GAsyncResult *result = nullptr;
        bool late = false;
    };

    static void finished(GObject *, GAsyncResult *result, gpointer data)
    {
        static_cast<State *>(data)->result = G_ASYNC_RESULT(g_object_ref(result));
    }

    void waitUntilEndedOr(std::chrono::milliseconds wait)
    {
        m_state->late = false;
        GSource *timer = g_timeout_source_new(guint(wait.count()));
        g_source_set_callback(
            timer,
            [](gpointer data) {
                static_cast<State *>(data)->late = true;
                return gboolean(G_SOURCE_REMOVE);
            },
            m_state, nullptr);
        g_source_attach(timer, m_context);
        while (!m_state->result && !m_state->late)
            g_main_context_iteration(m_context, TRUE);
        g_source_destroy(timer);
        g_source_unref(timer);
    }

    std::chrono::milliseconds m_limit;
    GMainContext *m_context;
    GCancellable *m_cancellable;
    // On the heap: a call left behind may write to it one day, so it is then never freed.
    State *m_state = new State;
    bool m_abandoned = false;
};

} // namespace

SecretBackend::Result SecretServiceBackend::read(const QString &service, const QString &account)
{
    const Attributes attributes = attributesFor(service, account);
    GError *error = nullptr;
    SecretValue *value = nullptr;
    {
        BoundedCall call(m_callLimit);
        GAsyncResult *done = call.run([&](GCancellable *cancellable, GAsyncReadyCallback callback, gpointer data) {
            secret_service_lookup(nullptr, nullptr, attributes.get(), cancellable, callback, data);
        });
        if (!done)
            return unanswered();
        value = secret_service_lookup_finish(nullptr, done, &error);
    }
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
    GList *items = nullptr;
    {
        BoundedCall call(m_callLimit);
        GAsyncResult *done = call.run([&](GCancellable *cancellable, GAsyncReadyCallback callback, gpointer data) {
            secret_service_search(nullptr, nullptr, attributes.get(), SECRET_SEARCH_ALL, cancellable, callback, data);
        });
        if (!done)
            return unanswered();
        items = secret_service_search_finish(nullptr, done, &error);
    }
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
    GError *error = nullptr;
    {
        BoundedCall call(m_callLimit);
        // Replaces an item with the same attributes in one call.
        GAsyncResult *done = call.run([&](GCancellable *cancellable, GAsyncReadyCallback callback, gpointer data) {
            secret_service_store(nullptr, nullptr, attributes.get(), SECRET_COLLECTION_DEFAULT, label.constData(),
                                 secret, cancellable, callback, data);
        });
        secret_value_unref(secret);
        if (!done)
            return unanswered();
        secret_service_store_finish(nullptr, done, &error);
    }
    if (error)
        return failureFrom(error);
    return Result::success();
}

SecretBackend::Result SecretServiceBackend::remove(const QString &service, const QString &account)
{
    const Attributes attributes = attributesFor(service, account);
    GError *error = nullptr;
    gboolean removed = FALSE;
    {
        BoundedCall call(m_callLimit);
        GAsyncResult *done = call.run([&](GCancellable *cancellable, GAsyncReadyCallback callback, gpointer data) {
            secret_service_clear(nullptr, nullptr, attributes.get(), cancellable, callback, data);
        });
        if (!done)
            return unanswered();
        removed = secret_service_clear_finish(nullptr, done, &error);
    }
    if (error)
        return failureFrom(error);
    return removed ? Result::success() : Result::missing();
}

} // namespace quillmere
