// The reply-header helpers: the declared body length, the redirect a reply asks for and the
// shard a 421 names. A length is every Content-Length value agreeing, or the reply is refused;
// a redirect never downgrades https, never leaves the permitted addresses and never carries
// the token or shard to another origin; a shard taken from a reply is a short plain token
// that cannot break a header line.
#include "FuzzInput.h"
#include "FuzzSupport.h"

#include "Accounts/APIConfig.h"
#include "Platform/Http/HttpHeaders.h"
#include "Platform/Http/Redirects.h"
#include "Platform/Http/TransportError.h"
#include "Platform/Http/UrlBuilding.h"
#include "ServiceAPI/HarborlyAPI.h"

using namespace quillmere;
using namespace quillmere::fuzz;

namespace {

const char *const names[] = {"Content-Length", "content-length", "CONTENT-LENGTH", "X-Shard-Id", "x-shard-id",
                             "Location", "Content-Type", "Authorization"};
const char *const origins[] = {"https://harborly.app/api/v1/files/library", "https://harborly.app:443/a?b=c",
                               "http://127.0.0.1:8642/api/v1/account", "http://localhost/x", "https://[::1]:8443/p"};
const int statuses[] = {301, 302, 303, 307, 308};
const char *const methods[] = {"GET", "POST", "HEAD", "PUT", "DELETE", "post"};

// Every value of every Content-Length field is one decimal number, all the same.
enum class Verdict { length, refused, unsure };

Verdict expectedLength(const HttpHeaders &headers, std::optional<qint64> *length)
{
    for (const auto &[name, value] : headers.fields()) {
        if (name.toLower() != "content-length")
            continue;
        for (const QByteArray &item : value.split(',')) {
            const QByteArray digits = item.trimmed();
            if (digits.isEmpty() || !std::all_of(digits.cbegin(), digits.cend(), [](char c) { return c >= '0' && c <= '9'; }))
                return Verdict::refused;
            // Nineteen digits and more may or may not fit in 64 bits.
            if (digits.size() > 18)
                return Verdict::unsure;
            const qint64 parsed = digits.toLongLong();
            if (*length && **length != parsed)
                return Verdict::refused;
            *length = parsed;
        }
    }
    return Verdict::length;
}

void checkLength(const HttpHeaders &headers)
{
    std::optional<qint64> expected;
    const Verdict verdict = expectedLength(headers, &expected);
    try {
        const auto length = declaredContentLength(headers);
        check(verdict != Verdict::refused, "a length that is not one agreeing decimal is refused");
        if (verdict == Verdict::length)
            check(length == expected, "the declared length is the one every field gives");
        check(!length || *length >= 0, "a declared length is never negative");
    } catch (const TransportError &error) {
        check(error.code() == TransportError::Code::badServerResponse, "a length that cannot be trusted is badServerResponse");
        check(verdict != Verdict::length, "agreeing decimal lengths are taken");
    } catch (...) {
        unexpected(std::current_exception());
    }
}

bool isPlainName(const QByteArray &name)
{
    return std::all_of(name.cbegin(), name.cend(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
    });
}

void checkRedirect(FuzzInput &input, const QByteArray &location)
{
    HttpRequest previous;
    previous.url = QUrl(QString::fromLatin1(input.pickValueInArray(origins)));
    previous.method = input.pickValueInArray(methods);
    previous.headers.set("Authorization", "Bearer secret");
    previous.headers.set("X-Shard-Id", "shard-a");
    previous.headers.set("Content-Type", "application/json");
    previous.body = "{}";
    const int status = input.pickValueInArray(statuses);
    const QUrl target = redirectTarget(previous.url, location);
    try {
        const HttpRequest next = redirectedRequest(previous, status, target);
        check(isPermittedUrl(next.url), "a redirect goes only to a permitted address", next.url.toString());
        check(previous.url.scheme() != QLatin1String("https") || next.url.scheme().toLower() == QLatin1String("https"),
              "a redirect never leaves https", next.url.toString());
        if (!isSameOrigin(previous.url, next.url))
            check(!next.headers.contains("Authorization") && !next.headers.contains("X-Shard-Id"),
                  "the token and shard never go to another origin", next.url.toString());
        const QString host = next.url.host();
        check(!host.contains(u'\r') && !host.contains(u'\n') && !host.contains(QChar(0)), "no line break in the host");
    } catch (const TransportError &error) {
        check(error.code() == TransportError::Code::unsupportedURL, "a refused redirect is unsupportedURL");
    } catch (...) {
        unexpected(std::current_exception());
    }
}

void checkShard(const HttpHeaders &headers, const QByteArray &body)
{
    HttpResponse response;
    response.status = 421;
    response.headers = headers;
    response.body = body;
    const auto shard = extractShardID(response);
    if (!shard)
        return;
    check(APIConfig::isAcceptableShardID(*shard), "a shard taken from a reply is acceptable", *shard);
    const QByteArray wire = shard->toUtf8();
    check(!wire.contains('\r') && !wire.contains('\n') && !wire.contains('\0') && wire.size() <= 64,
          "a shard cannot break a header line");
    HttpHeaders next;
    next.set("X-Shard-Id", wire);
    check(next.value("x-shard-id") == wire, "the shard goes out as it was taken");
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
    QList<HttpHeaders::Field> fields;
    const int count = input.consumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < count; ++i) {
        const QByteArray name = input.consumeBool() ? QByteArray(input.pickValueInArray(names))
                                                    : QByteArray::fromStdString(input.consumeRandomLengthString(32));
        fields.append({name, QByteArray::fromStdString(input.consumeRandomLengthString(128))});
    }
    const HttpHeaders headers(fields);
    checkLength(headers);

    // HttpHeaders: the first field of a name, whatever its case; set() replaces them all.
    for (const auto &[name, value] : fields) {
        if (!isPlainName(name))
            continue;
        check(headers.value(name.toUpper()) == headers.value(name.toLower()), "names compare without case");
        HttpHeaders copy = headers;
        copy.set(name, "x");
        check(copy.value(name) == QByteArray("x"), "a set field is the one read");
        copy.remove(name.toLower());
        check(!copy.contains(name), "a removed field is gone in every case");
    }

    const QByteArray location = QByteArray::fromStdString(input.consumeRandomLengthString(256));
    checkRedirect(input, location);
    checkShard(headers, QByteArray::fromStdString(input.consumeRemainingBytesAsString()));
    return 0;
}
