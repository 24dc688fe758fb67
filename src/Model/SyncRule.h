#pragma once

#include "Model/FetchDescriptor.h"
#include "Model/FieldMacros.h"
#include "Model/RecordOf.h"

namespace quillmere {

class DAWConfiguration;

enum class SyncRuleConditionType { appRunning, appNotRunning, timeWindow };
enum class SyncRulePriority { high, balanced, low, none };

template<>
struct EnumStrings<SyncRuleConditionType>
{
    using E = SyncRuleConditionType;
    static constexpr std::array<std::pair<E, const char *>, 3> table{{
        {E::appRunning, "app_running"},
        {E::appNotRunning, "app_not_running"},
        {E::timeWindow, "time_window"},
    }};
    // A condition that never holds is the harmless reading of a damaged value.
    static constexpr E fallback = E::timeWindow;
};

template<>
struct EnumStrings<SyncRulePriority>
{
    using E = SyncRulePriority;
    static constexpr std::array<std::pair<E, const char *>, 4> table{{
        {E::high, "high"},
        {E::balanced, "balanced"},
        {E::low, "low"},
        {E::none, "none_priority"},
    }};
    static constexpr E fallback = E::high;
};

struct SyncRuleData
{
    QString name;
    bool isEnabled = true;
    qint64 sortOrder = 0;
    SyncRuleConditionType conditionType = SyncRuleConditionType::appRunning;
    QString conditionValue;
    QString actionLocation;
    SyncRulePriority actionPriority = SyncRulePriority::high;
    // The owning profile as a handle once resolved, else its row id as loaded.
    std::shared_ptr<DAWConfiguration> daw;
    qint64 dawPk = 0;
};

// One rule of an application profile: when its condition holds, a location is synced at
// the rule's priority.
class SyncRule : public RecordOf<SyncRule, SyncRuleData>
{
public:
    using Data = SyncRuleData;
    using RuleConditionType = SyncRuleConditionType;
    using RulePriority = SyncRulePriority;

    enum class Field {
        name,
        isEnabled,
        sortOrder,
        conditionType,
        conditionValue,
        actionLocation,
        actionPriority,
        dawConfiguration,
    };
    static constexpr int typeIndex = 1;

    SyncRule(QString name, bool isEnabled, qint64 sortOrder, RuleConditionType conditionType,
             QString conditionValue, QString actionLocation, RulePriority actionPriority);
    SyncRule() = default;

    static const TableLayout<Data> &layout();

    // Rules in evaluation order.
    static FetchDescriptor<SyncRule> sortedByOrder();

    QUILLMERE_FIELD(QString, name, setName)
    QUILLMERE_FIELD(bool, isEnabled, setIsEnabled)
    QUILLMERE_FIELD(qint64, sortOrder, setSortOrder)
    QUILLMERE_FIELD(RuleConditionType, conditionType, setConditionType)
    QUILLMERE_FIELD(QString, conditionValue, setConditionValue)
    QUILLMERE_FIELD(QString, actionLocation, setActionLocation)
    QUILLMERE_FIELD(RulePriority, actionPriority, setActionPriority)

    // The owning profile; setting it attaches the rule to that profile's rules.
    std::shared_ptr<DAWConfiguration> dawConfiguration() const;
    void setDawConfiguration(std::shared_ptr<DAWConfiguration> value);
};

} // namespace quillmere
