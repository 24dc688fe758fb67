#include "Platform/Http/HttpHeaders.h"
#include "Platform/Http/InternetDate.h"
#include "Platform/Http/Json.h"
#include "Platform/Http/Redirects.h"
#include "Platform/Http/TextDecoding.h"
#include "Platform/Http/TransportError.h"
#include "Platform/Http/UrlBuilding.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

using namespace quillmere;
namespace json = quillmere::json;

namespace {
QJsonObject object(const char *text)
{
    return QJsonDocument::fromJson(text).object();
}
} // namespace

TEST(UrlBuilding, EncodesQueryValuesLiterallyAndJoinsPathsByString)
{
    EXPECT_EQ(percentEncodeQueryComponent(QStringLiteral("a+b c&d=e/f?")), QByteArray("a%2Bb%20c%26d%3De%2Ff%3F"));
    EXPECT_EQ(percentEncodeQueryComponent(QStringLiteral("AZaz09-._~")), QByteArray("AZaz09-._~"));
    EXPECT_EQ(percentEncodeQueryComponent(QStringLiteral("é")), QByteArray("%C3%A9"));

    const QUrl base(QStringLiteral("https://api.example.com/api/v1/files/library?stale=1"));
    const QUrl url = withQueryItems(base, {{QStringLiteral("since"), QStringLiteral("2024-01-01T00:00:00+01:00")},
                                           {QStringLiteral("limit"), QStringLiteral("500")}});
    EXPECT_EQ(url.toEncoded(), QByteArray("https://api.example.com/api/v1/files/library"
                                          "?since=2024-01-01T00%3A00%3A00%2B01%3A00&limit=500"));
    EXPECT_FALSE(withQueryItems(base, {}).hasQuery());

    // The base path and the endpoint are joined by string.
    const QString endpoint = QStringLiteral("/api/v1/storage");
    EXPECT_EQ(appendingPath(QUrl(QStringLiteral("https://h.example")), endpoint).toString(),
              QStringLiteral("https://h.example/api/v1/storage"));
    // QUrl::resolved would drop "shard-3" here.
    EXPECT_EQ(appendingPath(QUrl(QStringLiteral("https://h.example/shard-3")), endpoint).toString(),
              QStringLiteral("https://h.example/shard-3/api/v1/storage"));
    EXPECT_EQ(appendingPath(QUrl(QStringLiteral("https://h.example/shard-3/")), QStringLiteral("api/v1/storage")).toString(),
              QStringLiteral("https://h.example/shard-3/api/v1/storage"));
}

TEST(UrlBuilding, PermitsHttpsAnywhereAndPlainHttpOnlyToLoopback)
{
    for (const char *ok : {"https://api.example.com/x", "http://127.0.0.1:8080/x", "http://127.5.0.1/x",
                           "http://localhost/x", "http://[::1]:99/x"})
        EXPECT_TRUE(isPermittedUrl(QUrl(QString::fromLatin1(ok)))) << ok;
    for (const char *refused : {"http://api.example.com/x", "http://10.0.0.1/x", "file:///etc/passwd",
                                "ftp://127.0.0.1/x", "data:text/plain,hi", "https:///x", "http://localhost.evil.com/x"})
        EXPECT_FALSE(isPermittedUrl(QUrl(QString::fromLatin1(refused)))) << refused;
}

TEST(Redirects, DecideCredentialsMethodAndSchemeByTheRules)
{
    HttpRequest post;
    post.url = QUrl(QStringLiteral("https://api.example.com/a"));
    post.method = "POST";
    post.body = "{}";
    post.headers.set("Authorization", "Bearer t");
    post.headers.set("X-Shard-Id", "s1");
    post.headers.set("Content-Type", "application/json");

    const auto sameHost = redirectedRequest(post, 307, QUrl(QStringLiteral("https://api.example.com:443/b")));
    EXPECT_EQ(sameHost.body, QByteArray("{}"));
    EXPECT_TRUE(sameHost.headers.contains("Authorization")) << "an explicit default port is the same origin";

    // Another port is another origin.
    const auto otherPort = redirectedRequest(post, 308, QUrl(QStringLiteral("https://api.example.com:8443/b")));
    EXPECT_FALSE(otherPort.headers.contains("Authorization"));
    EXPECT_FALSE(otherPort.headers.contains("X-Shard-Id"));

    const auto seeOther = redirectedRequest(post, 303, QUrl(QStringLiteral("https://cdn.example.com/b")));
    EXPECT_EQ(seeOther.method, QByteArray("GET"));
    EXPECT_FALSE(seeOther.hasBody());
    EXPECT_FALSE(seeOther.headers.contains("Content-Type"));

    HttpRequest put = post;
    put.method = "PUT";
    EXPECT_EQ(redirectedRequest(put, 302, QUrl(QStringLiteral("https://api.example.com/c"))).method, QByteArray("PUT"));

    // https→http is refused even to loopback.
    for (const char *target : {"http://api.example.com/a", "http://127.0.0.1/a", "file:///tmp/x"})
        EXPECT_EQ(test::failureCode<TransportError>([&] { redirectedRequest(post, 302, QUrl(QString::fromLatin1(target))); }),
                  TransportError::Code::unsupportedURL) << target;
}

