#pragma once

#include <QSet>
#include <QString>

namespace quillmere {

class ModelContext;
class SyncFolder;

// Tells a lane which running applications guard its folder.
class DAWRunningStateProvider
{
public:
    virtual ~DAWRunningStateProvider() = default;
    // The display names of the running applications that guard the folder.
    virtual QSet<QString> runningDAWs(const SyncFolder &folder, ModelContext &context) = 0;
};

} // namespace quillmere
