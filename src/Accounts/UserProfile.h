#pragma once

#include <QString>

namespace quillmere {

// The signed-in user as the service describes it.
struct UserProfile
{
    qint64 id = 0;
    QString name;
    QString email;
    QString plan = QStringLiteral("silver");
};

} // namespace quillmere
