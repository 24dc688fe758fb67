#pragma once

#include "Accounts/APIConfig.h"
#include "Accounts/UserProfile.h"

#include <QDateTime>
#include <QString>

namespace quillmere {

// What a registration or a web sign-in hands back: the user and a bearer token to store.
struct AuthResponse
{
    UserProfile user;
    QString token;
    QDateTime expiresAt;
    // The account window offers plan selection to a new account; a reply that does not say
    // counts as new.
    bool isNewUser = true;
    // Where the account is served; stored by the sign-in's commit, after any wipe and the save.
    ServiceHome home;
};

} // namespace quillmere
