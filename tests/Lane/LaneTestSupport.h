#pragma once

#include "ActivityLog/SyncLogger.h"
#include "support/TestSupport.h"
#include "support/lane/LaneHarness.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

namespace quillmere::test {

class LaneTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SyncLogger::shared().clear();
        inotifyBefore = LaneHarness::inotifyInstances();
    }

    // The details of every activity-log line so far, oldest first.
    static QStringList logDetails()
    {
        QStringList details;
        for (const auto &entry : SyncLogger::shared().entries())
            details.append(entry.detail.value_or(QString()));
        return details;
    }

    std::vector<LoggedRequest> registrations() const { return h.fake.requestsTo("POST", "/api/v1/sync-folders"); }

    static QJsonObject bodyOf(const LoggedRequest &request)
    {
        return QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object();
    }

    // What the store holds for the folder record (not the lane's unsaved view).
    std::shared_ptr<SyncFolder> storedFolder(const QUuid &id)
    {
        reader = std::make_unique<ModelContext>(h.container);
        return reader->fetchFirst(SyncFolder::withStableID(id));
    }

    LaneHarness h;
    int inotifyBefore = 0;
    std::unique_ptr<ModelContext> reader;
};

} // namespace quillmere::test
