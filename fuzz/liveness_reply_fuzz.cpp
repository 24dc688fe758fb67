// The DAW-liveness reply and the folder-reset reply: a value or a clear error.
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
    LibraryAPIClient::DAWLivenessReply reply;
    if (readsOrRefusesNonJson(body, [&] { reply = LibraryAPIClient::parseDAWLivenessResponse(200, body); })) {
        const QJsonObject object = objectOf(body);
        check(reply.warn == (object.value(QStringLiteral("warn")) == QJsonValue(true)), "only a JSON true warns");
        qsizetype named = 0;
        for (const QJsonObject &peer : entriesOf(object, QStringLiteral("peer_devices")))
            named += peer.value(QStringLiteral("device_name")).isString() ? 1 : 0;
        check(reply.peerDeviceNames.size() == named, "every peer with a name is listed");
    }
    qint64 deleted = 0;
    if (readsOrRefusesNonJson(body, [&] { deleted = LibraryAPIClient::parseResetFolderResponse(200, body); })) {
        const QJsonValue count = objectOf(body).value(QStringLiteral("deleted_count"));
        if (isPlainWholeNumber(count))
            check(deleted == qint64(count.toDouble()), "a whole count is read exactly");
    }
    return 0;
}
