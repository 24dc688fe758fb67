#include "UI/Onboarding/DeviceLinkView.h"
#include "UI/Onboarding/ShellActions.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTest>

using namespace quillmere;

namespace {

const QUrl secureBase(QStringLiteral("https://service.example"));
const QUrl localBase(QStringLiteral("http://127.0.0.1:8123"));

class DeviceLinkViewTest : public ::testing::Test
{
protected:
    DeviceLinkViewTest()
    {
        view.show();
    }

    QPushButton *button(const char *name) const { return view.findChild<QPushButton *>(QLatin1String(name)); }
    QLabel *label(const char *name) const { return view.findChild<QLabel *>(QLatin1String(name)); }
    QString page() const { return view.findChild<QStackedWidget *>()->currentWidget()->objectName(); }
    // The names of the buttons the user can see.
    QStringList visibleButtons() const
    {
        QStringList names;
        for (QPushButton *each : view.findChildren<QPushButton *>())
            if (each->isVisibleTo(&view) && each->isEnabled())
                names << each->objectName();
        names.sort();
        return names;
    }

    QUrl base = secureBase;
    ShellActions actions{[this] { return base; }, [](const QUrl &) { return true; }};
    DeviceLinkView view{[this](const QString &address) { return actions.acceptedVerificationURL(address); }};
};

} // namespace

TEST_F(DeviceLinkViewTest, EachConnectionStateShowsItsLayoutWithOnlyItsOwnControls)
{
    EXPECT_EQ(page(), QStringLiteral("promptPage"));
    EXPECT_EQ(visibleButtons(), (QStringList{QStringLiteral("connectButton"), QStringLiteral("createAccountButton")}));

    view.setConnectionState(ConnectionState::requestingCode());
    EXPECT_EQ(page(), QStringLiteral("requestingPage"));
    EXPECT_TRUE(visibleButtons().isEmpty()) << "nothing to press twice while the code is requested";

    // Service text is shown as it came, never read as markup.
    const QString code = QStringLiteral("<b>AB&CD</b>");
    view.setConnectionState(ConnectionState::polling(code, QStringLiteral("https://service.example/link")));
    EXPECT_EQ(page(), QStringLiteral("codePage"));
    EXPECT_EQ(visibleButtons(), (QStringList{QStringLiteral("copyCodeButton"), QStringLiteral("openPageButton")}));
    EXPECT_EQ(label("userCodeLabel")->text(), code);
    EXPECT_EQ(label("userCodeLabel")->textFormat(), Qt::PlainText);

    view.setConnectionState(ConnectionState::connected());
    EXPECT_EQ(page(), QStringLiteral("linkedPage"));
    EXPECT_TRUE(visibleButtons().isEmpty()) << "no Disconnect unless the host offers it";
    view.setDisconnectOffered(true);
    EXPECT_EQ(visibleButtons(), QStringList{QStringLiteral("disconnectButton")});

    const QString message = QStringLiteral("<a href=\"x\">Device code expired.</a> Please try again, with a message "
                                           "long enough to need more than one line in the layout.");
    view.setConnectionState(ConnectionState::error(message));
    EXPECT_EQ(page(), QStringLiteral("errorPage"));
    EXPECT_EQ(visibleButtons(), QStringList{QStringLiteral("tryAgainButton")});
    EXPECT_EQ(label("errorMessageLabel")->text(), message);
    EXPECT_EQ(label("errorMessageLabel")->textFormat(), Qt::PlainText);
    EXPECT_GT(label("errorMessageLabel")->height(), label("errorMessageLabel")->fontMetrics().height() * 2)
        << "a long message wraps onto several lines";

    view.setConnectionState(ConnectionState::disconnected());
    EXPECT_EQ(page(), QStringLiteral("promptPage"));
}

