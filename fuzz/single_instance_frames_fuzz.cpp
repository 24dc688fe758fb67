// The single-instance socket: any local process may connect and send bytes. A frame is read
// only whole and only within the size limit; its payload reaches a waiting sign-in only as a
// URL of that sign-in's scheme (and, where two wait on one scheme, with the state of one).
#include "FuzzSupport.h"

#include "Platform/WebAuth/CallbackRouter.h"

#include <QStringDecoder>
#include <QUrlQuery>
#include <QtEndian>

using namespace quillmere;
using namespace quillmere::fuzz;

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    initialise(argc, argv);
    return 0;
}

namespace {

void checkFrame(const QByteArray &received, const CallbackRouter::FrameRead &read)
{
    using Kind = CallbackRouter::FrameRead::Kind;
    if (received.size() < 4) {
        check(read.kind == Kind::incomplete, "a header not yet whole waits");
        return;
    }
    const quint32 length = qFromBigEndian<quint32>(received.constData());
    if (length == 0 || length > quint32(CallbackRouter::maximumMessageBytes)) {
        check(read.kind == Kind::refused, "an empty or oversized frame is refused at once, before its bytes",
              QString::number(length));
        return;
    }
    if (received.size() - 4 < qint64(length)) {
        check(read.kind == Kind::incomplete, "a payload not yet whole waits");
        return;
    }
    check(read.kind == Kind::message && read.payload == received.mid(4, qsizetype(length)),
          "a whole frame is its payload, exactly");
    // What forward() sends reads back as itself.
    const CallbackRouter::FrameRead again = CallbackRouter::readFrame(CallbackRouter::frame(read.payload));
    check(again.kind == Kind::message && again.payload == read.payload, "a framed payload reads back");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray received = bytesOf(data, size);
    const CallbackRouter::FrameRead read = CallbackRouter::readFrame(received);
    checkFrame(received, read);
    if (read.kind != CallbackRouter::FrameRead::Kind::message)
        return 0;

    // One sign-in waits on "quillmere", two on "quillmere-google" (told apart by state).
    CallbackRouter router(scratchFolder() + QStringLiteral("/unclaimed.socket"));
    std::optional<QUrl> apple, first, second;
    auto onApple = router.expect(QStringLiteral("quillmere"), QStringLiteral("A"), [&](QUrl url) { apple = url; });
    auto onFirst = router.expect(QStringLiteral("quillmere-google"), QStringLiteral("G1"), [&](QUrl url) { first = url; });
    auto onSecond = router.expect(QStringLiteral("quillmere-google"), QStringLiteral("G2"), [&](QUrl url) { second = url; });
    const bool taken = router.deliver(read.payload);
    check(taken == (apple || first || second), "a delivery is taken exactly when a sign-in received it");
    check(int(apple.has_value()) + int(first.has_value()) + int(second.has_value()) <= 1,
          "one payload reaches one sign-in at most");
    if (!taken)
        return 0;

    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(read.payload);
    check(!decoder.hasError(), "only valid UTF-8 is delivered");
    const QUrl url = apple ? *apple : first ? *first : *second;
    check(url.isValid() && !url.isRelative(), "only an absolute URL is delivered", text);
    const QString scheme = url.scheme().toLower();
    if (apple)
        check(scheme == QLatin1String("quillmere"), "a sign-in hears only of its own scheme", text);
    if (first || second) {
        check(scheme == QLatin1String("quillmere-google"), "a sign-in hears only of its own scheme", text);
        const QString state = QUrlQuery(url).queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded);
        check(state == (first ? QStringLiteral("G1") : QStringLiteral("G2")),
              "of two sign-ins on one scheme, only the one whose state came back hears of it", text);
    }
    return 0;
}
