#pragma once

#include <QJsonObject>
#include <QString>

namespace quillmere {

// The signed-in user as the service describes it.
struct UserProfile
{
    // 0 when the reply named no whole-number id: an account nobody can tell apart from another
    // (see LinkedAccount::known).
    qint64 id = 0;
    QString name;
    QString email;
    QString plan = QStringLiteral("silver");

    // "id", "name", "email" and "plan" of the object, each with its default when it is missing
    // or of another type.
    static UserProfile fromJson(const QJsonObject &object);

    bool operator==(const UserProfile &other) const = default;
};

} // namespace quillmere