TEST_F(DeviceLinkViewTest, EachPressReportsOnceWithTheStatesOwnStrings)
{
    QSignalSpy start(&view, &DeviceLinkView::startRequested);
    QSignalSpy create(&view, &DeviceLinkView::createAccountRequested);
    QSignalSpy dismiss(&view, &DeviceLinkView::dismissErrorRequested);
    QSignalSpy open(&view, &DeviceLinkView::openVerificationRequested);
    QSignalSpy copy(&view, &DeviceLinkView::copyCodeRequested);
    QSignalSpy disconnect(&view, &DeviceLinkView::disconnectRequested);

    QTest::mouseClick(button("connectButton"), Qt::LeftButton);
    QTest::mouseClick(button("createAccountButton"), Qt::LeftButton);
    EXPECT_EQ(start.count(), 1);
    EXPECT_EQ(create.count(), 1);
    EXPECT_EQ(page(), QStringLiteral("promptPage")) << "the view never moves the state itself";

    // The label names the page; the press hands over the address exactly as the service sent it.
    const QString address = QStringLiteral("https://service.example/link?user_code=AB12#x");
    view.setConnectionState(ConnectionState::polling(QStringLiteral(" AB12-CD34 "), address));
    EXPECT_EQ(button("openPageButton")->text(), QStringLiteral("Open service.example"));
    QTest::mouseClick(button("openPageButton"), Qt::LeftButton);
    QTest::mouseClick(button("copyCodeButton"), Qt::LeftButton);
    ASSERT_EQ(open.count(), 1);
    EXPECT_EQ(open.at(0).at(0).toString(), address);
    ASSERT_EQ(copy.count(), 1);
    EXPECT_EQ(copy.at(0).at(0).toString(), QStringLiteral(" AB12-CD34 "));

    view.setConnectionState(ConnectionState::error(QStringLiteral("failed")));
    QTest::mouseClick(button("tryAgainButton"), Qt::LeftButton);
    EXPECT_EQ(dismiss.count(), 1);

    view.setDisconnectOffered(true);
    view.setConnectionState(ConnectionState::connected());
    QTest::mouseClick(button("disconnectButton"), Qt::LeftButton);
    EXPECT_EQ(disconnect.count(), 1);
    EXPECT_EQ(start.count() + create.count() + dismiss.count() + open.count() + copy.count(), 5);
}

// The open-page button names the host it would open and is only offered for an address
// that may be opened: https, or http to a loopback host while the service itself is local.
TEST_F(DeviceLinkViewTest, OpenPageButtonIsMadeFromTheAcceptedAddress)
{
    const auto show = [&](const QString &address) {
        view.setConnectionState(ConnectionState::polling(QStringLiteral("CODE"), address));
        return button("openPageButton")->isEnabled() ? button("openPageButton")->text() : QString();
    };
    EXPECT_EQ(show(QStringLiteral("https://link.service.example/device")), QStringLiteral("Open link.service.example"));
    EXPECT_EQ(show(QStringLiteral("http://127.0.0.1:8123/link")), QString()) << "local page, remote service";
    EXPECT_EQ(show(QStringLiteral("http://service.example/link")), QString());
    EXPECT_EQ(show(QStringLiteral("https://user:pw@service.example/link")), QString());
    EXPECT_EQ(show(QStringLiteral("javascript:alert(1)")), QString());
    EXPECT_EQ(show(QStringLiteral("file:///etc/passwd")), QString());
    EXPECT_EQ(show(QString()), QString());

    base = localBase;
    EXPECT_EQ(show(QStringLiteral("http://127.0.0.1:8123/link")), QStringLiteral("Open 127.0.0.1"));
    EXPECT_EQ(show(QStringLiteral("http://service.example/link")), QString());
}

TEST(ShellActions, OpensOnlyAcceptedAddressesAndCopiesTheCodeAsPlainText)
{
    std::vector<QUrl> opened;
    const ShellActions actions([] { return secureBase; }, [&](const QUrl &url) {
        opened.push_back(url);
        return true;
    });
    EXPECT_TRUE(actions.openVerificationURL(QStringLiteral("https://service.example/link")));
    for (const char *refused : {"http://service.example/link", "http://localhost/link", "ftp://service.example/",
                                "https://a@service.example/", "not a url", "", "quillmere://callback"})
        EXPECT_FALSE(actions.openVerificationURL(QLatin1String(refused))) << refused;
    EXPECT_EQ(opened, std::vector<QUrl>{QUrl(QStringLiteral("https://service.example/link"))});

    QApplication::clipboard()->setText(QStringLiteral("earlier"));
    ShellActions::copyCodeToPasteboard(QStringLiteral("WDJB-MJHT"));
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("WDJB-MJHT"));
}

namespace {
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    std::vector<QUrl> urls;
public Q_SLOTS:
    void open(const QUrl &url) { urls.push_back(url); }
};
} // namespace

TEST(ShellActions, TheApplicationsActionsGoToTheDesktopsBrowser)
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    const ShellActions actions; // the stored service address and the desktop
    actions.openVerificationURL(QStringLiteral("https://service.example/link"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    EXPECT_EQ(catcher.urls, std::vector<QUrl>{QUrl(QStringLiteral("https://service.example/link"))});
}

#include "DeviceLinkViewTest.moc"
