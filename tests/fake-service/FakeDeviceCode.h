#pragma once

#include <QDateTime>
#include <QString>

namespace quillmere::test {

// One device-link code and where its approval stands.
struct FakeDeviceCode
{
    enum class State {
        pending,  // polls answered 428
        slowDown, // the next poll is answered 429 "slow_down", then pending again
        approved, // the next poll gets the token
        spent,    // the token was handed out; later polls are answered 410
        expired,  // polls answered 410
    };

    QString deviceCode;
    QString userCode;
    QDateTime expiresAt;
    int interval = 5;
    State state = State::pending;
    qint64 accountId = 0; // set on approval
    int polls = 0;
};

} // namespace quillmere::test
