// The storage summary: any body gives a summary (defaults for what is missing or of another
// type) or a clear error.
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
    LibraryAPIClient::StorageSummary summary;
    if (!readsOrRefusesNonJson(body, [&] { summary = LibraryAPIClient::parseStorageResponse(200, body); }))
        return 0;
    const QJsonObject object = objectOf(body);
    check(summary.isEnforced == (object.value(QStringLiteral("is_enforced")) == QJsonValue(true)),
          "only a JSON true enforces the limit");
    if (!object.value(QStringLiteral("subscription")).isString())
        check(summary.subscription == QLatin1String("silver"), "a summary without a plan name is silver");
    const QJsonValue limit = object.value(QStringLiteral("storage_limit_bytes"));
    if (isPlainWholeNumber(limit))
        check(summary.storageLimitBytes == qint64(limit.toDouble()), "a whole limit is read exactly");
    else if (!isDoubtfulNumber(limit))
        check(summary.storageLimitBytes == 0, "a limit that is not a whole number reads as none");
    return 0;
}
