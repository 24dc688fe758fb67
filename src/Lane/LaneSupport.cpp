#include "Lane/LaneSupport.h"

#include <QFile>
#include <QStringList>

#include <dirent.h>

#include <algorithm>

#include "Platform/Async/CancelledError.h"
#include "Platform/Http/TransportError.h"
#include "ServiceAPI/HarborlyAPIError.h"

namespace quillmere::lane {

Q_LOGGING_CATEGORY(laneLog, "app.quillmere.Quillmere.SyncLane")

void logLine(SyncLogger::Event event, const QString &detail)
{
    SyncLogger::shared().log(event, SyncLogger::Direction::none, QString(), detail);
}

namespace {

// A name as a drive that ignores case and Unicode normalisation sees it.
QString foldedName(const QString &name)
{
    return name.normalized(QString::NormalizationForm_D).toCaseFolded().normalized(QString::NormalizationForm_C);
}

bool isAscii(QByteArrayView bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

} // namespace

// Blocking. The entry of the path's folder whose name differs from the path's own only in case
// or Unicode normalisation, when the folder holds no entry of exactly that name: on a drive
// that ignores the difference (exFAT, for one) that entry is the very file a download to the
// path would replace. Nothing when the folder cannot be read (nothing is created there then).
std::optional<QString> nameTwin(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    const qsizetype slash = native.lastIndexOf('/');
    const QByteArray folder = slash <= 0 ? QByteArray("/") : native.left(slash);
    const QByteArray name = native.mid(slash + 1);
    DIR *listing = ::opendir(folder.constData());
    if (!listing)
        return std::nullopt;
    // A folder of many files is listed once per download: names in ASCII (most of them)
    // are compared without building strings.
    const bool asciiName = isAscii(name);
    const QString folded = foldedName(QFile::decodeName(name));
    std::optional<QString> twin;
    bool exact = false;
    while (const dirent *entry = ::readdir(listing)) {
        const QByteArrayView entryName(entry->d_name);
        if (entryName == name) {
            exact = true;
            break;
        }
        if (twin || entryName == "." || entryName == "..")
            continue;
        if (asciiName && isAscii(entryName)) {
            if (entryName.size() == name.size() && qstrnicmp(entryName.data(), name.constData(), size_t(name.size())) == 0)
                twin = QFile::decodeName(entryName.toByteArray());
        } else if (foldedName(QFile::decodeName(entryName.toByteArray())) == folded) {
            twin = QFile::decodeName(entryName.toByteArray());
        }
    }
    ::closedir(listing);
    return exact ? std::nullopt : twin;
}

bool sameText(const QString &a, const QString &b)
{
    return a.normalized(QString::NormalizationForm_C) == b.normalized(QString::NormalizationForm_C);
}

QString entryPath(const std::optional<QString> &drivePath, const QString &filename)
{
    QStringList parts;
    for (const QString &part : drivePath.value_or(QString()).split(u'/'))
        if (!part.isEmpty() && part != QLatin1String("."))
            parts.append(part);
    parts.append(filename);
    return parts.join(u'/');
}

bool isCancellation(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const CancelledError &) {
        return true;
    } catch (const HarborlyAPIError &apiError) {
        return apiError.isCancellation();
    } catch (const TransportError &transportError) {
        return transportError.isCancellation();
    } catch (...) {
        // Any other failure is a failure, not a stop.
    }
    return false;
}


std::optional<QString> lowerChecksum(const std::optional<QString> &checksum)
{
    if (!checksum || checksum->isEmpty())
        return std::nullopt;
    return checksum->toLower();
}

} // namespace quillmere::lane
