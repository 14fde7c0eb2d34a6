// The raw-socket packet parsers, IPv4 and IPv6, against short, lying and
// random packets. Every
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

// A SYN from 2001:db8::7:40000 to 2001:db8::2:8080 with 4 bytes of TCP
// options, behind the extension headers given as (type, length byte).
Bytes ValidSyn6(std::vector<std::pair<uint8_t, uint8_t>> extensions = {})
{
    Bytes p(40, 0);
    p[0] = 0x60, p[7] = 64, p[8] = p[24] = 0x20, p[9] = p[25] = 0x01;
    p[10] = p[26] = 0x0d, p[11] = p[27] = 0xb8, p[23] = 7, p[39] = 2;
    size_t next = 6; // where the last header names the one behind it
    for (const auto& e : extensions) {
        p[next] = e.first, next = p.size();
        p.resize(p.size() + (e.first == 44 ? 8 : (e.second + 1) * 8), 0);
        p[next + 1] = e.second;
    }
    p[next] = 6;
    const Bytes tcp = {0x9c, 0x40,    0x1f, 0x90, 0, 0, 0, 1, 0, 0, 0, 0,
                       0x60, kTcpSyn, 0,    0,    0, 0, 0, 0, 2, 4, 5, 0xb4};
    p.insert(p.end(), tcp.begin(), tcp.end());
    p[4] = (unsigned char)((p.size() - 40) >> 8), p[5] = (unsigned char)(p.size() - 40);
    return p;
}

const std::vector<std::pair<uint8_t, uint8_t>> kChain = {{0, 0}, {43, 1}, {60, 0}, {44, 0}};

bool Parse6(const Bytes& bytes, bool withIpHeader, TcpPacket6* out, const uint8_t* source = nullptr)
{
    std::unique_ptr<unsigned char[]> exact(new unsigned char[bytes.size()]);
    if (!bytes.empty())
        memcpy(exact.get(), bytes.data(), bytes.size());
    return ParseTcpPacket6(exact.get(), bytes.size(), withIpHeader, source, nullptr, out);
}

TEST(ParseTcpPacket6, HeadersAreFollowedAndCheckedAgainstTheBytes)
{
    typedef std::function<void(Bytes&)> Change;
    const size_t tcp = 40 + 40; // behind kChain
    // clang-format off
    const struct { const char* name; bool chain; Change change; bool accepted; } cases[] = {
        {"no extensions", false, [](Bytes&) {}, true},
        {"hop-by-hop, routing, options, first fragment", true, [](Bytes&) {}, true},
        {"more fragments follow", true, [](Bytes& p) { p[75] = 1; }, true},
        {"later fragment", true, [](Bytes& p) { p[74] = 0x08; }, false},
        {"hop-by-hop not first", true, [](Bytes& p) { p[6] = 43, p[40] = 0; }, false},
        {"ESP", false, [](Bytes& p) { p[6] = 50; }, false},
        {"AH", true, [](Bytes& p) { p[72] = 51; }, false},
        {"no next header", true, [](Bytes& p) { p[72] = 59; }, false},
        {"UDP", false, [](Bytes& p) { p[6] = 17; }, false},
        {"version 4", false, [](Bytes& p) { p[0] = 0x40; }, false},
        {"payload length 0", false, [](Bytes& p) { p[4] = p[5] = 0; }, false},
        {"payload length cuts the TCP options", false, [](Bytes& p) { p[5] = 23; }, false},
        {"payload length past the bytes", false, [](Bytes& p) { p[4] = 0x40; }, true},
        {"link padding after the packet", false, [](Bytes& p) { p.resize(80, 0xee); }, true},
        {"routing length past the bytes", true, [](Bytes& p) { p[49] = 20; }, false},
        {"extension past the payload length", true, [](Bytes& p) { p[5] = 31; }, false},
        {"data offset 4", false, [](Bytes& p) { p[52] = 0x40; }, false},
        {"data offset 5", false, [](Bytes& p) { p[52] = 0x50; }, true},
        {"data offset 7", false, [](Bytes& p) { p[52] = 0x70; }, false},
        {"data offset 6 cut by a byte", true, [tcp](Bytes& p) { p.resize(tcp + 23); }, false},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = c.chain ? ValidSyn6(kChain) : ValidSyn6();
        c.change(bytes);
        TcpPacket6 p = {{1}, {2}, 3, 4, 5};
        ASSERT_EQ(Parse6(bytes, true, &p), c.accepted);
        EXPECT_EQ(p.sourcePort, c.accepted ? 40000 : 3) << "a rejected packet changed out";
        if (!c.accepted)
            continue;
        EXPECT_EQ(memcmp(p.sourceAddress, bytes.data() + 8, 16), 0);
        EXPECT_EQ(memcmp(p.destinationAddress, bytes.data() + 24, 16), 0);
        EXPECT_EQ(p.destinationPort, 8080);
        EXPECT_TRUE(IsConnectionAttempt(p));
    }
}

