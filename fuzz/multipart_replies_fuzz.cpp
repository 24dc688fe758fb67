// The multipart upload's replies (initiate, presign-parts, complete): a value or a clear error.
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
    const QString requestOid = QStringLiteral("obj-request");

    LibraryAPIClient::MultipartInitiateResult opened;
    if (readsOrRefusesNonJson(body, [&] { opened = LibraryAPIClient::parseMultipartInitiateResponse(200, body, requestOid); })) {
        const QJsonObject object = objectOf(body);
        check(opened.alreadyExists == (object.value(QStringLiteral("status")) == QJsonValue(QStringLiteral("already_exists"))),
              "only \"already_exists\" says the content is held");
        if (!object.value(QStringLiteral("oid")).isString())
            check(opened.oid == requestOid, "without an oid the upload keeps the one asked for");
        if (!opened.alreadyExists && !object.value(QStringLiteral("upload_id")).isString())
            check(opened.uploadId.isEmpty(), "no upload id is made up");
    }

    QList<LibraryAPIClient::PresignedPart> parts;
    if (readsOrRefusesNonJson(body, [&] { parts = LibraryAPIClient::parsePresignPartsResponse(200, body); })) {
        qsizetype certain = 0, doubtful = 0;
        for (const QJsonObject &entry : entriesOf(objectOf(body), QStringLiteral("parts"))) {
            if (!entry.value(QStringLiteral("presigned_url")).isString())
                continue;
            const QJsonValue number = entry.value(QStringLiteral("part_number"));
            certain += isPlainWholeNumber(number) ? 1 : 0;
            doubtful += isDoubtfulNumber(number) ? 1 : 0;
        }
        check(parts.size() >= certain && parts.size() <= certain + doubtful,
              "every part with a whole number and an address is read, and nothing else");
        for (const auto &part : parts)
            checkDate(part.expiresAt);
    }

    try {
        LibraryAPIClient::parseCompleteMultipartResponse(200, body);
    } catch (...) {
        fail("a completion answered 200 succeeds whatever its body");
    }
    return 0;
}
