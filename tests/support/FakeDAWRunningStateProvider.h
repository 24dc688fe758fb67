#pragma once

#include "Engine/DAWRunningStateProvider.h"
#include "Model/SyncFolder.h"

#include <QSet>
#include <QString>
#include <QUuid>

#include <algorithm>
#include <map>

namespace quillmere::test {

// Answers every folder with `result` as the running guards' names (and, sorted, as the names
// of their profiles), or a folder listed in `byFolder` with its own: a test decides what runs.
class FakeDAWRunningStateProvider final : public DAWRunningStateProvider
{
public:
    RunningGuards runningGuards(const SyncFolder &folder, ModelContext &) override
    {
        RunningGuards guards;
        const auto own = byFolder.find(folder.stableID());
        guards.names = own != byFolder.end() ? own->second : result;
        guards.profileNames = QStringList(guards.names.cbegin(), guards.names.cend());
        std::sort(guards.profileNames.begin(), guards.profileNames.end());
        guards.assumed = assumed;
        return guards;
    }

    QSet<QString> result;
    std::map<QUuid, QSet<QString>> byFolder;
    // The process list cannot tell: the names are only what would guard.
    bool assumed = false;
};

} // namespace quillmere::test
