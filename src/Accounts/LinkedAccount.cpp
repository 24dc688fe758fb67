#include "Accounts/LinkedAccount.h"

#include "Platform/Settings/UserDefaults.h"

namespace quillmere {

namespace {
const QString linkedAccountKey = QStringLiteral("quillmere.linkedAccount.id");
} // namespace

std::optional<qint64> LinkedAccount::known(qint64 accountID)
{
    return accountID > 0 ? std::optional(accountID) : std::nullopt;
}

std::optional<qint64> LinkedAccount::id()
{
    const auto stored = UserDefaults::standard().string(linkedAccountKey);
    if (!stored)
        return std::nullopt;
    bool ok = false;
    const qint64 value = stored->toLongLong(&ok);
    // An earlier build recorded 0 for a reply without an id: that names no account.
    return ok ? known(value) : std::nullopt;
}

bool LinkedAccount::setID(qint64 accountID)
{
    if (!known(accountID))
        return false;
    return UserDefaults::standard().setString(linkedAccountKey, QString::number(accountID));
}

} // namespace quillmere
