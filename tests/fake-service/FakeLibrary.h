#pragma once

#include "fake-service/FakeLibraryFile.h"

#include <map>
#include <optional>
#include <set>
#include <tuple>

namespace quillmere::test {

// The library's files by id, with the lookups the upload routes make on every request kept as
// indexes: by content (account and checksum) and by place (account, name, drive path, sync
// folder). A scan of the whole library per request made a sync of n files take n² steps.
// Every change goes through put() or erase(), which keep the indexes current.
class FakeLibrary
{
public:
    using Files = std::map<qint64, FakeLibraryFile>;
    using const_iterator = Files::const_iterator;
    using Ids = std::set<qint64>; // ascending, as a scan of the library meets them

    const_iterator begin() const { return m_files.begin(); }
    const_iterator end() const { return m_files.end(); }
    const_iterator find(qint64 id) const { return m_files.find(id); }
    size_t count(qint64 id) const { return m_files.count(id); }
    size_t size() const { return m_files.size(); }
    size_t countOf(qint64 accountId) const;

    // Adds the file, or replaces the one with its id.
    void put(const FakeLibraryFile &file);
    bool erase(qint64 id);

    const Ids &withChecksum(qint64 accountId, const QString &checksum) const;
    const Ids &at(qint64 accountId, const QString &filename, const std::optional<QString> &drivePath,
                  const std::optional<QString> &syncFolderUUID) const;

private:
    using ContentKey = std::pair<qint64, QString>;
    using PlaceKey = std::tuple<qint64, QString, std::optional<QString>, std::optional<QString>>;

    static PlaceKey placeOf(const FakeLibraryFile &file);
    void index(const FakeLibraryFile &file);
    void unindex(const FakeLibraryFile &file);

    Files m_files;
    std::map<ContentKey, Ids> m_byContent;
    std::map<PlaceKey, Ids> m_byPlace;
    std::map<qint64, size_t> m_perAccount;
};

} // namespace quillmere::test
