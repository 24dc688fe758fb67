// The strict whole-number reader: any JSON value reads as the 64-bit whole number it is, or as
// none; a fraction, a string, a number out of range never reads as a number.
#include "FuzzSupport.h"

#include "Platform/Http/Json.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>

using namespace quillmere;
using namespace quillmere::fuzz;

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initialise(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray text = bytesOf(data, size);
    const QJsonDocument document = QJsonDocument::fromJson("[" + text + "]");
    if (!document.isArray() || document.array().size() != 1)
        return 0;
    const QJsonValue value = document.array().at(0);
    const auto read = json::wholeNumber(value);
    // The same value as an object member goes through the optional and required readers.
    const QJsonObject object{{QStringLiteral("n"), value}};
    check(json::optionalInteger(object, QStringLiteral("n")) == read, "the member reader agrees");
    try {
        const qint64 required = json::requiredInteger(object, QStringLiteral("n"));
        check(read && required == *read, "the required reader agrees");
    } catch (const json::JsonError &) {
        check(!read, "the required reader refuses only what is no whole number");
    } catch (...) {
        unexpected(std::current_exception());
    }

    if (!value.isDouble()) {
        check(!read, "only a JSON number reads as a number");
        return 0;
    }
    // What JSON holds is a double (or Qt's exact integer): a whole one within 64 bits reads as
    // itself, anything else as none.
    const double number = value.toDouble();
    const bool whole = std::isfinite(number) && std::trunc(number) == number;
    if (!whole || std::fabs(number) > 0x1p63)
        check(!read, "a fraction or a number beyond 64 bits never reads", QString::number(number, 'g', 17));
    else if (std::fabs(number) < 0x1p63)
        check(read && double(*read) == number, "a whole number within 64 bits reads", QString::number(number, 'g', 17));
    // An integer as written, within a double's exact range, reads exactly.
    const QByteArray literal = text.trimmed();
    const bool integer = !literal.isEmpty() && literal.size() <= 16
        && std::all_of(literal.cbegin() + (literal.startsWith('-') ? 1 : 0), literal.cend(),
                       [](char c) { return c >= '0' && c <= '9'; });
    if (integer)
        check(read && *read == literal.toLongLong(), "a written integer reads exactly", QString::fromLatin1(literal));
    return 0;
}
