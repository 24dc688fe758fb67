// The strict internet-date reader, against a reference written from its rules: exactly
// "yyyy-MM-ddTHH:mm:ss" and "Z" or "+hh:mm"/"-hh:mm", a real calendar date and time, an instant
// in years 1 to 9999 UTC, read as that instant, which formats back to a date the reader takes.
#include "FuzzSupport.h"

#include "Platform/Http/InternetDate.h"

#include <QDate>

#include <optional>

using namespace quillmere;
using namespace quillmere::fuzz;

namespace {

std::optional<int> digitsAt(const QString &text, int at, int count)
{
    int value = 0;
    for (int i = at; i < at + count; ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c - u'0');
    }
    return value;
}

// Days from 1970-01-01 to the proleptic Gregorian date (y, m, d).
qint64 daysFromCivil(qint64 y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + qint64(doe) - 719468;
}

// Seconds since the epoch of a text the reader must take; none when it must refuse it.
std::optional<qint64> reference(const QString &text)
{
    if (text.size() != 20 && text.size() != 25)
        return std::nullopt;
    const auto at = [&](int i, char16_t c) { return text[i].unicode() == c; };
    if (!at(4, u'-') || !at(7, u'-') || !at(10, u'T') || !at(13, u':') || !at(16, u':'))
        return std::nullopt;
    const auto year = digitsAt(text, 0, 4), month = digitsAt(text, 5, 2), day = digitsAt(text, 8, 2);
    const auto hour = digitsAt(text, 11, 2), minute = digitsAt(text, 14, 2), second = digitsAt(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second)
        return std::nullopt;
    if (*year < 1 || !QDate::isValid(*year, *month, *day) || *hour > 23 || *minute > 59 || *second > 59)
        return std::nullopt;
    qint64 offset = 0;
    if (text.size() == 20) {
        if (!at(19, u'Z'))
            return std::nullopt;
    } else {
        if ((!at(19, u'+') && !at(19, u'-')) || !at(22, u':'))
            return std::nullopt;
        const auto hours = digitsAt(text, 20, 2), minutes = digitsAt(text, 23, 2);
        if (!hours || !minutes || *hours > 23 || *minutes > 59)
            return std::nullopt;
        offset = (*hours * 3600 + *minutes * 60) * (at(19, u'-') ? -1 : 1);
    }
    const qint64 instant = daysFromCivil(*year, unsigned(*month), unsigned(*day)) * 86400 + *hour * 3600
        + *minute * 60 + *second - offset;
    // Only instants that write back as a strict date: years 1 to 9999 in UTC.
    if (instant < daysFromCivil(1, 1, 1) * 86400 || instant > daysFromCivil(9999, 12, 31) * 86400 + 86399)
        return std::nullopt;
    return instant;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initialise(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The first byte chooses how the rest becomes text: UTF-8 as a reply carries it, or raw
    // UTF-16 (any code unit, lone surrogates included, as a JSON escape can make).
    if (size < 1)
        return 0;
    QString text;
    if (data[0] & 1)
        text = QString(reinterpret_cast<const QChar *>(data + 1), qsizetype((size - 1) / 2));
    else
        text = QString::fromUtf8(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));

    const auto read = parseInternetDate(text);
    const auto expected = reference(text);
    check(read.has_value() == expected.has_value(), "the reader takes exactly the strict dates", text);
    if (!read)
        return 0;
    check(read->isValid() && read->timeSpec() == Qt::UTC, "a read date is a valid UTC time", text);
    check(read->toSecsSinceEpoch() == *expected, "a read date names the instant its text gives", text);
    const QString formatted = formatInternetDate(*read);
    const auto again = parseInternetDate(formatted);
    check(again && *again == *read, "a read date formats to a text that reads back to it",
          text + QStringLiteral(" -> ") + formatted);
    if (text.endsWith(u'Z'))
        check(formatted == text, "a UTC text formats back to itself", text);
    return 0;
}
