#include "Lane/ListedFiles.h"

#include <algorithm>
#include <cstring>
#include <tuple>

namespace quillmere {

namespace {

QString rootless(const QString &drivePath)
{
    return drivePath == QLatin1String(".") ? QString() : drivePath;
}

int hexValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    return -1;
}

} // namespace

bool ListedFiles::parse(QStringView checksum, Digest &digest)
{
    if (checksum.size() != qsizetype(digest.size() * 2))
        return false;
    for (size_t i = 0; i < digest.size(); ++i) {
        const int high = hexValue(checksum[qsizetype(2 * i)]);
        const int low = hexValue(checksum[qsizetype(2 * i + 1)]);
        if (high < 0 || low < 0)
            return false;
        digest[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return true;
}

ListedFiles::ListedFiles(const QList<FileSyncAPI::RemoteFile> &files)
{
    m_entries.reserve(size_t(files.size()));
    for (const auto &remote : files) {
        // An entry without a checksum answers neither question.
        if (!remote.fileChecksum || remote.fileChecksum->isEmpty())
            continue;
        const QString drivePath = rootless(remote.drivePath.value_or(QString()));
        Entry entry{};
        if (!parse(*remote.fileChecksum, entry.digest)) {
            m_others.append({*remote.fileChecksum, drivePath, remote.filename, remote.id});
            continue;
        }
        auto dir = m_dirIndex.constFind(drivePath);
        if (dir == m_dirIndex.cend()) {
            dir = m_dirIndex.insert(drivePath, quint32(m_dirs.size()));
            m_dirs.append(drivePath);
        }
        entry.id = remote.id;
        entry.dir = *dir;
        entry.nameStart = quint32(m_names.size());
        entry.nameLength = quint32(remote.filename.size());
        m_names += remote.filename;
        m_entries.push_back(entry);
    }
    m_names.squeeze();
    m_entries.shrink_to_fit();
    const auto before = [this](const Entry &a, const Entry &b) {
        if (const int order = std::memcmp(a.digest.data(), b.digest.data(), a.digest.size()); order != 0)
            return order < 0;
        if (a.dir != b.dir)
            return a.dir < b.dir;
        return nameOf(a).compare(nameOf(b)) < 0;
    };
    std::stable_sort(m_entries.begin(), m_entries.end(), before);
}

std::pair<std::vector<ListedFiles::Entry>::const_iterator, std::vector<ListedFiles::Entry>::const_iterator>
ListedFiles::range(const Digest &digest, const QString &drivePath, const QString &name) const
{
    const auto dir = m_dirIndex.constFind(rootless(drivePath));
    if (dir == m_dirIndex.cend())
        return {m_entries.cend(), m_entries.cend()};
    const quint32 dirIndex = *dir;
    const auto compare = [&](const Entry &entry) {
        if (const int order = std::memcmp(entry.digest.data(), digest.data(), digest.size()); order != 0)
            return order;
        if (entry.dir != dirIndex)
            return entry.dir < dirIndex ? -1 : 1;
        return nameOf(entry).compare(QStringView(name));
    };
    const auto first = std::partition_point(m_entries.cbegin(), m_entries.cend(),
                                            [&](const Entry &entry) { return compare(entry) < 0; });
    const auto last = std::partition_point(first, m_entries.cend(), [&](const Entry &entry) { return compare(entry) == 0; });
    return {first, last};
}

bool ListedFiles::holds(const QString &checksum, const QString &drivePath, const QString &name) const
{
    if (checksum.isEmpty())
        return false;
    const QString lower = checksum.toLower();
    Digest digest;
    if (parse(lower, digest)) {
        const auto [first, last] = range(digest, drivePath, name);
        if (std::any_of(first, last, [&](const Entry &entry) { return !m_deleted.contains(entry.id); }))
            return true;
    }
    const QString dir = rootless(drivePath);
    return std::any_of(m_others.cbegin(), m_others.cend(), [&](const Other &other) {
        return other.name == name && other.drivePath == dir && other.checksum.toLower() == lower
               && !m_deleted.contains(other.id);
    });
}

std::optional<qint64> ListedFiles::idAt(const QString &checksum, const QString &drivePath, const QString &name) const
{
    const auto current = [this](qint64 id) { return !m_deleted.contains(id) && !m_changed.contains(id); };
    Digest digest;
    if (parse(checksum, digest)) {
        // Only a lower-case SHA-256 is kept as a digest, and no other entry has that text.
        const auto [first, last] = range(digest, drivePath, name);
        for (auto entry = last; entry != first;) {
            --entry;
            if (current(entry->id))
                return entry->id;
        }
        return std::nullopt;
    }
    const QString dir = rootless(drivePath);
    for (auto other = m_others.crbegin(); other != m_others.crend(); ++other)
        if (other->checksum == checksum && other->drivePath == dir && other->name == name && current(other->id))
            return other->id;
    return std::nullopt;
}

void ListedFiles::forgetDeleted(qint64 id)
{
    m_deleted.insert(id);
}

void ListedFiles::forgetChanged(qint64 id)
{
    m_changed.insert(id);
}

} // namespace quillmere
