// Blocking callers: who may be blocked, the capped set and the one let go,
// end times across a restart and a tick wrap, the rule's text and the
// stored entries.
#include <string>

#include <gtest/gtest.h>

#include "addresses.h"
#include "pure/blocklist.h"

namespace {

NetAddress V4(uint32_t host)
{
    return NetAddressFromV4Host(host);
}

std::string Line(BlockVerdict verdict)
{
    char line[64];
    BuildNotBlockedLine(verdict, line);
    return verdict == kBlockYes ? "blocked" : line;
}

TEST(BlockVerdictFor, KeepsThePcItsNetworkAndTrustedCallersFree)
{
    NeverBlockTable table = {};
    NeverBlockAdd(&table, V4(0xC0A80102), kBlockThisPc);  // 192.168.1.2
    NeverBlockAdd(&table, V4(0xC0A80101), kBlockGateway); // 192.168.1.1
    NeverBlockAdd(&table, V6({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 7), kBlockGateway);
    NeverBlockAdd(&table, V6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 53}), kBlockDns);
    NeverBlockAdd(&table, V4(0x0A000001), kBlockDhcp); // 10.0.0.1
    NeverBlockAdd(&table, V4(0x0A000001), kBlockDns);  // the first reason stays
    const struct {
        const char* name;
        NetAddress caller;
        bool trusted;
        std::string line;
    } cases[] = {
        {"stranger", V4(0xCB007105), false, "blocked"},
        {"trusted", V4(0xCB007105), true, "   Not blocked: trusted"},
        {"loopback v4", V4(0x7F000001), false, "   Not blocked: this PC"},
        {"loopback v6", V6({0, 0, 0, 0, 0, 0, 0, 1}), false, "   Not blocked: this PC"},
        {"other loopback", V4(0x7F000005), false, "blocked"},
        {"own address", V4(0xC0A80102), false, "   Not blocked: this PC"},
        {"gateway", V4(0xC0A80101), false, "   Not blocked: your gateway"},
        {"mapped gateway", V6({0, 0, 0, 0, 0, 0xffff, 0xc0a8, 0x0101}), false,
         "   Not blocked: your gateway"},
        {"mapped stranger", V6({0, 0, 0, 0, 0, 0xffff, 0xcb00, 0x7105}), false, "blocked"},
        {"dns v6", V6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 53}), false,
         "   Not blocked: your DNS server"},
        {"dhcp", V4(0x0A000001), false, "   Not blocked: your DHCP server"},
        {"link-local", V6({0xfe80, 0, 0, 0, 0, 0, 0, 9}, 3), false, "   Not blocked: link-local"},
        {"ipv6 stranger", V6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 5}), false, "blocked"},
        {"unknown", NetAddress(), false, "   Not blocked: no address"},
        {"unspecified", V4(0), false, "   Not blocked: no address"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Line(BlockVerdictFor(c.caller, c.trusted, table)), c.line);
    }
    NeverBlockTable full = {};
    for (uint32_t i = 0; i < kNeverBlockCap + 3; ++i)
        NeverBlockAdd(&full, V4(0x0A010000 + i), kBlockDns);
    EXPECT_EQ(full.count, kNeverBlockCap);
    EXPECT_EQ(full.leftOut, 3u);
}

std::string RuleText(const BlockSet& set)
{
    static char text[kBlockRuleTextSize];
    size_t length = BlockRuleTextN(set, text, sizeof text);
    EXPECT_EQ(length, std::string(text).size());
    return text;
}

TEST(BlockSet, RuleTextNeverEmptyWhileBlockingAndOneLetGoAtTheCap)
{
    static BlockSet set = {};
    EXPECT_EQ(RuleText(set), "");
    BlockEntry letGo = {};
    EXPECT_EQ(BlockSetAdd(&set, V4(0xCB007105), 5000, &letGo), kBlockAdded);
    EXPECT_EQ(BlockSetAdd(&set, V6({0, 0, 0, 0, 0, 0xffff, 0xcb00, 0x7105}), 9000, &letGo),
              kBlockRenewed); // the mapped form is the same caller
    EXPECT_EQ(BlockSetAdd(&set, V6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 5}, 4), 0, &letGo), kBlockAdded);
    EXPECT_EQ(RuleText(set), "203.0.113.5,2001:db8::5");
    EXPECT_EQ(set.entries[0].end, 9000u);
    EXPECT_TRUE(BlockSetRemove(&set, V4(0xCB007105)));
    EXPECT_FALSE(BlockSetRemove(&set, V4(0xCB007105)));
    EXPECT_EQ(RuleText(set), "2001:db8::5");
    // Full: the entry nearest its end goes, never one for good before it.
    set.count = 0;
    for (uint32_t i = 0; i < kBlockCap; ++i)
        BlockSetAdd(&set, V4(0x0A000000 + i), i == 500 ? 0 : 100000 + (i == 700 ? 0 : i + 1), NULL);
    EXPECT_EQ(BlockSetAdd(&set, V4(0xCB007106), 200000, &letGo), kBlockLetGo);
    EXPECT_TRUE(NetAddressEqual(letGo.address, V4(0x0A000000 + 700)));
    EXPECT_EQ(set.count, kBlockCap);
    EXPECT_EQ(BlockSetFind(set, V4(0xCB007106)), (int)kBlockCap - 1);
    std::string text = RuleText(set);
    EXPECT_EQ(text.substr(0, 18), "10.0.0.0,10.0.0.1,");
    EXPECT_EQ(text.substr(text.size() - 12), ",203.0.113.6");
    EXPECT_EQ(text.find(",10.0.2.188,"), std::string::npos); // the 701st, let go
}

