#include "Platform/WebAuth/CallbackRouter.h"
#include "UI/WebAuth/BrowserWebAuthSession.h"
#include "support/TestSupport.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace quillmere;
using namespace std::chrono_literals;

namespace {

class BrowserSession : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(router.claim(), CallbackRouter::Claim::primary); }

    QMessageBox *waitingDialog()
    {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (box && box->isVisible() && box->text() == BrowserWebAuthSession::waitingText)
                return box;
        }
        return nullptr;
    }

    // Starts a flow and turns the loop until the dialog shows (or the flow ends without it).
    void start(const QUrl &url, const QString &scheme)
    {
        running = run(url, scheme);
        quillmere::test::runUntil([&] { return waitingDialog() || outcome.has_value(); }, 5s);
    }

    QCoro::Task<> run(QUrl url, QString scheme)
    {
        auto flow = session.authenticate(url, scheme);
        outcome = co_await std::move(flow);
    }

    QTemporaryDir dir;
    CallbackRouter router{dir.path() + QStringLiteral("/callbacks.socket")};
    std::vector<QUrl> opened;
    BrowserWebAuthSession session{router, [this](const QUrl &url) {
                                      opened.push_back(url);
                                      return true;
                                  }};
    std::optional<WebAuthOutcome> outcome;
    std::optional<QCoro::Task<>> running;
};

} // namespace

TEST_F(BrowserSession, OpensThePageAndCompletesWithTheForwardedCallback)
{
    const QUrl page(QStringLiteral("https://service.example/auth/apple/app-redirect?state=S1"));
    start(page, QStringLiteral("quillmere"));
    ASSERT_NE(waitingDialog(), nullptr);
    EXPECT_EQ(opened, std::vector<QUrl>{page});

    auto forwarding = CallbackRouter::forward(QStringLiteral("quillmere://apple-callback?code=c&state=S1"), router.endpoint());
    EXPECT_TRUE(quillmere::test::await(std::move(forwarding)));
    ASSERT_TRUE(quillmere::test::runUntil([&] { return outcome.has_value(); }, 5s));
    EXPECT_EQ(outcome->kind, WebAuthOutcome::Kind::completed);
    EXPECT_EQ(outcome->callbackURL, QUrl(QStringLiteral("quillmere://apple-callback?code=c&state=S1")));
    quillmere::test::drainEvents();
    EXPECT_EQ(waitingDialog(), nullptr);
}

TEST_F(BrowserSession, CancelEndsTheFlowAndALateCallbackFindsNoOne)
{
    start(QUrl(QStringLiteral("https://service.example/page?state=S2")), QStringLiteral("quillmere"));
    QMessageBox *dialog = waitingDialog();
    ASSERT_NE(dialog, nullptr);
    dialog->button(QMessageBox::Cancel)->click();
    ASSERT_TRUE(quillmere::test::runUntil([&] { return outcome.has_value(); }, 5s));
    EXPECT_EQ(outcome->kind, WebAuthOutcome::Kind::cancelled);
    EXPECT_FALSE(router.deliver("quillmere://apple-callback?code=c&state=S2"));
}

TEST_F(BrowserSession, RefusesPagesThatAreNotHttps)
{
    for (const QString &text : {QStringLiteral("http://service.example/page"), QStringLiteral("file:///etc/passwd"),
                                QStringLiteral("javascript:alert(1)")}) {
        outcome.reset();
        start(QUrl(text), QStringLiteral("quillmere"));
        ASSERT_TRUE(outcome.has_value()) << text.toStdString();
        EXPECT_EQ(outcome->kind, WebAuthOutcome::Kind::notStarted);
    }
    EXPECT_TRUE(opened.empty());

    // A service on this machine may be plain http; a browser that does not open is no start.
    BrowserWebAuthSession noBrowser(router, [](const QUrl &) { return false; });
    auto flow = noBrowser.authenticate(QUrl(QStringLiteral("http://127.0.0.1:9/page")), QStringLiteral("quillmere"));
    EXPECT_EQ(quillmere::test::await(std::move(flow)).kind, WebAuthOutcome::Kind::notStarted);
    EXPECT_FALSE(router.deliver("quillmere://apple-callback?code=c")) << "a failed start leaves no wait behind";
}
