#include "Engine/RulesEngine.h"
#include "Engine/SyncPriority.h"

#include <gtest/gtest.h>

using namespace quillmere;

namespace {

using Condition = SyncRuleConditionType;
using Rule = SyncRulePriority;

RuleSnapshot rule(Condition condition, const char *value, const char *location, Rule priority, bool enabled = true)
{
    return RuleSnapshot{enabled, 0, condition, QString::fromUtf8(value), QString::fromUtf8(location), priority};
}

TEST(SyncPriority, OrdersByRawValueAndConvertsByCase)
{
    EXPECT_TRUE(SyncPriority::none < SyncPriority::low && SyncPriority::low < SyncPriority::balanced
                && SyncPriority::balanced < SyncPriority::high);
    const std::pair<SyncPriority, SyncRulePriority> cases[] = {{SyncPriority::high, SyncRulePriority::high},
                                                               {SyncPriority::balanced, SyncRulePriority::balanced},
                                                               {SyncPriority::low, SyncRulePriority::low},
                                                               {SyncPriority::none, SyncRulePriority::none}};
    for (const auto &[priority, stored] : cases) {
        EXPECT_EQ(toSyncPriority(stored), priority);
        EXPECT_EQ(toRulePriority(priority), stored);
        EXPECT_EQ(syncPriorityFromRawValue(rawValue(priority)), priority);
    }
    EXPECT_EQ(rawValue(SyncPriority::high), 3);
    EXPECT_EQ(syncPriorityFromRawValue(0), SyncPriority::none);
    EXPECT_EQ(syncPriorityFromRawValue(-1), std::nullopt);
    EXPECT_EQ(syncPriorityFromRawValue(4), std::nullopt);
}

TEST(RulesEngine, TheLeastEagerApplyingRuleDecides)
{
    const RulesEngine engine;
    const QSet<QString> studio{QStringLiteral("Studio")};
    const QSet<QString> nothing;
    struct Case
    {
        const char *what;
        QList<RuleSnapshot> rules;
        QSet<QString> running;
        SyncPriority expected;
        const char *location = "/home/a/Music/Projects";
    };
    const QList<Case> cases{
        {"no rules", {}, studio, SyncPriority::high},
        {"app running", {rule(Condition::appRunning, "Studio", "*", Rule::low)}, studio, SyncPriority::low},
        {"app not running", {rule(Condition::appRunning, "Studio", "*", Rule::low)}, nothing, SyncPriority::high},
        {"names compare exactly",
         {rule(Condition::appRunning, "Studio", "*", Rule::low), rule(Condition::appRunning, "studio", "*", Rule::none)},
         {QStringLiteral("Studio X")}, SyncPriority::high},
        {"not-running rule, nothing runs", {rule(Condition::appNotRunning, "Studio", "*", Rule::low)}, nothing,
         SyncPriority::low},
        {"not-running rule, it runs", {rule(Condition::appNotRunning, "Studio", "*", Rule::low)}, studio,
         SyncPriority::high},
        {"time window never holds",
         {rule(Condition::timeWindow, "Studio", "*", Rule::none), rule(Condition::timeWindow, "", "", Rule::none)},
         studio, SyncPriority::high},
        {"disabled rule",
         {rule(Condition::appRunning, "Studio", "*", Rule::none, false),
          rule(Condition::appRunning, "Studio", "", Rule::balanced)},
         studio, SyncPriority::balanced},
        {"one none outweighs any number of high",
         {rule(Condition::appRunning, "Studio", "*", Rule::high), rule(Condition::appNotRunning, "Mixer", "*", Rule::none),
          rule(Condition::appRunning, "Studio", "/home/a/Music", Rule::high)},
         studio, SyncPriority::none},
        {"its own folder and one above",
         {rule(Condition::appRunning, "Studio", "/home/a/Music/Projects", Rule::balanced),
          rule(Condition::appRunning, "Studio", "/home/a/Music/", Rule::low)},
         studio, SyncPriority::low},
        {"a sibling sharing the prefix, a folder below, another case",
         {rule(Condition::appRunning, "Studio", "/home/a/Music/Proj", Rule::none),
          rule(Condition::appRunning, "Studio", "/home/a/Music/Projects/Old", Rule::none),
          rule(Condition::appRunning, "Studio", "/home/a/music", Rule::none)},
         studio, SyncPriority::high},
        {"a folder without a path is at \"*\"",
         {rule(Condition::appRunning, "Studio", "/home/a/Music", Rule::none),
          rule(Condition::appRunning, "Studio", "*", Rule::balanced)},
         studio, SyncPriority::balanced, "*"},
        {"/Music does not cover /MusicOld",
         {rule(Condition::appRunning, "Studio", "/home/a/Music", Rule::none),
          rule(Condition::appRunning, "Studio", "/", Rule::low)},
         studio, SyncPriority::low, "/home/a/MusicOld"},
    };
    for (const Case &c : cases) {
        const QString location = QString::fromUtf8(c.location);
        EXPECT_EQ(engine.evaluate(location, c.rules, c.running), c.expected) << c.what;
        const QList<RuleSnapshot> reversed(c.rules.crbegin(), c.rules.crend());
        EXPECT_EQ(engine.evaluate(location, reversed, c.running), c.expected) << c.what << " (reversed)";
    }
}

} // namespace
