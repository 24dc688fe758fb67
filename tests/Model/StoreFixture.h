#pragma once

#include "Model/ModelContainer.h"
#include "Model/ModelContainerFactory.h"
#include "Model/ModelContext.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace quillmere::test {

// A fresh store in a temporary folder.
class StoreFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        storePath = dir.filePath(QStringLiteral("Quillmere.sqlite"));
        container = ModelContainerFactory::makeContainer(storePath);
    }

    // Runs SQL on the container's connection and returns the first column of the first row.
    qint64 scalar(const QString &sql)
    {
        auto stmt = container->prepare(sql, StoreError::Kind::fetchFailed, false);
        return stmt.step() ? stmt.integer(0) : -1;
    }

    QTemporaryDir dir;
    QString storePath;
    std::shared_ptr<ModelContainer> container;
};

} // namespace quillmere::test
