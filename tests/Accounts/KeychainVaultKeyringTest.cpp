// Runs against a real gnome-keyring on a private session bus: scripts/with-keyring sets that up.

#include "Accounts/KeychainVault.h"
#include "Platform/BundleIdentifier.h"
#include "Platform/Secrets/SecretServiceBackend.h"
#include "support/TestSupport.h"

#include <libsecret/secret.h>

#include <gmock/gmock.h>

#include <chrono>
#include <future>
#include <map>
#include <string>
#include <thread>

using namespace quillmere;
using ::testing::IsEmpty;

namespace {

// Every item carrying our two attributes, each as its full attribute map.
std::vector<std::map<std::string, std::string>> vaultItems()
{
    GHashTable *query = g_hash_table_new(g_str_hash, g_str_equal);
    const QByteArray service = bundleIdentifier().toUtf8();
    const QByteArray account = KeychainVault::vaultAccount().toUtf8();
    g_hash_table_insert(query, const_cast<char *>("service"), const_cast<char *>(service.constData()));
    g_hash_table_insert(query, const_cast<char *>("account"), const_cast<char *>(account.constData()));
    GError *error = nullptr;
    GList *items = secret_service_search_sync(nullptr, nullptr, query, SECRET_SEARCH_ALL, nullptr, &error);
    g_hash_table_unref(query);
    EXPECT_EQ(error, nullptr) << (error ? error->message : "");
    if (error)
        g_error_free(error);

    std::vector<std::map<std::string, std::string>> result;
    for (GList *entry = items; entry; entry = entry->next) {
        GHashTable *attributes = secret_item_get_attributes(SECRET_ITEM(entry->data));
        std::map<std::string, std::string> map;
        GHashTableIter iter;
        gpointer key = nullptr;
        gpointer value = nullptr;
        g_hash_table_iter_init(&iter, attributes);
        while (g_hash_table_iter_next(&iter, &key, &value))
            map[static_cast<const char *>(key)] = static_cast<const char *>(value);
        g_hash_table_unref(attributes);
        result.push_back(std::move(map));
    }
    g_list_free_full(items, g_object_unref);
    return result;
}

// Locks the default collection, as a login that did not unlock it leaves it.
void lockDefaultCollection()
{
    GError *error = nullptr;
    SecretService *service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    ASSERT_NE(service, nullptr) << (error ? error->message : "");
    SecretCollection *collection =
        secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    g_object_unref(service);
    ASSERT_NE(collection, nullptr) << (error ? error->message : "");
    GList *objects = g_list_append(nullptr, collection);
    secret_service_lock_sync(nullptr, objects, nullptr, nullptr, &error);
    g_list_free(objects);
    g_object_unref(collection);
    ASSERT_EQ(error, nullptr) << error->message;
}

// The keyring's unlock prompter, shown to a user who is not there: it takes every prompt and
// never answers it. It owns the prompter's bus name on its own thread until destroyed.
class SilentPrompter
{
public:
    SilentPrompter()
    {
        std::promise<bool> owned;
        auto ready = owned.get_future();
        m_thread = std::thread([this, owned = std::move(owned)]() mutable { run(owned); });
        m_owned = ready.get();
    }
    ~SilentPrompter()
    {
        if (m_loop)
            g_main_context_invoke(m_context, [](gpointer loop) { g_main_loop_quit(static_cast<GMainLoop *>(loop)); return G_SOURCE_REMOVE; }, m_loop);
        m_thread.join();
    }
    bool owned() const { return m_owned; }

private:
    void run(std::promise<bool> &owned)
    {
        m_context = g_main_context_new();
        g_main_context_push_thread_default(m_context);
        GError *error = nullptr;
        GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        static const char *xml =
            "<node><interface name='org.gnome.keyring.internal.Prompter'>"
            "<method name='BeginPrompting'><arg type='o' direction='in'/></method>"
            "<method name='PerformPrompt'><arg type='o' direction='in'/><arg type='s' direction='in'/>"
            "<arg type='a{sv}' direction='in'/><arg type='s' direction='in'/></method>"
            "<method name='StopPrompting'><arg type='o' direction='in'/></method>"
            "</interface></node>";
        GDBusNodeInfo *node = bus ? g_dbus_node_info_new_for_xml(xml, &error) : nullptr;
        static const GDBusInterfaceVTable vtable = {
            [](GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *,
               GDBusMethodInvocation *invocation, gpointer) {
                // Taken, and then nothing: the prompt stays on a screen nobody looks at.
                g_dbus_method_invocation_return_value(invocation, nullptr);
            },
            nullptr, nullptr, {}};
        const guint object = node ? g_dbus_connection_register_object(bus, "/org/gnome/keyring/Prompter",
                                                                      node->interfaces[0], &vtable, nullptr,
                                                                      nullptr, &error)
                                  : 0;
        GVariant *reply = object ? g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                               "org.freedesktop.DBus", "RequestName",
                                                               g_variant_new("(su)", "org.gnome.keyring.SystemPrompter", 4u),
                                                               G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1,
                                                               nullptr, &error)
                                 : nullptr;
        guint32 answer = 0;
        if (reply) {
            g_variant_get(reply, "(u)", &answer);
            g_variant_unref(reply);
        }
        if (error)
            g_error_free(error);
        m_loop = g_main_loop_new(m_context, FALSE);
        owned.set_value(answer == 1); // primary owner
        g_main_loop_run(m_loop);
        if (object)
            g_dbus_connection_unregister_object(bus, object);
        if (node)
            g_dbus_node_info_unref(node);
        if (bus)
            g_object_unref(bus);
        g_main_loop_unref(m_loop);
        g_main_context_pop_thread_default(m_context);
        g_main_context_unref(m_context);
    }

