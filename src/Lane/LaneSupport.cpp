#include "Lane/LaneSupport.h"

#include <QStringList>

#include "Platform/Async/CancelledError.h"
#include "Platform/Http/TransportError.h"
#include "ServiceAPI/HarborlyAPIError.h"

namespace quillmere::lane {

Q_LOGGING_CATEGORY(laneLog, "app.quillmere.Quillmere.SyncLane")

void logLine(SyncLogger::Event event, const QString &detail)
{
    SyncLogger::shared().log(event, SyncLogger::Direction::none, QString(), detail);
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


} // namespace quillmere::lane
