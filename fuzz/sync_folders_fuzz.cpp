// The sync folders list and the registration reply: folders, invalidResponse for a body
// without a "data" array, or a clear error.
#include "ReplyChecks.h"

#include "ServiceAPI/LibraryAPIClient.h"

using namespace quillmere;
using namespace quillmere::fuzz;

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initialise(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body = bytesOf(data, size);
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const bool hasData = document.isObject() && document.object().value(QStringLiteral("data")).isArray();
    try {
        const auto folders = LibraryAPIClient::parseSyncFoldersResponse(200, body);
        check(hasData, "only a body with a \"data\" array lists folders");
        qsizetype complete = 0;
        for (const QJsonObject &entry : entriesOf(document.object(), QStringLiteral("data"))) {
            bool all = true;
            for (const char *key : {"uuid", "name", "folder_type", "direction"})
                all = all && entry.value(QLatin1String(key)).isString();
            complete += all ? 1 : 0;
        }
        check(folders.size() == complete, "every entry with its four strings is a folder");
    } catch (const HarborlyAPIError &error) {
        check(error.code() == HarborlyAPIError::Code::invalidResponse && !hasData,
              "only a body without a \"data\" array is an invalid response");
    } catch (...) {
        unexpected(std::current_exception());
    }

    for (const int status : {200, 201, 204}) {
        try {
            LibraryAPIClient::parseRegisterSyncFolderResponse(status, body);
        } catch (...) {
            fail("a registration answered 2xx succeeds whatever its body");
        }
    }
    return 0;
}
