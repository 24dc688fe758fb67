#include "FuzzSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace quillmere::fuzz {

namespace {

std::unique_ptr<QTemporaryDir> &scratch()
{
    static std::unique_ptr<QTemporaryDir> dir;
    return dir;
}

} // namespace

void initialise(int *argc, char ***argv)
{
    static QCoreApplication *application = nullptr;
    if (application)
        return;
    application = new QCoreApplication(*argc, *argv);
    scratch() = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/quillmere-fuzz-XXXXXX"));
    if (!scratch()->isValid())
        fail("a scratch folder can be made");
    const QString config = scratch()->filePath(QStringLiteral("config"));
    const QString cache = scratch()->filePath(QStringLiteral("cache"));
    QDir().mkpath(config);
    QDir().mkpath(cache);
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache));
    // The scratch folder goes when the fuzzer exits normally (it calls exit()).
    std::atexit([] { scratch().reset(); });
}

QString scratchFolder()
{
    return scratch() ? scratch()->path() : QString();
}

void fail(const char *property, const QString &detail)
{
    std::fprintf(stderr, "\n*** property failed: %s\n", property);
    if (!detail.isEmpty())
        std::fprintf(stderr, "*** %s\n", detail.toUtf8().constData());
    std::fflush(stderr);
    std::abort();
}

void unexpected(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &e) {
        fail("no exception but the reader's own errors",
             QStringLiteral("%1: %2").arg(QString::fromLatin1(typeid(e).name()), QString::fromUtf8(e.what())));
    } catch (...) {
        fail("no exception but the reader's own errors", QStringLiteral("(not a std::exception)"));
    }
}

bool isJson(const QByteArray &body)
{
    QJsonParseError error{};
    QJsonDocument::fromJson(body, &error);
    return error.error == QJsonParseError::NoError;
}

} // namespace quillmere::fuzz
