// IPv4 + TCP and IPv6 + TCP header parsing. Every length in the headers is
// checked against the bytes that actually arrived before anything behind it
// is read.
#include "packet.h"

#include <string.h>

static const size_t kIpMinHeader = 20;
static const size_t kTcpMinHeader = 20;
static const unsigned char kProtocolTcp = 6;

static const size_t kIp6Header = 40;
static const unsigned char kNextHopByHop = 0;
static const unsigned char kNextRouting = 43;
static const unsigned char kNextFragment = 44;
static const unsigned char kNextDestination = 60;

static uint16_t Read16(const unsigned char* p)
{
    return (uint16_t)((p[0] << 8) | p[1]);
}

bool ParseTcpPacket(const unsigned char* data, size_t length, TcpPacket* out)
{
    if (data == NULL || length < kIpMinHeader)
        return false;
    if ((data[0] >> 4) != 4)
        return false;
    size_t ipHeader = (size_t)(data[0] & 0x0f) * 4;
    if (ipHeader < kIpMinHeader || ipHeader > length)
        return false;
    // Bytes past the total length are link padding, not packet; a total
    // length beyond what arrived cannot be trusted either.
    size_t total = Read16(data + 2);
    if (total < ipHeader)
        return false;
    if (total > length)
        total = length;
    if (data[9] != kProtocolTcp)
        return false;
    // Only the first fragment carries the TCP header; later ones would make
    // payload bytes look like ports and flags.
    if ((Read16(data + 6) & 0x1fff) != 0)
        return false;

    const unsigned char* tcp = data + ipHeader;
    size_t tcpRoom = total - ipHeader;
    if (tcpRoom < kTcpMinHeader)
        return false;
    size_t tcpHeader = (size_t)(tcp[12] >> 4) * 4;
    if (tcpHeader < kTcpMinHeader || tcpHeader > tcpRoom)
        return false;

    memcpy(&out->sourceAddress, data + 12, 4);
    memcpy(&out->destinationAddress, data + 16, 4);
    out->sourcePort = Read16(tcp);
    out->destinationPort = Read16(tcp + 2);
    out->flags = tcp[13];
    return true;
}

bool IsConnectionAttempt(const TcpPacket& packet)
{
    return (packet.flags & (kTcpSyn | kTcpAck)) == kTcpSyn;
}

// The TCP header at tcp, room bytes of which arrived.
static bool TcpHeaderFits(const unsigned char* tcp, size_t room)
{
    if (room < kTcpMinHeader)
        return false;
    const size_t header = (size_t)(tcp[12] >> 4) * 4;
    return header >= kTcpMinHeader && header <= room;
}

// Where the TCP header starts behind the IPv6 header and its extensions, or
// 0 when there is none to read. *end is where the packet's bytes stop.
static size_t FindTcp6(const unsigned char* data, size_t length, size_t* end)
{
    if (length < kIp6Header || (data[0] >> 4) != 6)
        return 0;
    const size_t payload = Read16(data + 4);
    if (payload == 0)
        return 0; // a jumbogram or nothing at all: neither holds a SYN here
    *end = kIp6Header + payload < length ? kIp6Header + payload : length;
    unsigned char next = data[6];
    size_t at = kIp6Header;
    // Every header moves at on by 8 bytes or more, so the loop ends with the
    // bytes whatever they claim.
    for (;;) {
        if (next == kProtocolTcp)
            return at;
        if (at + 8 > *end)
            return 0;
        const unsigned char* h = data + at;
        if (next == kNextFragment) {
            // Only the first fragment carries the TCP header.
            if ((Read16(h + 2) & 0xfff8) != 0)
                return 0;
            at += 8;
        } else if ((next == kNextHopByHop && at == kIp6Header) || next == kNextRouting ||
                   next == kNextDestination) {
            at += ((size_t)h[1] + 1) * 8;
        } else {
            return 0;
        }
        next = h[0];
    }
}

bool ParseTcpPacket6(const unsigned char* data, size_t length, bool withIpHeader,
                     const uint8_t* source, const uint8_t* destination, TcpPacket6* out)
{
    if (data == NULL)
        return false;
    size_t at = 0, end = length;
    if (withIpHeader && (at = FindTcp6(data, length, &end)) == 0)
        return false;
    // at may lie past end when an extension header claims more than arrived.
    if (at > end || !TcpHeaderFits(data + at, end - at))
        return false;
    if (withIpHeader) {
        memcpy(out->sourceAddress, data + 8, 16);
        memcpy(out->destinationAddress, data + 24, 16);
    } else {
        memset(out->sourceAddress, 0, 16);
        memset(out->destinationAddress, 0, 16);
        if (source != NULL)
            memcpy(out->sourceAddress, source, 16);
        if (destination != NULL)
            memcpy(out->destinationAddress, destination, 16);
    }
    const unsigned char* tcp = data + at;
    out->sourcePort = Read16(tcp);
    out->destinationPort = Read16(tcp + 2);
    out->flags = tcp[13];
    return true;
}

bool IsConnectionAttempt(const TcpPacket6& packet)
{
    return (packet.flags & (kTcpSyn | kTcpAck)) == kTcpSyn;
}
