// Runs against a real gnome-keyring on a private session bus: scripts/with-keyring sets that up.

#include "Accounts/KeychainVault.h"
#include "Platform/BundleIdentifier.h"
#include "Platform/Secrets/SecretServiceBackend.h"
#include "support/TestSupport.h"

#include <libsecret/secret.h>

#include <gmock/gmock.h>

#include <map>
#include <string>

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

    auto locked = makeVault();
    test::await(locked->setValueAsync("new", bookmark));
    EXPECT_EQ(locked->data(bookmark), QByteArray("new"));
    EXPECT_TRUE(locked->entry(KeychainVault::bearerTokenKey()).unreadable) << "not \"no token\"";
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_TRUE(reports.front().startsWith(QStringLiteral("KeychainVault read failed: "))) << reports.front().toStdString();
    EXPECT_EQ(vaultItems().size(), 1u);
}
