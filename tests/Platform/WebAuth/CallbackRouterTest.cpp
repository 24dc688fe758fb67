#include "Platform/WebAuth/CallbackRouter.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrlQuery>

#include <gtest/gtest.h>

using namespace quillmere;
using namespace std::chrono_literals;
using quillmere::test::await;

namespace {

class CallbackRouterTest : public ::testing::Test
{
protected:
    QString endpoint() const { return dir.path() + QStringLiteral("/callbacks.socket"); }

    QTemporaryDir dir;
};

// Sends raw bytes the way any local client could and returns the one-byte answer.
QByteArray sendRaw(const QString &endpoint, const QByteArray &bytes)
{
    QLocalSocket socket;
    socket.connectToServer(endpoint);
    if (!socket.waitForConnected(2000))
        return "not connected";
    socket.write(bytes);
    socket.flush();
    QByteArray answer;
    quillmere::test::runUntil([&] {
        answer += socket.readAll();
        return !answer.isEmpty() || socket.state() == QLocalSocket::UnconnectedState;
    }, 5s);
    return answer;
}

} // namespace

TEST_F(CallbackRouterTest, DeliversByStateWhenSeveralWaitAndDropsForeignSchemes)
{
    CallbackRouter router(endpoint());
    std::vector<QUrl> first, second, google;
    auto a = router.expect(QStringLiteral("quillmere"), QStringLiteral("AAA"), [&](QUrl url) { first.push_back(url); });
    auto b = router.expect(QStringLiteral("quillmere"), QStringLiteral("BBB"), [&](QUrl url) { second.push_back(url); });
    auto g = router.expect(QStringLiteral("com.example.app"), QStringLiteral("AAA"), [&](QUrl url) { google.push_back(url); });

    EXPECT_FALSE(router.deliver("https://attacker.example/?code=x&state=AAA")) << "no one waits on https";
    EXPECT_FALSE(router.deliver("quillmere://apple-callback?code=x&state=CCC")) << "two wait: the state must pick one";
    EXPECT_FALSE(router.deliver("quillmere://apple-callback?code=x")) << "two wait: no state picks none";
    EXPECT_FALSE(router.deliver("not a url"));
    EXPECT_FALSE(router.deliver("\xff\xfe"));

    EXPECT_TRUE(router.deliver("QuillMere://apple-callback?code=2&state=BBB"));
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0], QUrl(QStringLiteral("quillmere://apple-callback?code=2&state=BBB")));
    EXPECT_TRUE(first.empty());
    EXPECT_TRUE(google.empty()) << "the same state on another scheme is not a match";

    // Once delivered the wait is over; the one left on the scheme takes whatever state comes,
    // and its sign-in refuses a mismatch itself.
    EXPECT_TRUE(router.deliver("quillmere://apple-callback?code=3&state=ZZZ"));
    EXPECT_EQ(first.size(), 1u);
    EXPECT_EQ(second.size(), 1u);
    EXPECT_FALSE(router.deliver("quillmere://apple-callback?code=4&state=AAA"));

    EXPECT_TRUE(router.deliver("com.example.app:/oauth2callback?code=g&state=AAA"));
    EXPECT_EQ(google.size(), 1u);

    // A registration given up before its callback gets nothing.
    {
        auto gone = router.expect(QStringLiteral("quillmere"), QStringLiteral("X"), [&](QUrl url) { first.push_back(url); });
    }
    EXPECT_FALSE(router.deliver("quillmere://apple-callback?code=5&state=X"));
    EXPECT_EQ(first.size(), 1u);
}

