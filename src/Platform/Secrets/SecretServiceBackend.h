#pragma once

#include "Platform/Secrets/SecretBackend.h"

namespace quillmere {

// Items of the Secret Service (gnome-keyring, KWallet...) on the session bus, found by exactly
// the two attributes "service" and "account", kept in the default collection.
// Every call is a blocking D-Bus round trip (an unlock prompt may wait for the user): call it
// from a worker thread, never from the main thread.
class SecretServiceBackend : public SecretBackend
{
public:
    Result read(const QString &service, const QString &account) override;
    Result store(const QString &service, const QString &account, const QByteArray &value) override;
    Result remove(const QString &service, const QString &account) override;
};

} // namespace quillmere
