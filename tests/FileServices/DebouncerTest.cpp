#include "FileServices/Debouncer.h"
#include "Platform/Async/ManualClock.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace std::chrono_literals;
using quillmere::Debouncer;
using quillmere::ManualClock;
using quillmere::test::drainEvents;

namespace {

struct ActionRun
{
    QString action;
    QSet<QString> payload;
    std::chrono::nanoseconds at;
};

class DebouncerTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        debouncer.reset();
        drainEvents(); // stopped waits resume on a later turn
    }

    // An action that records its run; with a busy time it stays inside the action that long.
    Debouncer::Action recorder(QString name, std::chrono::nanoseconds busy = 0ns)
    {
        return [this, name, busy](QSet<QString> payload) -> QCoro::Task<> {
            runs.push_back({name, payload, clock.now()});
            if (busy > 0ns) {
                ++busyActions;
                co_await clock.sleepFor(busy);
                --busyActions;
            }
        };
    }

    static QSet<QString> set(std::initializer_list<QString> items) { return QSet<QString>(items); }

    ManualClock clock;
    std::unique_ptr<Debouncer> debouncer = std::make_unique<Debouncer>(clock);
    std::vector<ActionRun> runs;
    int busyActions = 0;
};

} // namespace

TEST_F(DebouncerTest, BurstRunsTheLastActionOnceWithTheUnionAfterTheQuietPeriodPerKey)
{
    debouncer->debounce("fs-event-1", 400ms, set({"a"}), recorder("first"));
    debouncer->debounce("other", 400ms, set({"c"}), recorder("other"));
    clock.advance(100ms);
    debouncer->debounce("fs-event-1", 400ms, set({"b"}), recorder("second"));
    clock.advance(399ms);
    ASSERT_EQ(runs.size(), 1u) << "the second call restarts the quiet period of its own key only";
    EXPECT_EQ(runs[0].payload, set({"c"}));

    clock.advance(1ms);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1].action, "second");
    EXPECT_EQ(runs[1].payload, set({"a", "b"}));
    EXPECT_EQ(runs[1].at, 500ms);
    EXPECT_FALSE(debouncer->isPending("fs-event-1"));

    drainEvents();
    clock.advance(10s);
    EXPECT_EQ(runs.size(), 2u) << "the replaced wait never delivers";
}

TEST_F(DebouncerTest, CancelAllAndDestructionDropPendingPayloads)
{
    debouncer->debounce("k", 400ms, set({"a", "b"}), recorder("dropped"));
    clock.advance(200ms);
    debouncer->cancelAll();
    EXPECT_FALSE(debouncer->isPending("k"));
    clock.advance(1s);
    drainEvents();
    EXPECT_TRUE(runs.empty());

    debouncer->debounce("k", 400ms, set({"c"}), recorder("later"));
    clock.advance(400ms);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].payload, set({"c"})) << "a later burst starts from an empty payload";

    debouncer->debounce("k", 400ms, set({"a"}), recorder("never"));
    debouncer.reset();
    drainEvents();
    clock.advance(1s);
    EXPECT_EQ(runs.size(), 1u);
    EXPECT_EQ(clock.pendingSleepers(), 0u);
}

TEST_F(DebouncerTest, PayloadsArrivingDuringAnActionStartANewBurst)
{
    debouncer->debounce("k", 400ms, set({"a"}), recorder("slow", 1s));
    clock.advance(400ms);
    ASSERT_EQ(runs.size(), 1u);
    ASSERT_EQ(busyActions, 1);

    debouncer->debounce("k", 400ms, set({"b"}), recorder("next"));
    clock.advance(400ms);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1].payload, set({"b"})) << "the running action took its payload out";
    EXPECT_EQ(busyActions, 1);

    debouncer->cancelAll();
    clock.advance(1s);
    EXPECT_EQ(busyActions, 0) << "the running action still ends";
    EXPECT_EQ(runs.size(), 2u);
}
