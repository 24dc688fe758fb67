#include "Accounts/LinkedAccount.h"

#include "Platform/Settings/UserDefaults.h"

namespace quillmere {

namespace {
const QString linkedAccountKey = QStringLiteral("quillmere.linkedAccount.id");
} // namespace

std::optional<qint64> LinkedAccount::id()
{
    const auto stored = UserDefaults::standard().string(linkedAccountKey);
    if (!stored)
        return std::nullopt;
    bool ok = false;
    const qint64 value = stored->toLongLong(&ok);
    return ok ? std::optional(value) : std::nullopt;
}

bool LinkedAccount::setID(qint64 accountID)
{
    return UserDefaults::standard().setString(linkedAccountKey, QString::number(accountID));
}

} // namespace quillmere
