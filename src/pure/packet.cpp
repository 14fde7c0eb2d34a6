// IPv4 + TCP header parsing. Every length in the headers is checked against
// the bytes that actually arrived before anything behind it is read.
#include "packet.h"

#include <string.h>

static const size_t kIpMinHeader = 20;
static const size_t kTcpMinHeader = 20;
static const unsigned char kProtocolTcp = 6;

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
