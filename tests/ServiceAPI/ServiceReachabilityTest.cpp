#include "ServiceAPI/ServiceReachability.h"

#include <gtest/gtest.h>

using namespace quillmere;

namespace {

const QDateTime at = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);

// Requests overlap: what one learns counts only against requests sent before it.
TEST(ServiceReachability, OnlyWhatANewerRequestLearnsOverrulesAnOlderOne)
{
    ServiceReachability reachability;
    const quint64 before = reachability.ticket();
    const quint64 failing = reachability.ticket();
    reachability.noteNoAnswer(failing, at);
    ASSERT_EQ(reachability.unreachableSince(), at);

    // Sent before the silence began: its late answer does not end it.
    reachability.noteAnswer(before);
    EXPECT_EQ(reachability.unreachableSince(), at);
    // A second silence keeps the first moment.
    reachability.noteNoAnswer(reachability.ticket(), at.addSecs(60));
    EXPECT_EQ(reachability.unreachableSince(), at);
    // An answer to a request sent since ends it.
    reachability.noteAnswer(reachability.ticket());
    EXPECT_FALSE(reachability.unreachableSince());

    // A request older than the latest answered one that then times out begins no silence.
    const quint64 slow = reachability.ticket();
    reachability.noteAnswer(reachability.ticket());
    reachability.noteNoAnswer(slow, at.addSecs(120));
    EXPECT_FALSE(reachability.unreachableSince());
}

} // namespace
