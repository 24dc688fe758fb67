#pragma once

#include <QtGlobal>

#include <optional>

namespace quillmere {

// The service account whose folders, records and cursors this computer holds, kept in the
// standard settings ("quillmere.linkedAccount.id"). A sign-in of another account must wipe
// local sync state before its token is saved; comparing with this id is how that is known.
// It is not removed on sign-out: a later sign-in of another account then wipes an empty
// state, which costs nothing. Any thread.
class LinkedAccount
{
public:
    LinkedAccount() = delete;

    // An account id as the service named it: a whole number above 0. 0 (what a reply without
    // a whole-number "id" reads as) names no account, and no wipe is ever decided on it.
    static std::optional<qint64> known(qint64 accountID);
    // Absent when none was recorded or the stored text is not a known id.
    static std::optional<qint64> id();
    // False, and nothing recorded, when the id is not known or the settings could not be written.
    static bool setID(qint64 accountID);
};

} // namespace quillmere