TEST_F(CallbackRouterTest, OneInstancePerUserAndAStaleSocketDoesNotBlock)
{
    // A crashed instance leaves its socket file but not its lock.
    {
        QFile stale(endpoint());
        ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    }
    CallbackRouter running(endpoint());
    EXPECT_EQ(running.claim(), CallbackRouter::Claim::primary);
    CallbackRouter second(endpoint());
    EXPECT_EQ(second.claim(), CallbackRouter::Claim::secondary);
    EXPECT_FALSE(second.isPrimary());

    std::vector<QUrl> got;
    auto waiting = running.expect(QStringLiteral("quillmere"), QStringLiteral("S"), [&](QUrl url) { got.push_back(url); });
    EXPECT_TRUE(await(CallbackRouter::forward(QStringLiteral("quillmere://apple-callback?code=c&state=S"), endpoint())));
    EXPECT_EQ(got.size(), 1u);
    EXPECT_FALSE(await(CallbackRouter::forward(QStringLiteral("quillmere://apple-callback?code=c&state=S"), endpoint())))
        << "nobody waits any more";
}

TEST_F(CallbackRouterTest, RefusesOversizedAndMalformedMessages)
{
    CallbackRouter router(endpoint());
    ASSERT_EQ(router.claim(), CallbackRouter::Claim::primary);
    int refused = 0;
    QObject::connect(&router, &CallbackRouter::callbackRefused, [&] { ++refused; });
    std::vector<QUrl> got;
    auto waiting = router.expect(QStringLiteral("quillmere"), QStringLiteral("S"), [&](QUrl url) { got.push_back(url); });

    QByteArray huge = "quillmere://apple-callback?state=S&code=";
    huge += QByteArray(CallbackRouter::maximumMessageBytes, 'a');
    EXPECT_EQ(sendRaw(endpoint(), CallbackRouter::frame(huge)), "-");
    // A length header alone is refused at once, without waiting for four gigabytes.
    EXPECT_EQ(sendRaw(endpoint(), QByteArray("\xff\xff\xff\xff", 4)), "-");
    EXPECT_EQ(sendRaw(endpoint(), CallbackRouter::frame("quillmere://a b c %%")), "-");
    EXPECT_FALSE(await(CallbackRouter::forward(QString::fromLatin1(huge), endpoint()))) << "the sender checks too";
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(refused, 3);

    // The wait survives the refusals.
    EXPECT_EQ(sendRaw(endpoint(), CallbackRouter::frame("quillmere://apple-callback?code=ok&state=S")), "+");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(QUrlQuery(got[0]).queryItemValue(QStringLiteral("code")), QStringLiteral("ok"));
}

// The second process of a URL-scheme launch: started by the test below with the URL and the
// endpoint in its environment; it does nothing in an ordinary run.
TEST(CallbackRouterChild, ForwardsTheLaunchURL)
{
    const QString url = qEnvironmentVariable("QUILLMERE_TEST_FORWARD_URL");
    if (url.isEmpty())
        GTEST_SKIP() << "runs only as the forwarding process";
    const QString endpoint = qEnvironmentVariable("QUILLMERE_TEST_FORWARD_ENDPOINT");
    CallbackRouter router(endpoint);
    ASSERT_EQ(router.claim(), CallbackRouter::Claim::secondary);
    ASSERT_TRUE(await(CallbackRouter::forward(url, endpoint)));
}

TEST_F(CallbackRouterTest, ASecondProcessForwardsItsCallbackToTheRunningInstance)
{
    CallbackRouter router(endpoint());
    ASSERT_EQ(router.claim(), CallbackRouter::Claim::primary);
    std::vector<QUrl> got;
    auto waiting = router.expect(QStringLiteral("quillmere"), QStringLiteral("F00D"), [&](QUrl url) { got.push_back(url); });

    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUILLMERE_TEST_FORWARD_URL"),
                       QStringLiteral("quillmere://apple-callback?code=from-child&state=F00D"));
    environment.insert(QStringLiteral("QUILLMERE_TEST_FORWARD_ENDPOINT"), endpoint());
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=CallbackRouterChild.ForwardsTheLaunchURL")});
    ASSERT_TRUE(child.waitForStarted(5000));
    // The instance must keep turning its event loop while the child talks to it.
    ASSERT_TRUE(quillmere::test::runUntil([&] { return child.state() == QProcess::NotRunning; }, 30s));
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(QUrlQuery(got[0]).queryItemValue(QStringLiteral("code")), QStringLiteral("from-child"));
}