TEST(ParseTcpPacket6, TheSegmentAloneTakesTheCallersAddresses)
{
    const Bytes whole = ValidSyn6(kChain), segment(whole.end() - 24, whole.end());
    for (size_t length = 0; length < whole.size(); ++length) {
        SCOPED_TRACE(length);
        TcpPacket6 p;
        EXPECT_FALSE(Parse6(Bytes(whole.begin(), whole.begin() + length), true, &p));
        if (length < segment.size()) {
            EXPECT_FALSE(Parse6(Bytes(segment.begin(), segment.begin() + length), false, &p));
        }
    }
    const uint8_t source[16] = {0xfe, 0x80, 15, 1};
    TcpPacket6 p = {{1}, {2}, 3, 4, 5};
    ASSERT_TRUE(Parse6(segment, false, &p, source));
    EXPECT_EQ(memcmp(p.sourceAddress, source, 16), 0);
    EXPECT_EQ(memcmp(p.destinationAddress, Bytes(16, 0).data(), 16), 0);
    EXPECT_EQ(p.sourcePort, 40000);
    EXPECT_EQ(p.destinationPort, 8080);
    Bytes bad = segment;
    bad[12] = 0x70;
    EXPECT_FALSE(Parse6(bad, false, &p));
    EXPECT_FALSE(ParseTcpPacket6(nullptr, 0, false, nullptr, nullptr, &p));
}

// A SYN behind 304 bytes of extension headers, with data filling a packet of
// 1,600 bytes, as the watch reads it from its socket: whole.
TEST(ParseTcpPacket6, ALongHeaderChainIsReadWhole)
{
    Bytes p = ValidSyn6({{0, 15}, {43, 12}, {60, 7}, {44, 0}});
    ASSERT_EQ(p.size(), 40u + 304 + 24);
    p.resize(1600, 0xaa);
    p[4] = (1600 - 40) >> 8, p[5] = (1600 - 40) & 0xff;
    const Bytes read(p.begin(), p.begin() + std::min(p.size(), kWatchPacketBytes));
    TcpPacket6 out;
    ASSERT_TRUE(Parse6(read, true, &out));
    EXPECT_EQ(out.destinationPort, 8080);
    EXPECT_TRUE(IsConnectionAttempt(out));
}

// Accepted packets must be what the bytes say; the walk below is the plain
// reading of the rules, checked against what the parser gave.
TEST(ParseTcpPacket6, RandomMutationsNeverReadPastTheBytes)
{
    std::mt19937 random(17);
    const size_t hot[] = {0, 4, 5, 6, 40, 41, 48, 49, 64, 65, 72, 74, 75, 92};
    size_t accepted = 0;
    for (int round = 0; round < 200000; ++round) {
        Bytes p = ValidSyn6(kChain);
        const bool withIpHeader = round % 4 != 0;
        if (!withIpHeader)
            p.erase(p.begin(), p.begin() + 80);
        p.resize(random() % (p.size() + 16), (unsigned char)random());
        for (int n = random() % 4; n >= 0 && !p.empty(); --n) {
            size_t at = random() % 2 ? hot[random() % 14] : random() % p.size();
            if (at < p.size())
                p[at] = (unsigned char)random();
        }
        TcpPacket6 out;
        if (!Parse6(p, withIpHeader, &out))
            continue;
        ++accepted;
        size_t at = 0, end = p.size();
        if (withIpHeader) {
            ASSERT_EQ(p[0] >> 4, 6);
            end = std::min(end, 40 + (size_t)(p[4] << 8 | p[5]));
            ASSERT_GT(end, 40u);
            at = 40;
            for (unsigned char next = p[6]; next != 6;) {
                ASSERT_LE(at + 8, end);
                ASSERT_TRUE((next == 0 && at == 40) || next == 43 || next == 60 ||
                            (next == 44 && (p[at + 2] << 8 | (p[at + 3] & 0xf8)) == 0));
                size_t n = next == 44 ? 8 : (p[at + 1] + 1) * 8;
                next = p[at], at += n;
            }
        }
        ASSERT_GE(p[at + 12] >> 4, 5);
        ASSERT_LE(at + (p[at + 12] >> 4) * 4, end);
        ASSERT_EQ(out.sourcePort, p[at] << 8 | p[at + 1]);
        ASSERT_EQ(out.destinationPort, p[at + 2] << 8 | p[at + 3]);
        ASSERT_EQ(out.flags, p[at + 13]);
    }
    EXPECT_GT(accepted, 1000u) << "the mutations hardly ever reach the field reads";
}

} // namespace