    std::thread m_thread;
    GMainContext *m_context = nullptr;
    GMainLoop *m_loop = nullptr;
    bool m_owned = false;
};

} // namespace

TEST(KeychainVaultKeyringTest, KeepsOneReplacedItemInTheRealKeyring)
{
    if (!qEnvironmentVariableIsSet("QUILLMERE_IN_KEYRING_SESSION"))
        GTEST_SKIP() << "needs a private keyring session (scripts/with-keyring)";

    SecretServiceBackend backend;
    KeychainHelper helper(backend);
    helper.remove(KeychainVault::vaultAccount());
    std::vector<QString> reports;
    const auto makeVault = [&] {
        return std::make_unique<KeychainVault>(helper, [&](const QString &detail) { reports.push_back(detail); });
    };

    auto vault = makeVault();
    EXPECT_EQ(test::await(vault->dataAsync(KeychainVault::bearerTokenKey())), std::nullopt);
    EXPECT_THAT(vaultItems(), IsEmpty());

    const QString bookmark = KeychainVault::folderBookmarkKey(QUuid::createUuid());
    test::await(vault->setValueAsync(QByteArray("tok\0en", 6), KeychainVault::bearerTokenKey()));
    test::await(vault->setValueAsync("first", bookmark));
    test::await(vault->setValueAsync("second", bookmark));

    auto items = vaultItems();
    ASSERT_EQ(items.size(), 1u);
    // The keyring daemon may record the generic schema name itself, depending on how the
    // default collection came to be; any other attribute would be ours and wrong.
    items.front().erase("xdg:schema");
    EXPECT_EQ(items.front(), (std::map<std::string, std::string>{
                                 {"service", "app.quillmere.Quillmere"}, {"account", "quillmere-vault"}}));

    auto relaunched = makeVault();
    EXPECT_EQ(relaunched->data(KeychainVault::bearerTokenKey()), QByteArray("tok\0en", 6));
    EXPECT_EQ(relaunched->data(bookmark), QByteArray("second"));

    test::await(relaunched->replaceWithEmptyAsync());
    EXPECT_EQ(helper.read(KeychainVault::vaultAccount()), QByteArray("{}"));
    EXPECT_THAT(reports, IsEmpty());

    // A locked keyring answers a lookup with nothing at all; that must read as a failure.
    test::await(relaunched->setValueAsync("kept", KeychainVault::bearerTokenKey()));
    lockDefaultCollection();
    if (HasFatalFailure())
        return;

    auto locked = makeVault();
    test::await(locked->setValueAsync("new", bookmark));
    EXPECT_EQ(locked->data(bookmark), QByteArray("new"));
    EXPECT_TRUE(locked->entry(KeychainVault::bearerTokenKey()).unreadable) << "not \"no token\"";
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports.front().startsWith(QStringLiteral("KeychainVault read failed: "))) << reports.front().toStdString();
    EXPECT_EQ(vaultItems().size(), 1u);
}

TEST(KeychainVaultKeyringTest, AnUnlockPromptNobodyAnswersEndsAtTheCallLimit)
{
    if (!qEnvironmentVariableIsSet("QUILLMERE_IN_KEYRING_SESSION"))
        GTEST_SKIP() << "needs a private keyring session (scripts/with-keyring)";

    // The vault's item, in a keyring locked at login (the test before may have locked it).
    SecretServiceBackend unbounded;
    unbounded.store(bundleIdentifier(), KeychainVault::vaultAccount(), "{}");
    lockDefaultCollection();
    SilentPrompter prompter;
    ASSERT_TRUE(prompter.owned());

    // Reading the item asks for the keyring to be unlocked; nobody answers.
    constexpr std::chrono::milliseconds limit{1500};
    auto result = std::make_shared<std::promise<SecretBackend::Result>>();
    auto finished = result->get_future();
    const auto started = std::chrono::steady_clock::now();
    std::thread([result, limit] {
        SecretServiceBackend bounded(limit);
        result->set_value(bounded.read(bundleIdentifier(), KeychainVault::vaultAccount()));
    }).detach();
    ASSERT_EQ(finished.wait_for(limit * 6), std::future_status::ready) << "the worker is held for ever";
    const auto waited = std::chrono::steady_clock::now() - started;
    const SecretBackend::Result outcome = finished.get();
    EXPECT_EQ(outcome.kind, SecretBackend::Result::Kind::failed);
    EXPECT_GE(waited, limit) << "the prompt was shown and waited for";
}
