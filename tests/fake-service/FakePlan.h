#pragma once

#include <QString>

#include <optional>

namespace quillmere::test {

// A plan of an account. Its files are the library files whose userPlanId is the plan's id.
struct FakePlan
{
    qint64 id = 0; // 0: the fake picks one
    qint64 accountId = 0;
    QString name;
    QString slug;
    std::optional<QString> folderName; // unset: the reply carries no "folder_name"
    QString status = QStringLiteral("active");
};

} // namespace quillmere::test
