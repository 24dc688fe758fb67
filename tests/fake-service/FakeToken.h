#pragma once

#include <QDateTime>
#include <QString>

namespace quillmere::test {

// A bearer token the fake has handed out. The token itself is what a refresh presents, so a
// token past its expiry (or marked expired) still refreshes until it is revoked.
struct FakeToken
{
    QString token;
    qint64 accountId = 0;
    QDateTime expiresAt;
    // False once a test expires it: requests are answered 401 from then on.
    bool accepted = true;
    bool revoked = false;
};

} // namespace quillmere::test
