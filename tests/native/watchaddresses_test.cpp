// The stealth watch's address comparison (what to open and close as local
// addresses come and go, within the cap) and its two log lines.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "addresses.h"
#include "pure/watchaddresses.h"

namespace {

// Small numbers stand for addresses: below 100 the IPv4 address of that
// value (0 is 0.0.0.0), from 100 on the IPv6 address ::(n - 100), so 100 is
// the unspecified "::" and 101 is ::1, distinct from IPv4 1.
typedef std::vector<uint32_t> List;

NetAddress Address(uint32_t n)
{
    return n < 100 ? NetAddressFromV4Host(n) : V6({0, 0, 0, 0, 0, 0, 0, n - 100});
}

std::vector<NetAddress> Addresses(const List& list)
{
    std::vector<NetAddress> out;
    for (uint32_t n : list)
        out.push_back(Address(n));
    return out;
}

List Numbers(const NetAddress* list, size_t count)
{
    List out;
    for (size_t i = 0; i < count; ++i)
        out.push_back(list[i].family == kFamilyV4 ? NetAddressV4Host(list[i])
                                                  : 100u + list[i].bytes[15]);
    return out;
}

struct CompareCase {
    const char* name;
    List watched, found;
    size_t cap;
    List open, close;
    size_t leftOut;
};

TEST(CompareAddressSets, OpensTheNewClosesTheGoneWithinTheCap)
{
    const size_t kCap = kWatchAddressCap;
    // clang-format off
    const CompareCase cases[] = {
        {"empty, nothing found", {}, {}, kCap, {}, {}, 0},
        {"first listing", {}, {1, 2}, kCap, {1, 2}, {}, 0},
        {"added", {1, 2}, {1, 2, 3}, kCap, {3}, {}, 0},
        {"removed", {1, 2, 3}, {1, 3}, kCap, {}, {2}, 0},
        {"all gone", {1, 2}, {}, kCap, {}, {1, 2}, 0},
        {"added and removed", {1, 2}, {2, 4, 5}, kCap, {4, 5}, {1}, 0},
        {"unchanged", {1, 2, 3}, {1, 2, 3}, kCap, {}, {}, 0},
        {"reordered", {1, 2, 3}, {3, 1, 2}, kCap, {}, {}, 0},
        {"duplicates count once", {1}, {2, 1, 2, 2, 1}, kCap, {2}, {}, 0},
        {"no address is never watched", {}, {0, 7, 0}, kCap, {7}, {}, 0},
        {"nor is the unspecified IPv6 address", {}, {100, 107, 100}, kCap, {107}, {}, 0},
        {"IPv6 ::1 is not IPv4 1", {1}, {101, 2}, kCap, {101, 2}, {1}, 0},
        {"both families kept", {1, 101}, {101, 1}, kCap, {}, {}, 0},
        {"over the cap: the first listed", {}, {1, 2, 3, 4, 5}, 3, {1, 2, 3}, {}, 2},
        {"over the cap: the watched keep their place", {4, 5}, {1, 2, 3, 4, 5}, 3, {1}, {}, 2},
        {"over the cap: room freed by one gone", {1, 2, 3}, {9, 1, 3, 8}, 3, {9}, {2}, 1},
        {"over the cap: duplicates left out once", {}, {1, 2, 3, 3, 2}, 1, {1}, {}, 2},
        {"a cap above the fixed one is the fixed one", {},
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}, 100,
         {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, {}, 2},
    };
    // clang-format on
    for (const CompareCase& c : cases) {
        SCOPED_TRACE(c.name);
        AddressChanges out;
        memset(&out, 0xA5, sizeof out); // nothing of a previous use may stay
        const std::vector<NetAddress> watched = Addresses(c.watched), found = Addresses(c.found);
        CompareAddressSets(watched.data(), watched.size(), found.data(), found.size(), c.cap, &out);
        EXPECT_EQ(Numbers(out.open, out.openCount), c.open);
        EXPECT_EQ(Numbers(out.close, out.closeCount), c.close);
        EXPECT_EQ(out.leftOut, c.leftOut);
    }
}

TEST(WatchLines, CountsSayAddressOrAddresses)
{
    const struct {
        size_t count;
        const char* watching;
        const char* leftOut;
    } cases[] = {
        {0, "Stealth watch: watching 0 addresses",
         "Stealth watch: 0 more addresses not watched (8 at most)"},
        {1, "Stealth watch: watching 1 address",
         "Stealth watch: 1 more address not watched (8 at most)"},
        {2, "Stealth watch: watching 2 addresses",
         "Stealth watch: 2 more addresses not watched (8 at most)"},
        {8, "Stealth watch: watching 8 addresses",
         "Stealth watch: 8 more addresses not watched (8 at most)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        char line[64];
        BuildWatchingLine(c.count, line);
        EXPECT_STREQ(line, c.watching);
        BuildLeftOutLine(c.count, 8, line);
        EXPECT_STREQ(line, c.leftOut);
    }
}

// fe80::n on zone z, and 2001:db8::n.
NetAddress Link(unsigned n, uint32_t z)
{
    return V6({0xfe80, 0, 0, 0, 0, 0, 0, n}, z);
}
NetAddress Global(unsigned n)
{
    return V6({0x2001, 0xdb8, 0, 0, 0, 0, 0, n});
}

TEST(PlaceZones, OnlyALinkLocalSocketSpeaksForLinkLocalPackets)
{
    const struct {
        const char* name;
        NetAddress own;
        bool bare;
        uint32_t senderZone;
        NetAddress source, destination;
        bool taken;
        uint32_t sourceZone, destinationZone;
    } cases[] = {
        {"global caller to a global socket", Global(1), false, 0, Global(5), Global(1), true, 0, 0},
        {"link-local caller to the link-local socket", Link(1, 12), false, 0, Link(5, 0),
         Link(1, 0), true, 12, 12},
        {"link-local caller seen by a global socket of the interface", Global(1), false, 0,
         Link(5, 0), Link(1, 0), false, 0, 0},
        {"bare: the sender's zone", V6({}), true, 7, Link(5, 0), V6({}), true, 7, 0},
        {"bare global caller: no zone", V6({}), true, 7, Global(5), V6({}), true, 0, 0},
        {"a zone a global address came with is dropped", Link(1, 12), false, 0, Global(5),
         Global(9), true, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NetAddress source = c.source, destination = c.destination;
        source.zone = destination.zone = 99; // whatever came before is replaced
        EXPECT_EQ(PlaceZones(c.own, c.bare, c.senderZone, &source, &destination), c.taken);
        if (c.taken) {
            EXPECT_EQ(source.zone, c.sourceZone);
            EXPECT_EQ(destination.zone, c.destinationZone);
        }
    }
}

} // namespace
