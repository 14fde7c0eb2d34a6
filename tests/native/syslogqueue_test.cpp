// The syslog queue: order kept, the oldest lost first when full with the
// losses counted once, over-long messages cut to a slot, a failed
// allocation leaving nothing held, and the dropped-count text.
#include <string>

#include <gtest/gtest.h>

#include "pure/syslogqueue.h"
#include "test_alloc.h"

namespace {

std::string Front(const SyslogQueue& q)
{
    size_t length = 0;
    const char* text = SyslogQueueFront(&q, &length);
    return text == NULL ? "<empty>" : std::string(text, length);
}

TEST(SyslogQueue, FullQueueLosesTheOldestAndCountsThemOnce)
{
    SyslogQueue q;
    ASSERT_TRUE(SyslogQueueInit(&q, 3));
    for (const char* m : {"a", "b", "c", "d", "e"})
        SyslogQueuePush(&q, m, 1);
    EXPECT_EQ(q.count, 3u);
    EXPECT_EQ(SyslogQueueTakeDropped(&q), 2u);
    EXPECT_EQ(SyslogQueueTakeDropped(&q), 0u);
    for (const char* m : {"c", "d", "e"}) {
        EXPECT_EQ(Front(q), m);
        SyslogQueuePop(&q);
    }
    EXPECT_EQ(Front(q), "<empty>");
    SyslogQueuePop(&q); // popping nothing changes nothing
    EXPECT_EQ(q.count, 0u);
    SyslogQueueFree(&q);
}

TEST(SyslogQueue, LongMessageIsCutToItsSlot)
{
    SyslogQueue q;
    ASSERT_TRUE(SyslogQueueInit(&q, 1));
    const std::string longText(kSyslogSlotSize + 50, 'x');
    SyslogQueuePush(&q, longText.data(), longText.size());
    EXPECT_EQ(Front(q), longText.substr(0, kSyslogSlotSize));
    SyslogQueueFree(&q);
}

TEST(SyslogQueue, FailedAllocationHoldsNothing)
{
    for (int nth : {1, 2}) {
        SCOPED_TRACE(nth);
        TestAllocReset();
        const size_t live = TestAllocLiveBlocks();
        TestAllocFailNth(nth);
        SyslogQueue q;
        EXPECT_FALSE(SyslogQueueInit(&q, 4));
        EXPECT_EQ(TestAllocLiveBlocks(), live);
        SyslogQueuePush(&q, "a", 1); // an unusable queue takes nothing
        EXPECT_EQ(Front(q), "<empty>");
        TestAllocReset();
    }
}

TEST(BuildDroppedText, CountAndNoun)
{
    char text[40];
    BuildDroppedText(1, text);
    EXPECT_STREQ(text, "1 message dropped");
    BuildDroppedText(1000, text);
    EXPECT_STREQ(text, "1000 messages dropped");
    char tiny[4];
    BuildDroppedText(12345, tiny);
    EXPECT_STREQ(tiny, "123");
}

// What never reached the collector: every message still queued and every
// one pushed out whose notice has not gone yet.
TEST(SyslogQueue, UndeliveredCountsQueuedAndPushedOut)
{
    SyslogQueue q;
    ASSERT_TRUE(SyslogQueueInit(&q, 3));
    EXPECT_EQ(SyslogQueueUndelivered(&q), 0u);
    for (const char* m : {"a", "b"})
        SyslogQueuePush(&q, m, 1);
    EXPECT_EQ(SyslogQueueUndelivered(&q), 2u);
    for (const char* m : {"c", "d", "e"})
        SyslogQueuePush(&q, m, 1);
    EXPECT_EQ(SyslogQueueUndelivered(&q), 5u);
    SyslogQueuePop(&q);
    EXPECT_EQ(SyslogQueueUndelivered(&q), 4u);
    EXPECT_EQ(SyslogQueueTakeDropped(&q), 2u); // their notice went
    EXPECT_EQ(SyslogQueueUndelivered(&q), 2u);
    SyslogQueueFree(&q);
}

TEST(BuildUndeliveredText, CountAndNoun)
{
    char text[48];
    BuildUndeliveredText(1, text);
    EXPECT_STREQ(text, "Syslog: 1 message not delivered");
    BuildUndeliveredText(12, text);
    EXPECT_STREQ(text, "Syslog: 12 messages not delivered");
    char tiny[12];
    BuildUndeliveredText(12345, tiny);
    EXPECT_STREQ(tiny, "Syslog: 123");
}

} // namespace
