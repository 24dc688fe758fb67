// The single-file upload's replies (check-hash, upload-url, upload-blob, confirm-upload): the
// same body through each reader gives a value or a clear error.
#include "ReplyChecks.h"

#include "ServiceAPI/LibraryAPIClient.h"

using namespace quillmere;
using namespace quillmere::fuzz;

namespace {

const QString ownChecksum = QStringLiteral("4316a4d874cb71ecca876e4d42a84f9cec43ed3c0b84fd8451ce32ae27d4f785");

void hashCheck(const QByteArray &body)
{
    const QJsonObject object = objectOf(body);
    const QJsonValue status = object.value(QStringLiteral("status"));
    const QString verdict = status.isString() ? status.toString() : QStringLiteral("upload_required");
    const bool known = verdict == QLatin1String("deduplicated") || verdict == QLatin1String("known_content")
        || verdict == QLatin1String("upload_required");
    try {
        const auto result = LibraryAPIClient::parseHashCheckResponse(200, body, ownChecksum);
        check(isJson(body) && known, "only a known verdict reads");
        if (result.verdict != LibraryAPIClient::HashCheckResult::Verdict::deduplicated)
            check(object.value(QStringLiteral("oid")).isString() || result.oid == ownChecksum,
                  "without an oid the content is named by its own checksum");
    } catch (const json::JsonError &) {
        check(!isJson(body), "JSON that Qt reads is never refused as unreadable");
    } catch (const HarborlyAPIError &error) {
        check(isJson(body) && !known && error.code() == HarborlyAPIError::Code::serverError,
              "only an unknown verdict is refused");
    } catch (...) {
        unexpected(std::current_exception());
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initialise(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body = bytesOf(data, size);
    hashCheck(body);

    LibraryAPIClient::PresignedURLResult url;
    if (readsOrRefusesNonJson(body, [&] { url = LibraryAPIClient::parseUploadURLResponse(200, body); }))
        checkDate(url.expiresAt);

    try {
        LibraryAPIClient::parseUploadBlobResponse(200, body);
    } catch (...) {
        fail("a blob upload answered 200 succeeds whatever its body");
    }

    for (const int status : {200, 201}) {
        LibraryAPIClient::ConfirmUploadResult confirmed;
        if (!readsOrRefusesNonJson(body, [&] { confirmed = LibraryAPIClient::parseConfirmUploadResponse(status, body); }))
            continue;
        // A conflict without its id is dropped like any malformed entry; the status still says it.
        const QJsonValue conflict = objectOf(body).value(QStringLiteral("conflict"));
        const QJsonValue id = conflict.toObject().value(QStringLiteral("id"));
        if (confirmed.conflict)
            check(conflict.isObject() && (isPlainWholeNumber(id) || isDoubtfulNumber(id)),
                  "a conflict is reported only when the reply carries one with its id");
        else
            check(!conflict.isObject() || !isPlainWholeNumber(id), "a conflict the reply carries with its id is reported");
    }
    return 0;
}
