// Refusals: whatever the body, every reader of the library client turns a refused status into
// a serverError with that status and a description; never a crash or an unreadable-body error.
#include "ReplyChecks.h"

#include "ServiceAPI/HarborlyAPI.h"
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
    if (size < 2)
        return 0;
    // 100-199 and 300-599: a refusal for every reader.
    int status = 100 + (data[0] << 8 | data[1]) % 400;
    if (status >= 200)
        status += 100;
    const QByteArray body = bytesOf(data + 2, size - 2);
    using C = LibraryAPIClient;

    refusesStatus(status, [&] { C::parseLibraryResponse(status, body); });
    refusesStatus(status, [&] { C::parseChangesResponse(status, body); });
    refusesStatus(status, [&] { C::parseSyncFoldersResponse(status, body); });
    refusesStatus(status, [&] { C::parseRegisterSyncFolderResponse(status, body); });
    refusesStatus(status, [&] { C::parseDownloadResponse(status); });
    refusesStatus(status, [&] { C::parseDeleteResponse(status, body); });
    refusesStatus(status, [&] { C::parseResetFolderResponse(status, body); });
    refusesStatus(status, [&] { C::parseStorageResponse(status, body); });
    refusesStatus(status, [&] { C::parseAccountResponse(status, body); });
    refusesStatus(status, [&] { C::parsePlansResponse(status, body); });
    refusesStatus(status, [&] { C::parseDAWLivenessResponse(status, body); });
    refusesStatus(status, [&] { C::parseHashCheckResponse(status, body, QStringLiteral("own")); });
    refusesStatus(status, [&] { C::parseUploadURLResponse(status, body); });
    refusesStatus(status, [&] { C::parseUploadBlobResponse(status, body); });
    refusesStatus(status, [&] { C::parseConfirmUploadResponse(status, body); });
    refusesStatus(status, [&] { C::parseMultipartInitiateResponse(status, body, QStringLiteral("own")); });
    refusesStatus(status, [&] { C::parsePresignPartsResponse(status, body); });
    refusesStatus(status, [&] { C::parseCompleteMultipartResponse(status, body); });
    refusesStatus(status, [&] { C::parseBatchHashCheckResponse(status, body); });
    refusesStatus(status, [&] { C::parseBatchDedupConfirmResponse(status, body); });
    return 0;
}
