// Addresses of either family: the RFC 5952 text, the port forms, and the
// unmapping that makes a dual-stack socket's IPv4 callers read as IPv4.
#include <stdint.h>
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "guarded.h"
#include "addresses.h"
#include "pure/netaddress.h"

namespace {

TEST(FormatNetAddress, WritesTheCanonicalText)
{
    const NetAddress widest =
        V6({0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff}, 0xffffffff);
    const struct {
        NetAddress address;
        const char* text;
        uint16_t port = 0; // 0: the form with a port is not checked
        const char* withPort = nullptr;
    } cases[] = {
        {NetAddressFromV4Host(0xC0000207), "192.0.2.7", 80, "192.0.2.7:80"},
        {V6({0, 0, 0, 0, 0, 0, 0, 0}), "::"},
        {V6({0, 0, 0, 0, 0, 0, 0, 1}), "::1", 1, "[::1]:1"},
        {V6({1, 0, 0, 0, 0, 0, 0, 0}), "1::"},
        {V6({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}), "2001:db8:0:1:1:1:1:1"}, // one zero stays
        {V6({0x2001, 0, 0, 1, 0, 0, 0, 1}), "2001:0:0:1::1"},            // longer run wins
        {V6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}), "2001:db8::1:0:0:1"},    // tie: the first
        {V6({0, 0, 1, 2, 3, 4, 0, 0}), "::1:2:3:4:0:0"},
        {V6({0x0abc, 0x00de, 0x000f, 0xABCD, 0, 0x10, 0x100, 0x1000}),
         "abc:de:f:abcd:0:10:100:1000"},
        {V6({0, 0, 0, 0, 0, 0xffff, 0x0102, 0x0304}), "::ffff:1.2.3.4"},
        {Unmap(V6({0, 0, 0, 0, 0, 0xffff, 0xC000, 0x0207}, 3)), "192.0.2.7"},
        {V6({0, 0, 0, 0, 0, 0xfffe, 0x0102, 0x0304}), "::fffe:102:304"},
        {V6({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 12), "fe80::1%12", 51234, "[fe80::1%12]:51234"},
        {widest, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295", 65535,
         "[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295]:65535"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        char out[kNetAddressTextSize], withPort[kNetAddressPortTextSize];
        FormatNetAddress(c.address, out);
        EXPECT_STREQ(out, c.text);
        ExpectBoundedPrefixes(c.text,
                              [&](char* o, size_t n) { FormatNetAddressN(c.address, o, n); });
        if (c.port == 0)
            continue;
        FormatNetAddressPort(c.address, c.port, withPort);
        EXPECT_STREQ(withPort, c.withPort);
        ExpectBoundedPrefixes(
            c.withPort, [&](char* o, size_t n) { FormatNetAddressPortN(c.address, c.port, o, n); });
    }
}

TEST(NetAddress, UnmappedCallersEqualTheirIPv4Selves)
{
    const uint8_t loopback[4] = {127, 0, 0, 1};
    uint32_t networkOrder;
    memcpy(&networkOrder, loopback, 4);
    const NetAddress v4 = NetAddressFromV4(networkOrder),
                     mapped = V6({0, 0, 0, 0, 0, 0xffff, 0x7F00, 1});
    EXPECT_EQ(NetAddressV4Host(v4), 0x7F000001u);
    EXPECT_FALSE(NetAddressEqual(mapped, v4));
    EXPECT_TRUE(NetAddressEqual(Unmap(mapped), v4));
    EXPECT_EQ(NetAddressHash(Unmap(mapped)), NetAddressHash(v4));
    // Neither the IPv4-compatible form nor a near miss is mapped.
    for (const NetAddress& a :
         {V6({0, 0, 0, 0, 0, 0, 0x7F00, 1}), V6({0, 0, 0, 0, 1, 0xffff, 0x7F00, 1}), v4})
        EXPECT_TRUE(!IsV4Mapped(a) && NetAddressEqual(Unmap(a), a));
    // The zone tells two link-local addresses apart.
    EXPECT_FALSE(NetAddressEqual(V6({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 1),
                                 V6({0xfe80, 0, 0, 0, 0, 0, 0, 1}, 2)));
}

TEST(NetAddress, LinkLocalIsFe80Slash10Only)
{
    const struct {
        NetAddress address;
        bool linkLocal;
    } cases[] = {
        {V6({0xfe80, 0, 0, 0, 0, 0, 0, 1}), true},
        {V6({0xfebf, 0xffff, 0, 0, 0, 0, 0, 1}, 3), true},
        {V6({0xfec0, 0, 0, 0, 0, 0, 0, 1}), false}, // just past the /10
        {V6({0xfe7f, 0, 0, 0, 0, 0, 0, 1}), false},
        {V6({0xff02, 0, 0, 0, 0, 0, 0, 1}), false},
        {V6({0, 0, 0, 0, 0, 0, 0, 1}), false},
        {NetAddressFromV4Host(0xfe800001), false}, // the same first bytes in IPv4
    };
    for (const auto& c : cases) {
        char text[kNetAddressTextSize];
        FormatNetAddress(c.address, text);
        EXPECT_EQ(IsLinkLocal(c.address), c.linkLocal) << text;
        // A socket's scope id is kept as the zone of a link-local address only.
        if (c.address.family == kFamilyV6) {
            EXPECT_EQ(NetAddressFromSocket6(c.address.bytes, 9).zone, c.linkLocal ? 9u : 0u)
                << text;
        }
    }
}

} // namespace
