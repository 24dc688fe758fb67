// The library listing: any body gives the files it lists or a clear error, and no entry that
// reads as a file is lost to a malformed neighbour.
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
    QList<LibraryAPIClient::RemoteFile> files;
    if (!readsOrRefusesNonJson(body, [&] { files = LibraryAPIClient::parseLibraryResponse(200, body); }))
        return 0;

    qsizetype certain = 0, doubtful = 0;
    for (const QJsonObject &entry : entriesOf(objectOf(body), QStringLiteral("files"))) {
        if (!entry.value(QStringLiteral("filename")).isString())
            continue;
        const QJsonValue id = entry.value(QStringLiteral("id"));
        certain += isPlainWholeNumber(id) ? 1 : 0;
        doubtful += isDoubtfulNumber(id) ? 1 : 0;
    }
    check(files.size() >= certain && files.size() <= certain + doubtful,
          "every entry with a whole id and a file name is listed, and nothing else",
          QStringLiteral("%1 read, %2 certain, %3 doubtful").arg(files.size()).arg(certain).arg(doubtful));
    for (const auto &file : files) {
        checkDate(file.createdAt);
        checkDate(file.updatedAt);
    }
    return 0;
}
