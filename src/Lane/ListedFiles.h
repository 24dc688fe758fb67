#pragma once

#include "ServiceAPI/FileSyncAPI.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <array>
#include <optional>
#include <vector>

namespace quillmere {

// What a full sync's listing says of each place, kept until the next full sync for the two
// questions asked of it later: is this content listed at this place, and under which id.
// The listing itself (every field of every file) would stay in memory for that, while
// this keeps a SHA-256 as 32 bytes, each drive path once and the names back to back.
class ListedFiles
{
public:
    ListedFiles() = default;
    explicit ListedFiles(const QList<FileSyncAPI::RemoteFile> &files);

    // Whether an entry of a file not deleted since lists `checksum` (its case ignored) under
    // `name` in `drivePath` ("" or "." is the folder's root).
    bool holds(const QString &checksum, const QString &drivePath, const QString &name) const;
    // The id of the last entry listing exactly `checksum` under `name` in `drivePath`, of a
    // file neither deleted nor changed since.
    std::optional<qint64> idAt(const QString &checksum, const QString &drivePath, const QString &name) const;
    // The service deleted the file `id` since the listing: no place holds its content now.
    void forgetDeleted(qint64 id);
    // The service changed the file `id` since the listing (a new version, a move): what was
    // listed of it is no longer what it is (idAt passes it by; it still held that content
    // at that place).
    void forgetChanged(qint64 id);
    // Entries that carry a checksum.
    qsizetype size() const { return qsizetype(m_entries.size()) + m_others.size(); }

private:
    using Digest = std::array<unsigned char, 32>;
    struct Entry
    {
        Digest digest;
        qint64 id;
        quint32 dir;
        quint32 nameStart;
        quint32 nameLength;
    };
    // Entries listed with any other checksum text (upper case, not a SHA-256): rare, kept whole.
    struct Other
    {
        QString checksum;
        QString drivePath;
        QString name;
        qint64 id;
    };

    static bool parse(QStringView checksum, Digest &digest);
    QStringView nameOf(const Entry &entry) const { return QStringView(m_names).mid(entry.nameStart, entry.nameLength); }
    // The entries with this digest, drive path and name, in listing order.
    std::pair<std::vector<Entry>::const_iterator, std::vector<Entry>::const_iterator>
    range(const Digest &digest, const QString &drivePath, const QString &name) const;

    std::vector<Entry> m_entries; // by digest, drive path and name; listing order among equals
    QStringList m_dirs;
    QHash<QString, quint32> m_dirIndex;
    QString m_names;
    QList<Other> m_others;
    QSet<qint64> m_deleted;
    QSet<qint64> m_changed;
};

} // namespace quillmere
