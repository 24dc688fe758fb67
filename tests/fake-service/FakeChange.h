#pragma once

#include "fake-service/FakeLibraryFile.h"

#include <QDateTime>
#include <QString>

namespace quillmere::test {

// One entry of the change feed: the file as it was when the change happened.
struct FakeChange
{
    qint64 sequence = 0;
    QString action; // "created", "updated" or "deleted"
    FakeLibraryFile file;
    QDateTime deletedAt;
    QDateTime recordedAt; // UTC, when the change happened
};

} // namespace quillmere::test
