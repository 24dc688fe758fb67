#include "fake-service/FakeLibrary.h"

namespace quillmere::test {

namespace {

const FakeLibrary::Ids kNone;

template<typename Map, typename Key>
void removeId(Map &map, const Key &key, qint64 id)
{
    const auto found = map.find(key);
    if (found == map.end())
        return;
    found->second.erase(id);
    if (found->second.empty())
        map.erase(found);
}

} // namespace

FakeLibrary::PlaceKey FakeLibrary::placeOf(const FakeLibraryFile &file)
{
    return {file.accountId, file.filename, file.drivePath, file.syncFolderUUID};
}

size_t FakeLibrary::countOf(qint64 accountId) const
{
    const auto found = m_perAccount.find(accountId);
    return found == m_perAccount.end() ? 0 : found->second;
}

void FakeLibrary::put(const FakeLibraryFile &file)
{
    const auto found = m_files.find(file.id);
    if (found != m_files.end()) {
        unindex(found->second);
        found->second = file;
    } else {
        m_files.emplace(file.id, file);
    }
    index(file);
}

bool FakeLibrary::erase(qint64 id)
{
    const auto found = m_files.find(id);
    if (found == m_files.end())
        return false;
    unindex(found->second);
    m_files.erase(found);
    return true;
}

const FakeLibrary::Ids &FakeLibrary::withChecksum(qint64 accountId, const QString &checksum) const
{
    const auto found = m_byContent.find({accountId, checksum});
    return found == m_byContent.end() ? kNone : found->second;
}

const FakeLibrary::Ids &FakeLibrary::at(qint64 accountId, const QString &filename,
                                        const std::optional<QString> &drivePath,
                                        const std::optional<QString> &syncFolderUUID) const
{
    const auto found = m_byPlace.find({accountId, filename, drivePath, syncFolderUUID});
    return found == m_byPlace.end() ? kNone : found->second;
}

void FakeLibrary::index(const FakeLibraryFile &file)
{
    m_byContent[{file.accountId, file.checksum}].insert(file.id);
    m_byPlace[placeOf(file)].insert(file.id);
    ++m_perAccount[file.accountId];
}

void FakeLibrary::unindex(const FakeLibraryFile &file)
{
    removeId(m_byContent, ContentKey{file.accountId, file.checksum}, file.id);
    removeId(m_byPlace, placeOf(file), file.id);
    const auto count = m_perAccount.find(file.accountId);
    if (count != m_perAccount.end() && --count->second == 0)
        m_perAccount.erase(count);
}

} // namespace quillmere::test
