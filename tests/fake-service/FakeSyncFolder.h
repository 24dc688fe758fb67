#pragma once

#include <QString>

namespace quillmere::test {

// A sync folder registered with the service.
struct FakeSyncFolder
{
    qint64 accountId = 0;
    QString uuid;
    QString name;
    QString folderType;
    QString direction;
    qint64 sortOrder = 0;
};

} // namespace quillmere::test
