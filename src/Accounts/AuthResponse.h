#pragma once

#include "Accounts/UserProfile.h"

#include <QDateTime>
#include <QString>

namespace quillmere {

// What any sign-in or registration hands back.
struct AuthResponse
{
    UserProfile user;
    QString token;
    QDateTime expiresAt;
    // True when the service does not say: the account window then offers plan selection.
    bool isNewUser = true;
};

} // namespace quillmere