TEST(BlockSet, EndsCountOnAcrossARestartAndTheWriteWaitsOutATickWrap)
{
    const uint64_t start = 1765300000; // wall-clock seconds: a restart changes nothing
    EXPECT_EQ(BlockEndTime(start, 60), start + 3600);
    EXPECT_EQ(BlockEndTime(start, 0), 0u);
    EXPECT_EQ(BlockEndTime(start, 0xFFFFFFFF), start + 60ull * kMaxBlockMinutes);
    static BlockSet set = {};
    BlockSetAdd(&set, V4(0xCB007105), start + 3600, NULL);
    BlockSetAdd(&set, V4(0xCB007106), 0, NULL);
    BlockEntry out;
    EXPECT_FALSE(BlockSetTakeExpired(&set, start + 3599, &out));
    EXPECT_TRUE(BlockSetTakeExpired(&set, start + 3600, &out));
    EXPECT_TRUE(NetAddressEqual(out.address, V4(0xCB007105)));
    EXPECT_FALSE(BlockSetTakeExpired(&set, UINT64_MAX, &out)); // for good stays
    char left[32];
    const struct {
        uint64_t end, now;
        const char* text;
    } times[] = {{0, start, "until unblocked"},
                 {start + 30, start, "1 min left"},
                 {start + 3600, start, "60 min left"},
                 {start + 3661, start, "1 h 2 min left"},
                 {start, start, "ending"}};
    for (const auto& t : times) {
        BuildTimeLeft(BlockEntry{V4(1), t.end}, t.now, left);
        EXPECT_STREQ(left, t.text);
    }
    const struct {
        bool changed, written;
        uint32_t now, last;
        bool due;
    } writes[] = {{false, false, 5, 0, false},          {true, false, 5, 0, true},
                  {true, true, 999, 0, false},          {true, true, 1000, 0, true},
                  {true, true, 300, 0xFFFFFF00, false}, {true, true, 800, 0xFFFFFF00, true}};
    for (const auto& w : writes)
        EXPECT_EQ(BlockWriteDue(w.changed, w.written, w.now, w.last), w.due) << w.now;
}

TEST(BlockSet, StoredEntriesReadBackAndBadOnesAreNamed)
{
    static BlockSet set = {};
    BlockSetAdd(&set, V4(0xCB007105), 1765300000, NULL);
    BlockSetAdd(&set, V6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 5}), 0, NULL);
    static char multi[kBlockMultiSize];
    size_t bytes = BlockSetMulti(set, multi, sizeof multi);
    EXPECT_EQ(std::string(multi, bytes),
              std::string("203.0.113.5 1765300000\0002001:db8::5 0\0\0", 38));
    std::string stored = std::string(multi, bytes - 1) + "10.0.0.0/8 5" + '\0' + "1.2.3.4 07" +
                         '\0' + "1.2.3.4 x" + '\0' + "fe80::1%3 5" + '\0' +
                         " 1.2.3.4 99999999999999999999" + '\0' + "  " + '\0' +
                         " ::ffff:1.2.3.4 5 ";
    static BlockSet back = {};
    BlockLoadReport report = BlockSetFromMulti(stored.data(), stored.size(), &back);
    EXPECT_EQ(report.invalid, 5u);
    EXPECT_STREQ(report.firstBad, "10.0.0.0/8 5");
    ASSERT_EQ(back.count, 3u);
    EXPECT_EQ(back.entries[0].end, 1765300000u);
    EXPECT_EQ(back.entries[1].end, 0u);
    EXPECT_TRUE(NetAddressEqual(back.entries[2].address, V4(0x01020304)));
    char line[64];
    BuildBlockedLine(60, line);
    EXPECT_STREQ(line, "   Blocked for 60 minutes");
    BuildBlockedLine(0, line);
    EXPECT_STREQ(line, "   Blocked until unblocked");
    BuildUnblockedLine(V4(0xCB007105), "time up", line);
    EXPECT_STREQ(line, "Unblocked 203.0.113.5 (time up)");
}

} // namespace
