#pragma once

#include "Platform/Secrets/SecretBackend.h"

#include <chrono>

namespace quillmere {

// Items of the Secret Service (gnome-keyring, KWallet...) on the session bus, found by exactly
// the two attributes "service" and "account", kept in the default collection.
// Every call is a blocking D-Bus round trip (an unlock prompt may wait for the user): call it
// from a worker thread, never from the main thread. A call that has not answered within the
// limit (a prompt nobody answers) is cancelled and fails, so the caller's thread is never held
// for ever; the prompt is dismissed with it.
class SecretServiceBackend : public SecretBackend
{
public:
    static constexpr std::chrono::milliseconds defaultCallLimit{60000};

    explicit SecretServiceBackend(std::chrono::milliseconds callLimit = defaultCallLimit) : m_callLimit(callLimit) {}

    Result read(const QString &service, const QString &account) override;
    Result store(const QString &service, const QString &account, const QByteArray &value) override;
    Result remove(const QString &service, const QString &account) override;

private:
    std::chrono::milliseconds m_callLimit;
};

} // namespace quillmere
