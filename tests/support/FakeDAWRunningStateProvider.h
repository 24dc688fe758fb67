#pragma once

#include "Engine/DAWRunningStateProvider.h"

#include <QSet>
#include <QString>

namespace quillmere::test {

// Answers every folder with `result` as the running guards' names: a test decides what runs.
class FakeDAWRunningStateProvider final : public DAWRunningStateProvider
{
public:
    RunningGuards runningGuards(const SyncFolder &, ModelContext &) override
    {
        RunningGuards guards;
        guards.names = result;
        return guards;
    }

    QSet<QString> result;
};

} // namespace quillmere::test
