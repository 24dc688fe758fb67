#pragma once

#include <QByteArray>
#include <QString>

namespace quillmere {

// One per-user secret store holding items found by (service, account). Implementations are
// called from worker threads and must be thread-safe.
class SecretBackend
{
public:
    struct Result
    {
        enum class Kind { ok, notFound, failed };
        Kind kind = Kind::ok;
        QByteArray value;  // read: the item's bytes
        int code = 0;      // failed: the store's own error code
        QString message;   // failed: the store's own explanation, for logs

        static Result success(QByteArray value = {}) { return {Kind::ok, std::move(value), 0, {}}; }
        static Result missing() { return {Kind::notFound, {}, 0, {}}; }
        static Result failure(int code, QString message) { return {Kind::failed, {}, code, std::move(message)}; }
    };

    virtual ~SecretBackend() = default;

    virtual Result read(const QString &service, const QString &account) = 0;
    // Creates the item or replaces its value in one step: there is never a moment without it.
    virtual Result store(const QString &service, const QString &account, const QByteArray &value) = 0;
    // notFound when there was nothing to remove.
    virtual Result remove(const QString &service, const QString &account) = 0;
};

} // namespace quillmere
