#include "fake-service/FakeJson.h"
#include "fake-service/FakeRoutes.h"

#include <QJsonArray>

#include <set>

namespace quillmere::test {

namespace {

struct Usage
{
    qint64 used = 0;
    qint64 onDisk = 0; // identical content is stored once
    qint64 planAsset = 0;
    qint64 reference = 0;
    qint64 drive = 0;
    qint64 unorganised = 0;
};

Usage usageLocked(const FakeServiceState &state, qint64 accountId)
{
    Usage usage;
    std::set<QString> seen;
    for (const auto &[id, file] : state.files) {
        if (file.accountId != accountId)
            continue;
        usage.used += file.fileSize;
        if (seen.insert(file.checksum).second)
            usage.onDisk += file.fileSize;
        if (file.userPlanId)
            usage.planAsset += file.fileSize;
        else if (file.folderType == QLatin1String("reference"))
            usage.reference += file.fileSize;
        else if (file.folderType == QLatin1String("drive"))
            usage.drive += file.fileSize;
        else
            usage.unorganised += file.fileSize;
    }
    return usage;
}

FakeReply storage(FakeServiceState &state, const FakeRequest &request)
{
    std::lock_guard lock(state.mutex);
    const auto who = state.authoriseLocked(request);
    if (auto *refused = std::get_if<FakeReply>(&who))
        return *refused;
    const FakeAccount &account = state.accounts.at(std::get<qint64>(who));
    const Usage usage = usageLocked(state, account.id);
    return FakeReply::json(200, QJsonObject{
                                    {QStringLiteral("subscription"), account.plan},
                                    {QStringLiteral("subscription_label"), account.subscriptionLabel},
                                    {QStringLiteral("storage_limit_bytes"), account.storageLimitBytes},
                                    {QStringLiteral("storage_used_bytes"), usage.used},
                                    {QStringLiteral("actual_disk_bytes"), usage.onDisk},
                                    {QStringLiteral("is_enforced"), account.isEnforced},
                                    {QStringLiteral("breakdown"),
                                     QJsonObject{
                                         {QStringLiteral("plan_asset"), usage.planAsset},
                                         {QStringLiteral("commercial_reference"), usage.reference},
                                         {QStringLiteral("drive_file"), usage.drive},
                                         {QStringLiteral("unorganised"), usage.unorganised},
                                     }},
                                });
}

FakeReply account(FakeServiceState &state, const FakeRequest &request)
{
    std::lock_guard lock(state.mutex);
    const auto who = state.authoriseLocked(request);
    if (auto *refused = std::get_if<FakeReply>(&who))
        return *refused;
    const FakeAccount &account = state.accounts.at(std::get<qint64>(who));
    return FakeReply::json(200, QJsonObject{
                                    {QStringLiteral("id"), account.id},
                                    {QStringLiteral("name"), account.name},
                                    {QStringLiteral("email"), account.email},
                                    {QStringLiteral("plan"), account.plan},
                                    {QStringLiteral("storage_used_bytes"), usageLocked(state, account.id).used},
                                    {QStringLiteral("storage_limit_bytes"), account.storageLimitBytes},
                                    {QStringLiteral("maintenance"), account.maintenance},
                                });
}

FakeReply plans(FakeServiceState &state, const FakeRequest &request)
{
    std::lock_guard lock(state.mutex);
    const auto who = state.authoriseLocked(request);
    if (auto *refused = std::get_if<FakeReply>(&who))
        return *refused;
    QJsonArray plans;
    for (const FakePlan &plan : state.plans) {
        if (plan.accountId != std::get<qint64>(who))
            continue;
        QJsonArray files;
        for (const auto &[id, file] : state.files) {
            if (file.accountId != plan.accountId || file.userPlanId != plan.id)
                continue;
            QJsonObject entry{
                {QStringLiteral("id"), file.id},
                {QStringLiteral("filename"), file.filename},
                {QStringLiteral("mime_type"), file.mimeType},
                {QStringLiteral("file_size"), file.fileSize},
                {QStringLiteral("file_checksum"), file.checksum},
                {QStringLiteral("created_at"), fakeDateText(file.createdAt)},
                {QStringLiteral("updated_at"), fakeDateText(file.updatedAt)},
            };
            if (file.drivePath)
                entry.insert(QStringLiteral("drive_path"), *file.drivePath);
            files.append(entry);
        }
        QJsonObject entry{
            {QStringLiteral("id"), plan.id},
            {QStringLiteral("name"), plan.name},
            {QStringLiteral("slug"), plan.slug},
            {QStringLiteral("status"), plan.status},
            {QStringLiteral("file_count"), files.size()},
            {QStringLiteral("files"), files},
        };
        if (plan.folderName)
            entry.insert(QStringLiteral("folder_name"), *plan.folderName);
        plans.append(entry);
    }
    return FakeReply::json(200, QJsonObject{{QStringLiteral("plans"), plans}});
}

} // namespace

void addAccountRoutes(FakeRouter &router, FakeServiceState &state)
{
    router.add("GET", "/api/v1/storage", [&state](const FakeRequest &r) { return storage(state, r); });
    router.add("GET", "/api/v1/account", [&state](const FakeRequest &r) { return account(state, r); });
    router.add("GET", "/api/v1/plans", [&state](const FakeRequest &r) { return plans(state, r); });
}

} // namespace quillmere::test
