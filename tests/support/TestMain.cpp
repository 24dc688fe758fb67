#include "Platform/Async/Background.h"

#include <gmock/gmock.h>

#include <chrono>
#include <cstdio>

#ifdef QUILLMERE_GUI_TESTS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

namespace {

// A test's objects are gone by its end, but a coroutine whose work was on a worker then still
// has to come back and see its cancellation: its frame is freed only then.
class SettleHopsAfterEachTest : public ::testing::EmptyTestEventListener
{
    void OnTestEnd(const ::testing::TestInfo &) override
    {
        if (!quillmere::settlePoolHops(std::chrono::seconds(20)))
            std::fprintf(stderr, "A hop to a worker pool did not come back within 20 s of the test's end.\n");
    }
};

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleMock(&argc, argv);
#ifdef QUILLMERE_GUI_TESTS
    // Test discovery runs the program without the test environment: windows stay off screen.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    TestApplication app(argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new SettleHopsAfterEachTest);
    return RUN_ALL_TESTS();
}