// Qt frames a body by the first Content-Length and joins repeated fields with ", ": a length is
// taken only when every value is the same plain decimal number.
TEST(HttpHeaders, DeclaredLengthIsOnePlainDecimalThatEveryFieldAgreesOn)
{
    const auto lengthOf = [](QList<QByteArray> values) {
        QList<HttpHeaders::Field> fields{{"Content-Type", "text/plain"}};
        for (const QByteArray &value : values)
            fields.append({"content-LENGTH", value});
        return declaredContentLength(HttpHeaders(fields));
    };
    EXPECT_EQ(lengthOf({}), std::nullopt);
    EXPECT_EQ(lengthOf({" 5 "}), 5);
    EXPECT_EQ(lengthOf({"5, 5", "05"}), 5);
    for (const QByteArray &bad : {QByteArray("5, 6"), QByteArray("+5"), QByteArray("-1"), QByteArray("-0"),
                                  QByteArray("0x5"), QByteArray("5 5"), QByteArray(""), QByteArray("5,"),
                                  QByteArray("99999999999999999999"), QByteArray("5\0 trailing", 11)}) {
        try {
            lengthOf({bad});
            ADD_FAILURE() << "taken: " << bad.toHex().toStdString();
        } catch (const TransportError &error) {
            EXPECT_EQ(error.code(), TransportError::Code::badServerResponse);
        }
    }
}

TEST(Json, ReadsFieldsOnlyWithTheirExactType)
{
    const auto o = object(R"({"i":42,"big":9007199254740993,"whole":3.0,"half":1.5,"s":"1","neg":-7,
                              "b":true,"n":null,"a":[1],"o":{},"huge":1e300})");
    EXPECT_EQ(json::optionalInteger(o, "big"), 9007199254740993LL);
    EXPECT_EQ(json::optionalInteger(o, "whole"), 3);
    EXPECT_EQ(json::optionalInteger(o, "neg"), -7);
    for (const char *notInteger : {"half", "s", "b", "n", "a", "huge", "absent"})
        EXPECT_EQ(json::optionalInteger(o, QString::fromLatin1(notInteger)), std::nullopt) << notInteger;

    EXPECT_EQ(json::optionalString(o, "s"), QStringLiteral("1"));
    EXPECT_EQ(json::optionalString(o, "i"), std::nullopt);
    EXPECT_EQ(json::optionalBool(o, "b"), true);
    EXPECT_EQ(json::optionalBool(o, "i"), std::nullopt);
    EXPECT_TRUE(json::optionalArray(o, "a").has_value());
    EXPECT_FALSE(json::optionalArray(o, "o").has_value());
    EXPECT_TRUE(json::optionalObject(o, "o").has_value());

    EXPECT_THROW(json::requiredInteger(o, "half"), json::JsonError);
    EXPECT_THROW(json::requiredString(o, "n"), json::JsonError);
    EXPECT_EQ(json::requiredInteger(o, "i"), 42);
}

TEST(Json, ParsesObjectsAndRejectsWhatIsNotJson)
{
    EXPECT_EQ(json::parseObject(R"({"a":1})").value("a").toInt(), 1);
    EXPECT_TRUE(json::parseObject("[1,2]").isEmpty()) << "a top level that is not an object reads as empty";
    for (const char *bad : {"", "nope", "{\"a\":", "<html></html>"})
        EXPECT_THROW(json::parseObject(bad), json::JsonError) << bad;
}

namespace {

// The entries of the array under "files" one by one, and what the rest of the object holds.
struct Entries
{
    qsizetype told = -1;
    QStringList names;
    QJsonObject rest;
};

Entries readEntries(const QByteArray &body)
{
    Entries read;
    read.rest = json::parseObjectEntries(
        body, QLatin1StringView("files"), [&](qsizetype count) { read.told = count; },
        [&](const QJsonObject &entry) { read.names.append(entry.value("name").toString()); });
    return read;
}

} // namespace

