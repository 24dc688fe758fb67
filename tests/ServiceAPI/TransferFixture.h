#pragma once

#include "Accounts/KeychainHelper.h"
#include "Accounts/KeychainVault.h"
#include "support/TemporaryConfigHome.h"
#include "Accounts/TokenManager.h"
#include "Platform/Async/ManualClock.h"
#include "Platform/Secrets/InMemorySecretBackend.h"
#include "ServiceAPI/HarborlyAPI.h"
#include "ServiceAPI/LibraryAPIClient.h"
#include "fake-service/FakeHarborly.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>

namespace quillmere::test {

// Points an XDG-style variable (or TMPDIR) at a fresh folder for the life of the object.
class TemporaryEnvironmentFolder
{
public:
    explicit TemporaryEnvironmentFolder(const char *name)
        : m_name(name), m_previous(qgetenv(name)), m_hadPrevious(qEnvironmentVariableIsSet(name))
    {
        qputenv(name, m_dir.path().toUtf8());
    }
    ~TemporaryEnvironmentFolder()
    {
        if (m_hadPrevious)
            qputenv(m_name, m_previous);
        else
            qunsetenv(m_name);
    }
    QString path() const { return m_dir.path(); }

private:
    const char *m_name;
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious;
};

// A library client signed in to a running fake service, with its own caches, temporary and
// configuration folders and a manual clock for the part retries.
class TransferFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fake.start();
        account = fake.addAccount();
        const QUrl base = fake.baseURL();
        tokens = std::make_shared<TokenManager>(vault, KeychainVault::bearerTokenKey(), [base] { return base; });
        await(tokens->saveToken(fake.issueToken(account), QDateTime::currentDateTimeUtc().addDays(30)));
        client = std::make_unique<LibraryAPIClient>(std::make_shared<HarborlyAPI>(tokens, clock));
    }

    QString writeFile(const QString &name, const QByteArray &content)
    {
        const QString path = files.filePath(name);
        quillmere::test::writeFile(path, content);
        return path;
    }

    static QByteArray pattern(qint64 size)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        for (qint64 i = 0; i < size; ++i)
            bytes[i] = char((i * 2654435761u) >> 13);
        return bytes;
    }

    static QString sha256(const QByteArray &bytes)
    {
        return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    }

    static QStringList entriesOf(const QString &folder)
    {
        return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    // Runs the task to its end, moving the manual clock past every part retry pause.
    void finishAdvancingClock(QCoro::Task<> task)
    {
        bool done = false;
        std::exception_ptr error;
        auto running = detail::captureVoid(std::move(task), error, done);
        for (int turns = 0; !done && turns < 2000; ++turns) {
            runUntil([&] { return done || clock.pendingSleepers() > 0; }, std::chrono::seconds(10));
            if (clock.pendingSleepers() > 0)
                clock.advance(std::chrono::seconds(4));
        }
        ASSERT_TRUE(done);
        if (error)
            std::rethrow_exception(error);
    }

    TemporaryConfigHome configHome;
    TemporaryEnvironmentFolder cacheHome{"XDG_CACHE_HOME"};
    QTemporaryDir files;
    TemporaryEnvironmentFolder temporaryFolder{"TMPDIR"};
    InMemorySecretBackend backend;
    KeychainVault vault{KeychainHelper(backend), [](const QString &) {}};
    FakeHarborly fake;
    qint64 account = 0;
    std::shared_ptr<TokenManager> tokens;
    ManualClock clock;
    std::unique_ptr<LibraryAPIClient> client;
};

} // namespace quillmere::test
