#pragma once

#include "Engine/SyncPriority.h"
#include "Model/SyncRule.h"

#include <QList>
#include <QSet>
#include <QString>

namespace quillmere {

// A copy of one SyncRule, taken on the main thread, that the rules engine evaluates without
// touching the store.
struct RuleSnapshot
{
    bool isEnabled = true;
    // Carried, but the result does not depend on the order of the rules.
    qint64 sortOrder = 0;
    SyncRuleConditionType conditionType = SyncRuleConditionType::appRunning;
    // The application the condition tests, as the rule names it.
    QString conditionValue;
    // "*" or empty: every location; otherwise a folder, which covers itself and the paths below it.
    QString actionLocation;
    SyncRulePriority actionPriority = SyncRulePriority::high;

    bool operator==(const RuleSnapshot &) const = default;
};

// Decides a folder's sync priority from the rules and the running applications that guard
// it. One instance, without state, is shared by the engine and every lane; evaluating is a
// plain call on the main thread.
class RulesEngine
{
public:
    // The least eager priority among the enabled rules whose condition holds and whose location
    // covers `location` (a folder's path, or "*" for a folder without one); high when no rule
    // applies. appRunning holds when `runningApps` contains the condition's value exactly,
    // appNotRunning when it does not; timeWindow never holds.
    SyncPriority evaluate(const QString &location, const QList<RuleSnapshot> &rules,
                          const QSet<QString> &runningApps) const;

    // Whether a rule's location covers a location: "*" and empty cover every location; a
    // folder covers itself and the paths below it ("/Music" covers "/Music/Projects", not
    // "/MusicOld").
    static bool locationMatches(const QString &actionLocation, const QString &location);
};

} // namespace quillmere
