// The change feed: any body gives its changes and at most the service's own non-empty cursor,
// or a clear error; a malformed entry never hides the others.
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
    LibraryAPIClient::ChangeFeed feed;
    if (!readsOrRefusesNonJson(body, [&] { feed = LibraryAPIClient::parseChangesResponse(200, body); }))
        return 0;

    const QJsonObject object = objectOf(body);
    const QJsonValue cursor = object.value(QStringLiteral("cursor"));
    if (cursor.isString() && !cursor.toString().isEmpty())
        check(feed.cursor == cursor.toString(), "the service's cursor is taken as sent");
    else
        check(!feed.cursor, "no cursor but a non-empty one the service sent");

    qsizetype certain = 0, doubtful = 0;
    for (const QJsonObject &entry : entriesOf(object, QStringLiteral("changes"))) {
        const QJsonValue id = entry.value(QStringLiteral("id"));
        certain += isPlainWholeNumber(id) ? 1 : 0;
        doubtful += isDoubtfulNumber(id) ? 1 : 0;
    }
    check(feed.changes.size() >= certain && feed.changes.size() <= certain + doubtful,
          "every entry with a whole id is a change, and nothing else");
    for (const auto &change : feed.changes) {
        checkDate(change.createdAt);
        checkDate(change.updatedAt);
        checkDate(change.deletedAt);
    }
    return 0;
}
