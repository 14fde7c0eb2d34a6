// IPv4 + TCP header parsing for the stealth watch, which reads whole IP
// packets from a raw socket. Everything is judged from the bytes received:
// the header fields are the sender's word and may lie.
#ifndef HARBINEL_PACKET_H
#define HARBINEL_PACKET_H

#include <stddef.h>
#include <stdint.h>

// TCP flag bits as they stand in the header's flags byte.
const uint8_t kTcpFin = 0x01;
const uint8_t kTcpSyn = 0x02;
const uint8_t kTcpRst = 0x04;
const uint8_t kTcpPsh = 0x08;
const uint8_t kTcpAck = 0x10;
const uint8_t kTcpUrg = 0x20;

struct TcpPacket {
    // The four address bytes as they arrived (network byte order), ready to
    // be copied into an in_addr.
    uint32_t sourceAddress;
    uint32_t destinationAddress;
    uint16_t sourcePort; // host byte order
    uint16_t destinationPort;
    uint8_t flags;
};

// Fills out from the length bytes at data, which start at the IPv4 header.
// False, with out untouched, unless the bytes hold an IPv4 header and a whole
// TCP header of an unfragmented packet or of a first fragment. Reads nothing
// at or past data + length.
bool ParseTcpPacket(const unsigned char* data, size_t length, TcpPacket* out);

// A connection's opening SYN: SYN set and ACK clear. The SYN-ACK of our own
// listeners and everything later in a connection carry ACK.
bool IsConnectionAttempt(const TcpPacket& packet);

#endif
