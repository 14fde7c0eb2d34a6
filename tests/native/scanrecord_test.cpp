// The scan record's texts that every output sends away: the one-line
// summary of each kind, a sweep's line, and the addresses of a caller that
// left before anyone could see it.
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "guarded.h"
#include "pure/scanrecord.h"

namespace {

uint32_t NetworkOrder(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t out;
    memcpy(&out, bytes, sizeof out);
    return out;
}

ScanRecord Record(ScanKind kind)
{
    ScanRecord r = {};
    r.kind = kind;
    r.caller = NetAddressFromV4(NetworkOrder(203, 0, 113, 5));
    r.callerPort = 51234;
    r.local = NetAddressFromV4(NetworkOrder(192, 168, 1, 2));
    r.port = r.highPort = 31337;
    r.portCount = 1;
    r.countExact = true;
    return r;
}

TEST(ScanSummary, EachKindInOneLine)
{
    ScanRecord sweep = Record(kScanSweep);
    sweep.port = 1;
    sweep.highPort = 1024;
    sweep.portCount = 12;
    ScanRecord roughSweep = sweep;
    roughSweep.countExact = false;
    const uint8_t linkLocal[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 203, 0, 113, 5};
    ScanRecord v6 = Record(kScanStealth);
    v6.caller = NetAddressFromV6(linkLocal, 12);
    v6.local = NetAddressFromV6(linkLocal, 12);
    v6.local.bytes[15] = 2;
    ScanRecord v6Sweep = sweep;
    v6Sweep.caller = NetAddressFromV6(linkLocal, 0);
    ScanRecord unmapped = Record(kScanConnect);
    unmapped.caller = Unmap(NetAddressFromV6(mapped, 0));
    ScanRecord trusted = Record(kScanConnect);
    trusted.trusted = true;
    const struct {
        const char* name;
        ScanRecord record;
        const char* rdns;
        const char* summary;
    } cases[] = {
        {"connect", Record(kScanConnect), NULL, "Scan from 203.0.113.5:51234 on 192.168.1.2:31337"},
        {"connect, named", Record(kScanConnect), "host.example",
         "Scan from 203.0.113.5:51234 on 192.168.1.2:31337 (host.example)"},
        {"connect, no name", Record(kScanConnect), "",
         "Scan from 203.0.113.5:51234 on 192.168.1.2:31337"},
        {"stealth", Record(kScanStealth), NULL,
         "Stealth scan from 203.0.113.5:51234 on 192.168.1.2:31337"},
        {"gone: its address is never shown", Record(kScanGone), "host.example",
         "Scan on port 31337 from a caller that left at once (host.example)"},
        {"sweep", sweep, NULL, "Port sweep from 203.0.113.5: 12 ports, 1-1024"},
        {"sweep with repeats", roughSweep, NULL,
         "Port sweep from 203.0.113.5: up to 12 ports, 1-1024"},
        {"IPv6 in brackets, with its zone", v6, NULL,
         "Stealth scan from [fe80::1%12]:51234 on [fe80::2%12]:31337"},
        {"IPv6 sweep", v6Sweep, NULL, "Port sweep from fe80::1: 12 ports, 1-1024"},
        {"an IPv4 caller handed over mapped reads as IPv4", unmapped, NULL,
         "Scan from 203.0.113.5:51234 on 192.168.1.2:31337"},
        {"trusted", trusted, "h", "Scan from 203.0.113.5:51234 on 192.168.1.2:31337 (trusted) (h)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char out[200];
        BuildScanSummary(c.record, c.rdns, out);
        EXPECT_STREQ(out, c.summary);
        ExpectBoundedPrefixes(c.summary, [&](char* mem, size_t size) {
            BuildScanSummaryN(c.record, c.rdns, mem, size);
        });
    }
}

TEST(ScanSummary, AddressesOfAGoneCallerAreUnknown)
{
    ScanRecord gone = Record(kScanGone);
    char caller[16], local[16];
    FormatScanCaller(gone, caller);
    FormatScanLocal(gone, local);
    EXPECT_STREQ(caller, "-");
    EXPECT_STREQ(local, "-");
    ScanRecord seen = Record(kScanStealth);
    FormatScanCaller(seen, caller);
    FormatScanLocal(seen, local);
    EXPECT_STREQ(caller, "203.0.113.5");
    EXPECT_STREQ(local, "192.168.1.2");
}

TEST(ScanSummary, SweepLineTakesItsMiddle)
{
    ScanRecord sweep = Record(kScanSweep);
    sweep.port = 20;
    sweep.highPort = 39;
    sweep.portCount = 20;
    char line[128];
    BuildSweepLine(sweep, " went on: ", line);
    EXPECT_STREQ(line, "Port sweep from 203.0.113.5 went on: 20 ports, 20-39");
    EXPECT_STREQ(ScanKindName(kScanSweep), "sweep");
    EXPECT_STREQ(ScanKindName(kScanGone), "gone");
}

} // namespace
