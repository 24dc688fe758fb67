#pragma once

#include "Platform/Secrets/SecretBackend.h"

#include <map>
#include <mutex>
#include <optional>
#include <utility>

namespace quillmere {

// A secret store in memory, with switches that make reads or writes fail the way a locked
// keyring or a missing Secret Service does.
class InMemorySecretBackend : public SecretBackend
{
public:
    Result read(const QString &service, const QString &account) override;
    Result store(const QString &service, const QString &account, const QByteArray &value) override;
    Result remove(const QString &service, const QString &account) override;

    // While set, every read (or store/remove) fails with this code.
    void setReadFailure(std::optional<int> code);
    void setWriteFailure(std::optional<int> code);

    std::optional<QByteArray> item(const QString &service, const QString &account) const;
    void putItem(const QString &service, const QString &account, const QByteArray &value);
    int itemCount() const;
    int readCount() const;
    int storeCount() const;

private:
    mutable std::mutex m_mutex;
    std::map<std::pair<QString, QString>, QByteArray> m_items;
    std::optional<int> m_readFailure;
    std::optional<int> m_writeFailure;
    int m_reads = 0;
    int m_stores = 0;
};

} // namespace quillmere
