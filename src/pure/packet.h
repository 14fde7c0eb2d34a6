// IPv4 + TCP and IPv6 + TCP header parsing for the stealth watch, which reads
// packets from raw sockets. Everything is judged from the bytes received:
// the header fields are the sender's word and may lie.
#ifndef HARBINEL_PACKET_H
#define HARBINEL_PACKET_H

#include <stddef.h>
#include <stdint.h>

// What the stealth watch reads of each packet: the longest an IP packet's
// own length field can give, so that a packet comes whole on any interface
// (loopback's MTU is 64 KiB), however long its chain of IPv6 extension
// headers.
const size_t kWatchPacketBytes = 65535;

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

struct TcpPacket6 {
    uint8_t sourceAddress[16]; // network byte order, as in an in6_addr
    uint8_t destinationAddress[16];
    uint16_t sourcePort; // host byte order
    uint16_t destinationPort;
    uint8_t flags;
};

// Fills out from the length bytes at data. False, with out untouched, unless
// they hold a whole TCP header (data offset 5 words or more, all of it inside
// the bytes). Reads nothing at or past data + length.
//
// withIpHeader true: data starts at the IPv6 header, as a socket receiving
// every packet hands it over. The chain of hop-by-hop (first only), routing,
// destination options and fragment headers is followed to TCP; a fragment
// other than the first, or any other header (ESP, AH, no next header, a
// jumbogram's zero payload length), gives false. Bytes past the payload
// length are padding; a payload length past the bytes counts for the bytes.
// The addresses come from the header; the two pointers are not read.
//
// withIpHeader false: data is the TCP segment alone, as a raw IPv6 TCP
// socket hands it over. The addresses are copied from source (recvfrom's
// address) and destination (from the packet info, when the socket gives it);
// a null pointer gives the unspecified address ::.
bool ParseTcpPacket6(const unsigned char* data, size_t length, bool withIpHeader,
                     const uint8_t* source, const uint8_t* destination, TcpPacket6* out);

bool IsConnectionAttempt(const TcpPacket6& packet);

#endif
