#include "Model/SyncRule.h"

#include "Model/DAWConfiguration.h"
#include "Model/ModelContext.h"

namespace quillmere {

SyncRule::SyncRule(QString name, bool isEnabled, qint64 sortOrder, RuleConditionType conditionType,
                   QString conditionValue, QString actionLocation, RulePriority actionPriority)
    : RecordOf(Data{std::move(name), isEnabled, sortOrder, conditionType, std::move(conditionValue),
                    std::move(actionLocation), actionPriority, nullptr, 0})
{
}

const TableLayout<SyncRuleData> &SyncRule::layout()
{
    using D = Data;
    static const TableLayout<D> s(
        QStringLiteral("SyncRule"), typeIndex,
        {
            column<&D::name, D>("name", "TEXT NOT NULL"),
            column<&D::isEnabled, D>("isEnabled", "INTEGER NOT NULL"),
            column<&D::sortOrder, D>("sortOrder", "INTEGER NOT NULL"),
            column<&D::conditionType, D>("conditionType", "TEXT NOT NULL"),
            column<&D::conditionValue, D>("conditionValue", "TEXT NOT NULL"),
            column<&D::actionLocation, D>("actionLocation", "TEXT NOT NULL"),
            column<&D::actionPriority, D>("actionPriority", "TEXT NOT NULL"),
            ColumnLayout<D>{
                QStringLiteral("dawConfiguration"),
                QStringLiteral("INTEGER REFERENCES DAWConfiguration(pk) ON DELETE CASCADE"),
                [](const D &d, const PkResolver *resolver) -> SqlValue {
                    if (d.daw) {
                        const qint64 pk = resolver ? resolver->pkOf(d.daw.get()) : d.daw->persistentID();
                        return pk ? SqlValue(pk) : SqlValue();
                    }
                    return d.dawPk ? SqlValue(d.dawPk) : SqlValue();
                },
                [](D &d, const SqlValue &v) {
                    d.daw.reset();
                    d.dawPk = 0;
                    sql::decode(v, d.dawPk);
                },
            },
        },
        {QStringLiteral("CREATE INDEX SyncRule_dawConfiguration ON SyncRule(dawConfiguration)")}, QString(),
        [] { return std::static_pointer_cast<Record>(std::make_shared<SyncRule>()); });
    return s;
}

FetchDescriptor<SyncRule> SyncRule::sortedByOrder()
{
    FetchDescriptor<SyncRule> d;
    d.sortBy(Field::sortOrder);
    return d;
}

std::shared_ptr<DAWConfiguration> SyncRule::dawConfiguration() const
{
    auto &d = const_cast<Data &>(m_d);
    if (!d.daw && d.dawPk && context())
        d.daw = context()->object<DAWConfiguration>(d.dawPk);
    if (d.daw && d.daw->isDeleted())
        return nullptr;
    return d.daw;
}

void SyncRule::setDawConfiguration(std::shared_ptr<DAWConfiguration> value)
{
    dawConfiguration(); // resolves the current value so that the snapshot holds it
    if (write(int(Field::dawConfiguration), &Data::daw, value)) {
        m_d.dawPk = value ? value->persistentID() : 0;
        if (context() && value)
            context()->adopt(value);
    }
}

} // namespace quillmere
