// The strict whole-number reader: any JSON value reads as the 64-bit whole number it is, or as
// none; a fraction, a string, a number out of range never reads as a number.
#include "FuzzSupport.h"

#include "Platform/Http/Json.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>
#include <cstdlib>

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
    // The literal as written, when the whole input is one number.
    const QByteArray literal = text.trimmed();
    char *end = nullptr;
    const long double written = std::strtold(literal.constData(), &end);
    const bool oneNumber = !literal.isEmpty() && end == literal.constData() + literal.size();
    if (read) {
        check(double(*read) == value.toDouble() || value.toDouble() == double(*read),
              "a read number is the JSON number", QString::fromLatin1(literal));
        if (oneNumber)
            check(std::fabs(double(written - (long double)*read)) <= std::max(1.0, std::fabs(double(written)) * 0x1p-52),
                  "a read number is the number written, up to a double's precision", QString::fromLatin1(literal));
    }
    if (oneNumber && std::isfinite(double(written)) && std::fabs(double(written)) < 0x1p52) {
        if (std::truncl(written) == written)
            check(read && (long double)*read == written, "a whole number within 2^52 reads exactly",
                  QString::fromLatin1(literal));
        else
            check(!read, "a fraction never reads as a whole number", QString::fromLatin1(literal));
    }
    if (oneNumber && std::fabs(double(written)) >= 0x1p64)
        check(!read, "a number far beyond 64 bits never reads", QString::fromLatin1(literal));
    return 0;
}
