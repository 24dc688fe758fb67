#pragma once

#include <QMetaType>
#include <QString>

namespace quillmere {

// Whether this computer is linked to an account, and where a device link stands.
class ConnectionState
{
public:
    enum class Kind { polling, error, disconnected, requestingCode, connected };

    ConnectionState() = default;

    static ConnectionState polling(QString userCode, QString verificationUrl)
    {
        return ConnectionState(Kind::polling, std::move(userCode), std::move(verificationUrl));
    }
    static ConnectionState error(QString message) { return ConnectionState(Kind::error, std::move(message), {}); }
    static ConnectionState disconnected() { return ConnectionState(); }
    static ConnectionState requestingCode() { return ConnectionState(Kind::requestingCode, {}, {}); }
    static ConnectionState connected() { return ConnectionState(Kind::connected, {}, {}); }

    Kind kind() const { return m_kind; }
    bool is(Kind kind) const { return m_kind == kind; }
    // polling only
    QString userCode() const { return m_kind == Kind::polling ? m_first : QString(); }
    QString verificationUrl() const { return m_kind == Kind::polling ? m_second : QString(); }
    // error only
    QString message() const { return m_kind == Kind::error ? m_first : QString(); }

    bool operator==(const ConnectionState &other) const = default;

private:
    ConnectionState(Kind kind, QString first, QString second)
        : m_kind(kind), m_first(std::move(first)), m_second(std::move(second))
    {
    }

    Kind m_kind = Kind::disconnected;
    QString m_first;
    QString m_second;
};

} // namespace quillmere

Q_DECLARE_METATYPE(quillmere::ConnectionState)
