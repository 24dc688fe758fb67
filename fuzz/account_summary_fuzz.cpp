// The account reply of the library client: any body gives a profile or a clear error.
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
    LibraryAPIClient::AccountProfile profile;
    if (!readsOrRefusesNonJson(body, [&] { profile = LibraryAPIClient::parseAccountResponse(200, body); }))
        return 0;
    const QJsonObject object = objectOf(body);
    check(profile.maintenance == (object.value(QStringLiteral("maintenance")) == QJsonValue(true)),
          "only a JSON true means maintenance");
    const QJsonValue id = object.value(QStringLiteral("id"));
    if (isPlainWholeNumber(id))
        check(profile.id == qint64(id.toDouble()), "a whole id is read exactly");
    else if (!isDoubtfulNumber(id))
        check(profile.id == 0, "an id that is not a whole number reads as none");
    return 0;
}
