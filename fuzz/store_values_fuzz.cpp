// The store's column decoders on whatever a damaged or foreign store holds: every field type
// reads any column value without undefined behaviour; an enumeration reads as one of its
// cases (its fallback for an unknown text, none for an optional one); what was read writes
// back and reads again as the same value; the column order is antisymmetric.
#include "FuzzInput.h"
#include "FuzzSupport.h"

#include "Model/SqlValue.h"
#include "Model/SyncFile.h"
#include "Model/SyncFolder.h"
#include "Model/SyncRule.h"

#include <algorithm>

using namespace quillmere;
using namespace quillmere::fuzz;

namespace {

SqlValue valueFrom(FuzzInput &input)
{
    switch (input.consumeIntegralInRange<int>(0, 5)) {
    case 0:
        return SqlValue();
    case 1:
        return input.consumeIntegral<qint64>();
    case 2:
        return input.consumeFloatingPoint<double>();
    case 3:
        return QString::fromUtf8(QByteArray::fromStdString(input.consumeRandomLengthString(256)));
    case 4: {
        // Any UTF-16, as a store written by another program may hold.
        const std::string raw = input.consumeRandomLengthString(256);
        return QString(reinterpret_cast<const QChar *>(raw.data()), qsizetype(raw.size() / 2));
    }
    default:
        return QByteArray::fromStdString(input.consumeRandomLengthString(256));
    }
}

template<typename E>
void checkEnum(const SqlValue &value)
{
    E read{};
    sql::decode(value, read);
    const auto cases = allCases<E>();
    check(std::find(cases.begin(), cases.end(), read) != cases.end(), "an enumeration reads as one of its cases");
    const QString *text = std::get_if<QString>(&value);
    const auto named = text ? fromRawValue<E>(*text) : std::nullopt;
    check(read == (named ? *named : EnumStrings<E>::fallback), "a known text reads as its case, anything else as the fallback");
    E again{};
    sql::decode(sql::encode(read), again);
    check(again == read, "an enumeration writes back as it was read");

    std::optional<E> optional;
    sql::decode(value, optional);
    check(optional == named, "an optional enumeration reads a known text as its case, anything else as none");
}

template<typename T>
void checkRoundTrip(const SqlValue &value, const char *property)
{
    T read{};
    sql::decode(value, read);
    T again{};
    sql::decode(sql::encode(read), again);
    check(again == read, property);
    std::optional<T> optional;
    sql::decode(value, optional);
    check(optional.has_value() != std::holds_alternative<std::monostate>(value), "an optional field is absent only for NULL");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initialise(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    const SqlValue value = valueFrom(input);
    const SqlValue other = valueFrom(input);

    checkRoundTrip<QString>(value, "a text writes back as it was read");
    checkRoundTrip<qint64>(value, "an integer writes back as it was read");
    checkRoundTrip<bool>(value, "a flag writes back as it was read");
    checkRoundTrip<QByteArray>(value, "bytes write back as they were read");
    checkRoundTrip<QDateTime>(value, "a date writes back as it was read");
    checkRoundTrip<QUuid>(value, "an identifier writes back as it was read");
    checkRoundTrip<QStringList>(value, "a list writes back as it was read");
    if (const double *number = std::get_if<double>(&value); number && std::isfinite(*number)
        && std::fabs(*number) < 9.2e18) {
        qint64 read = 0;
        sql::decode(value, read);
        check(read == qint64(*number), "a real in range reads as its whole part");
    }

    checkEnum<SyncFileDirection>(value);
    checkEnum<SyncFileStatus>(value);
    checkEnum<SyncFileDesiredState>(value);
    checkEnum<SyncFolderType>(value);
    checkEnum<SyncFolderSyncMode>(value);
    checkEnum<SyncRuleConditionType>(value);
    checkEnum<SyncRulePriority>(value);

    check(compareSqlValues(value, value) == 0 || std::holds_alternative<double>(value),
          "a value orders equal to itself");
    check(compareSqlValues(value, other) == -compareSqlValues(other, value), "the column order is antisymmetric");
    return 0;
}