TEST(Json, ReadsALargeArrayEntryByEntryAsTheWholeDocumentWouldRead)
{
    // Brackets, braces, commas and escaped quotes inside strings, a nested array, keys before
    // and after, an element that is not an object.
    const QByteArray body = R"({"cursor":"a]b,{","files":[{"name":"x \"]},[\" y","tags":[1,[2]]},)"
                            R"( 7 ,{"name":"back\\slash"},{"name":"{}"}],"more":{"files":"no"}})";
    const Entries read = readEntries(body);
    EXPECT_EQ(read.told, 4);
    EXPECT_EQ(read.names, (QStringList{QStringLiteral("x \"]},[\" y"), QStringLiteral("back\\slash"),
                                       QStringLiteral("{}")}));
    EXPECT_EQ(read.rest.value("cursor").toString(), QStringLiteral("a]b,{"));
    EXPECT_EQ(read.rest.value("files").toArray().size(), 0);
    EXPECT_EQ(read.rest.value("more").toObject().value("files").toString(), QStringLiteral("no"));

    // Shapes it does not take apart are read whole, with the same result.
    for (const QByteArray &whole : {QByteArray(R"({"files":[{"name":"a"}],"files":[{"name":"b"}]})"),
                                    QByteArray(R"({"other":[{"name":"a"}]})"), QByteArray(R"({"files":[]})")}) {
        const Entries again = readEntries(whole);
        QStringList names;
        for (const auto &value : json::parseObject(whole).value("files").toArray())
            names.append(value.toObject().value("name").toString());
        EXPECT_EQ(again.names, names) << whole.constData();
        EXPECT_EQ(again.told, names.size()) << whole.constData();
    }
    // What is not JSON anywhere, in an entry or around the array, fails as the whole would.
    for (const char *bad : {R"({"files":[{"name":"a"},]})", R"({"files":[{"name":}]})", R"({"files":[{"name":"a"}],})",
                            R"({"files":[{"name":"a"}]} x)", R"({"files":[{"name":"a"})"})
        EXPECT_THROW(readEntries(bad), json::JsonError) << bad;
}

TEST(InternetDate, ParsesOnlyStrictDatesWithZoneAndWritesUtcWholeSeconds)
{
    const auto utc = parseInternetDate(u"2024-02-29T23:59:58Z");
    ASSERT_TRUE(utc.has_value());
    EXPECT_EQ(utc->toSecsSinceEpoch(), 1709251198);

    const auto offset = parseInternetDate(u"2024-03-01T01:59:58+02:00");
    ASSERT_TRUE(offset.has_value());
    EXPECT_EQ(*offset, *utc);
    EXPECT_EQ(parseInternetDate(u"2024-02-29T18:29:58-05:30"), utc);

    for (const char16_t *bad : {u"2024-02-29T23:59:58.123Z", u"2024-02-29 23:59:58Z", u"2024-02-29T23:59:58",
                                u"2023-02-29T00:00:00Z", u"2024-13-01T00:00:00Z", u"2024-01-01T24:00:00Z",
                                u"2024-01-01T00:00:60Z", u"2024-01-01t00:00:00z", u"2024-01-01T00:00:00+0200",
                                u"2024-01-01T00:00:00+24:00", u"garbage", u"", u"２０２４-01-01T00:00:00Z"})
        EXPECT_EQ(parseInternetDate(bad), std::nullopt) << QString::fromUtf16(bad).toStdString();

    EXPECT_EQ(json::optionalDate(object(R"({"d":"2024-02-29T23:59:58Z"})"), "d"), utc);
    EXPECT_EQ(json::optionalDate(object(R"({"d":"yesterday"})"), "d"), std::nullopt);

    // Written in UTC, whole seconds.
    const QDateTime local(QDate(2024, 3, 1), QTime(1, 59, 58, 750), Qt::OffsetFromUTC, 7200);
    EXPECT_EQ(formatInternetDate(local), QStringLiteral("2024-02-29T23:59:58Z"));
    EXPECT_EQ(parseInternetDate(formatInternetDate(local)), local.addMSecs(-750));
}

// A date read is written again (the change feed's next cursor when the service sends none), so
// an offset that carries the instant out of years 1 to 9999 would make a text no reader takes.
TEST(InternetDate, TakesOnlyInstantsThatWriteBackAsAStrictDate)
{
    for (const char16_t *edge : {u"0001-01-01T00:00:00Z", u"9999-12-31T23:59:59Z", u"0001-01-01T00:00:00-00:01",
                                 u"9999-12-31T23:59:59+23:59"}) {
        const auto read = parseInternetDate(edge);
        ASSERT_TRUE(read.has_value()) << QString::fromUtf16(edge).toStdString();
        EXPECT_EQ(parseInternetDate(formatInternetDate(*read)), read) << QString::fromUtf16(edge).toStdString();
    }
    EXPECT_EQ(formatInternetDate(*parseInternetDate(u"0001-01-01T00:00:00Z")), QStringLiteral("0001-01-01T00:00:00Z"));
    EXPECT_EQ(parseInternetDate(u"0001-01-01T00:00:00+00:01"), std::nullopt);
    EXPECT_EQ(parseInternetDate(u"9999-12-31T23:59:59-00:01"), std::nullopt);
}

TEST(TextDecoding, AcceptsOnlyValidUtf8)
{
    EXPECT_EQ(decodeUtf8("caf\xC3\xA9"), QStringLiteral("café"));
    EXPECT_EQ(decodeUtf8(""), QString());
    for (const QByteArray &bad : {QByteArray("\xFF"), QByteArray("caf\xC3"), QByteArray("\xC0\xAF"),
                                  QByteArray("\xED\xA0\x80"), QByteArray("ok\x80ok")})
        EXPECT_EQ(decodeUtf8(bad), std::nullopt) << bad.toHex().toStdString();
}
