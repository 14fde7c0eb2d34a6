// The raw-socket packet parser against short, lying and random packets. Every
// parse reads from a heap block of exactly the packet's length, so the
// sanitizer reports any read past the bytes received.
#include <stdint.h>
#include <string.h>

#include <functional>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "pure/packet.h"

namespace {

typedef std::vector<unsigned char> Bytes;

// A SYN from 192.0.2.7:40000 to 198.51.100.2:8080 with 20 bytes of TCP
// options: 60 bytes in all.
Bytes ValidSyn()
{
    Bytes p = {0x45, 0,   0, 60,   0x12, 0x34, 0x40, 0, 64, 6, 0, 0, 192, 0, 2, 7,    198,
               51,   100, 2, 0x9c, 0x40, 0x1f, 0x90, 0, 0,  0, 1, 0, 0,   0, 0, 0xa0, kTcpSyn};
    p.resize(60, 1);
    return p;
}

bool Parse(const Bytes& bytes, TcpPacket* out)
{
    std::unique_ptr<unsigned char[]> exact(new unsigned char[bytes.size()]);
    if (!bytes.empty())
        memcpy(exact.get(), bytes.data(), bytes.size());
    return ParseTcpPacket(exact.get(), bytes.size(), out);
}

TEST(ParseTcpPacket, EveryShortReadIsRejected)
{
    const Bytes whole = ValidSyn();
    for (size_t length = 0; length < whole.size(); ++length) {
        SCOPED_TRACE(length);
        TcpPacket p;
        EXPECT_FALSE(Parse(Bytes(whole.begin(), whole.begin() + length), &p));
    }
    EXPECT_FALSE(ParseTcpPacket(nullptr, 0, nullptr));
}

TEST(ParseTcpPacket, HeaderFieldsAreCheckedAgainstTheBytes)
{
    typedef std::function<void(Bytes&)> Change;
    // clang-format off
    const struct { const char* name; Change change; bool accepted; } cases[] = {
        {"valid SYN", [](Bytes&) {}, true},
        {"IP options move the TCP header",
         [](Bytes& p) { p.insert(p.begin() + 20, 4, 1), p[0] = 0x46, p[3] = 64; }, true},
        {"IHL 0", [](Bytes& p) { p[0] = 0x40; }, false},
        {"IHL 4", [](Bytes& p) { p[0] = 0x44; }, false},
        {"IHL 15 leaves no TCP header", [](Bytes& p) { p[0] = 0x4f; }, false},
        {"IHL 15 past the bytes", [](Bytes& p) { p[0] = 0x4f, p.resize(40); }, false},
        {"version 6", [](Bytes& p) { p[0] = 0x65; }, false},
        {"UDP", [](Bytes& p) { p[9] = 17; }, false},
        {"first fragment", [](Bytes& p) { p[6] = 0x20; }, true},
        {"later fragment", [](Bytes& p) { p[6] = 0x20, p[7] = 1; }, false},
        {"last fragment", [](Bytes& p) { p[6] = 0x01, p[7] = 0; }, false},
        {"total length 0", [](Bytes& p) { p[3] = 0; }, false},
        {"total length under the IP header", [](Bytes& p) { p[3] = 19; }, false},
        {"total length cuts the TCP options", [](Bytes& p) { p[3] = 59; }, false},
        {"total length past the bytes", [](Bytes& p) { p[2] = 0x40; }, true},
        {"link padding after the packet", [](Bytes& p) { p.resize(64, 0xee); }, true},
        {"data offset 0", [](Bytes& p) { p[32] = 0x00; }, false},
        {"data offset 4", [](Bytes& p) { p[32] = 0x40; }, false},
        {"data offset 5", [](Bytes& p) { p[32] = 0x50; }, true},
        {"data offset 11", [](Bytes& p) { p[32] = 0xb0; }, false},
        {"data offset 15", [](Bytes& p) { p[32] = 0xf0; }, false},
    };
    // clang-format on
    const unsigned char src[4] = {192, 0, 2, 7}, dst[4] = {198, 51, 100, 2};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = ValidSyn();
        c.change(bytes);
        TcpPacket p = {1, 2, 3, 4, 5};
        ASSERT_EQ(Parse(bytes, &p), c.accepted);
        EXPECT_EQ(p.sourcePort, c.accepted ? 40000 : 3) << "a rejected packet changed out";
        if (!c.accepted)
            continue;
        EXPECT_EQ(memcmp(&p.sourceAddress, src, 4), 0);
        EXPECT_EQ(memcmp(&p.destinationAddress, dst, 4), 0);
        EXPECT_EQ(p.destinationPort, 8080);
        EXPECT_EQ(p.flags, kTcpSyn);
    }
}

TEST(IsConnectionAttempt, SynWithoutAck)
{
    const uint8_t attempts[] = {kTcpSyn, kTcpSyn | 0xc0, kTcpSyn | kTcpFin};
    const uint8_t others[] = {kTcpSyn | kTcpAck, kTcpAck, kTcpRst, 0, 0xff};
    for (uint8_t flags : attempts)
        EXPECT_TRUE(IsConnectionAttempt(TcpPacket{0, 0, 1, 2, flags})) << (int)flags;
    for (uint8_t flags : others)
        EXPECT_FALSE(IsConnectionAttempt(TcpPacket{0, 0, 1, 2, flags})) << (int)flags;
}

// Accepted packets must be what the bytes say: IPv4, TCP, no later fragment,
// both headers inside the bytes and the total length, fields from the TCP
// header where IHL puts it.
TEST(ParseTcpPacket, RandomMutationsNeverReadPastTheBytes)
{
    std::mt19937 random(13);
    const size_t hot[] = {0, 2, 3, 6, 7, 9, 32}; // lengths, fragments, protocol
    size_t accepted = 0;
    for (int round = 0; round < 200000; ++round) {
        Bytes p = ValidSyn();
        p.resize(random() % 90, (unsigned char)random());
        for (int n = random() % 4; n >= 0 && !p.empty(); --n) {
            size_t at = random() % 2 ? hot[random() % 7] : random() % p.size();
            if (at < p.size())
                p[at] = (unsigned char)random();
        }
        TcpPacket out;
        if (!Parse(p, &out))
            continue;
        ++accepted;
        size_t ipHeader = (p[0] & 15) * 4, total = (size_t)p[2] << 8 | p[3];
        ASSERT_EQ(p[0] >> 4, 4);
        ASSERT_EQ(p[9], 6);
        ASSERT_EQ((p[6] & 0x1f) | p[7], 0);
        ASSERT_LE(ipHeader + (p[ipHeader + 12] >> 4) * 4, std::min(total, p.size()));
        ASSERT_EQ(out.sourcePort, p[ipHeader] << 8 | p[ipHeader + 1]);
        ASSERT_EQ(out.destinationPort, p[ipHeader + 2] << 8 | p[ipHeader + 3]);
        ASSERT_EQ(out.flags, p[ipHeader + 13]);
    }
    EXPECT_GT(accepted, 1000u) << "the mutations hardly ever reach the field reads";
}

} // namespace
