#include "Engine/RulesEngine.h"

#include <QDir>

#include <algorithm>

namespace quillmere {

namespace {

bool conditionHolds(const RuleSnapshot &rule, const QSet<QString> &runningApps)
{
    switch (rule.conditionType) {
    case SyncRuleConditionType::appRunning:
        return runningApps.contains(rule.conditionValue);
    case SyncRuleConditionType::appNotRunning:
        return !runningApps.contains(rule.conditionValue);
    case SyncRuleConditionType::timeWindow:
        return false;
    }
    return false;
}

} // namespace

bool RulesEngine::locationMatches(const QString &actionLocation, const QString &location)
{
    if (actionLocation.isEmpty() || actionLocation == u"*")
        return true;
    // A plain string prefix would let "/Music" cover the unrelated "/MusicOld": compare whole
    // path components.
    const QString folder = QDir::cleanPath(actionLocation);
    const QString here = QDir::cleanPath(location);
    if (here == folder)
        return true;
    return here.startsWith(folder.endsWith(u'/') ? folder : folder + u'/');
}

SyncPriority RulesEngine::evaluate(const QString &location, const QList<RuleSnapshot> &rules,
                                   const QSet<QString> &runningApps) const
{
    std::optional<SyncPriority> result;
    for (const RuleSnapshot &rule : rules) {
        if (!rule.isEnabled || !conditionHolds(rule, runningApps) ||
            !locationMatches(rule.actionLocation, location))
            continue;
        const SyncPriority priority = toSyncPriority(rule.actionPriority);
        result = result ? std::min(*result, priority) : priority;
    }
    return result.value_or(SyncPriority::high);
}

} // namespace quillmere
