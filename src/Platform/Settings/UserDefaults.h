#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace quillmere {

// A per-user key-value store kept as an INI file under the XDG config folder. The standard
// store is "Quillmere/Quillmere.conf"; a suite is its own file "Quillmere/<name>.conf".
// The folder is looked up on every call ($XDG_CONFIG_HOME, else ~/.config), so tests can point
// it at a temporary folder. Every call opens the file anew, so instances are cheap values and
// any thread may use them.
class UserDefaults
{
public:
    static UserDefaults standard();
    static UserDefaults suite(const QString &name);

    // The folder that holds the files, as it is now.
    static QString configFolder();

    QString filePath() const;

    // False when the file exists but cannot be read or parsed.
    bool canOpen() const;

    // Absent when the key is missing, holds another type, or the file cannot be opened.
    std::optional<QString> string(const QString &key) const;
    std::optional<QByteArray> data(const QString &key) const;
    // A stored Boolean, or a string "true"/"yes"/"1" (true) or "false"/"no"/"0" (false), so a
    // key written by hand reads as expected; anything else is absent.
    std::optional<bool> boolean(const QString &key) const;
    bool contains(const QString &key) const;

    // Each returns false when the file could not be written.
    bool setString(const QString &key, const QString &value);
    bool setData(const QString &key, const QByteArray &value);
    bool setBool(const QString &key, bool value);
    bool remove(const QString &key);

private:
    explicit UserDefaults(QString fileName);

    QString m_fileName;
};

} // namespace quillmere
