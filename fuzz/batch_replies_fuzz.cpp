// The batch replies (batch-check-hash, batch-dedup-confirm): a value or a clear error, and a
// malformed entry never hides the others.
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
    const QJsonObject object = objectOf(body);

    LibraryAPIClient::BatchHashCheckResult checked;
    if (readsOrRefusesNonJson(body, [&] { checked = LibraryAPIClient::parseBatchHashCheckResponse(200, body); })) {
        const QJsonObject results = object.value(QStringLiteral("results")).toObject();
        qsizetype required = 0;
        for (const QJsonObject &entry : entriesOf(results, QStringLiteral("upload_required")))
            required += entry.value(QStringLiteral("content_sha256")).isString()
                    && entry.value(QStringLiteral("oid")).isString() ? 1 : 0;
        check(checked.uploadRequired.size() == required, "every upload_required entry with a hash and an oid is read");
        const QJsonValue cursor = object.value(QStringLiteral("cursor"));
        check(checked.cursor.has_value() == cursor.isString(), "a cursor only as the service sent it");
    }

    LibraryAPIClient::BatchDedupConfirmResult confirmed;
    if (readsOrRefusesNonJson(body, [&] { confirmed = LibraryAPIClient::parseBatchDedupConfirmResponse(200, body); })) {
        qsizetype failed = 0;
        for (const QJsonObject &entry : entriesOf(object, QStringLiteral("failed")))
            failed += entry.value(QStringLiteral("content_sha256")).isString() ? 1 : 0;
        check(confirmed.failed.size() == failed, "every failure with a hash is read");
        qsizetype certain = 0, doubtful = 0;
        for (const QJsonObject &entry : entriesOf(object, QStringLiteral("confirmed"))) {
            if (!entry.value(QStringLiteral("content_sha256")).isString() || !entry.value(QStringLiteral("commit_sha")).isString())
                continue;
            const QJsonValue id = entry.value(QStringLiteral("file_id"));
            certain += isPlainWholeNumber(id) ? 1 : 0;
            doubtful += isDoubtfulNumber(id) ? 1 : 0;
        }
        check(confirmed.confirmed.size() >= certain && confirmed.confirmed.size() <= certain + doubtful,
              "every confirmation with a hash, a whole id and a commit is read, and nothing else");
    }
    return 0;
}
