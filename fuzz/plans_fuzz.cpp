// The plans reply: any body gives the plans it lists, each with a folder name, or a clear error.
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
    QList<LibraryAPIClient::PlanSummary> plans;
    if (!readsOrRefusesNonJson(body, [&] { plans = LibraryAPIClient::parsePlansResponse(200, body); }))
        return 0;
    qsizetype certain = 0, doubtful = 0;
    for (const QJsonObject &entry : entriesOf(objectOf(body), QStringLiteral("plans"))) {
        if (!entry.value(QStringLiteral("name")).isString())
            continue;
        const QJsonValue id = entry.value(QStringLiteral("id"));
        certain += isPlainWholeNumber(id) ? 1 : 0;
        doubtful += isDoubtfulNumber(id) ? 1 : 0;
    }
    check(plans.size() >= certain && plans.size() <= certain + doubtful,
          "every entry with a whole id and a name is a plan, and nothing else");
    for (const auto &plan : plans) {
        for (const auto &file : plan.files) {
            checkDate(file.createdAt);
            checkDate(file.updatedAt);
        }
    }
    return 0;
}
