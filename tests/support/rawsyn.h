// Hand-made TCP SYNs for the stealth watch's tests, Windows-side and
// end-to-end alike: a raw TCP socket (root under Wine) sends the TCP header
// and the system puts the IP header in front.
#ifndef HARBINEL_TESTS_RAWSYN_H
#define HARBINEL_TESTS_RAWSYN_H

#include <winsock2.h>
#include <ws2tcpip.h>

#include <string.h>

// A raw socket sending from `from`, a 127.0.0.0/8 address; INVALID_SOCKET
// when raw sockets are refused (not root). Winsock must be started.
inline SOCKET OpenSynSender(const char* from)
{
    SOCKET s = socket(AF_INET, SOCK_RAW, IPPROTO_TCP);
    sockaddr_in own = {};
    own.sin_family = AF_INET;
    own.sin_addr.s_addr = inet_addr(from);
    if (s != INVALID_SOCKET && bind(s, (sockaddr*)&own, sizeof own) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// Writes a 20-byte SYN header at tcp, the end of a pseudo-header of
// pseudoBytes (both addresses, length and protocol, as the family has it),
// and its checksum over both.
inline void FillSyn(unsigned char* pseudo, size_t pseudoBytes, u_short sourcePort, u_short port)
{
    unsigned char* tcp = pseudo + pseudoBytes;
    const u_short fields[] = {htons(sourcePort), htons(port)};
    memcpy(tcp, fields, 4);
    tcp[7] = 1;       // sequence number
    tcp[12] = 5 << 4; // header length: five words
    tcp[13] = 0x02;   // SYN
    tcp[14] = tcp[15] = 0xFF;
    unsigned long sum = 0;
    for (size_t i = 0; i < pseudoBytes + 20; i += 2)
        sum += (unsigned long)(pseudo[i] << 8 | pseudo[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    tcp[16] = (unsigned char)(~sum >> 8);
    tcp[17] = (unsigned char)~sum;
}

// One SYN from `from`:sourcePort to 127.0.0.1:port.
inline bool SendSyn(SOCKET s, const char* from, u_short sourcePort, u_short port)
{
    unsigned char pseudo[12 + 20] = {};
    const u_long source = inet_addr(from), target = inet_addr("127.0.0.1");
    memcpy(pseudo, &source, 4);
    memcpy(pseudo + 4, &target, 4);
    pseudo[9] = IPPROTO_TCP;
    pseudo[11] = 20;
    FillSyn(pseudo, 12, sourcePort, port);
    const unsigned char* tcp = pseudo + 12;
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = target;
    return sendto(s, (const char*)tcp, 20, 0, (const sockaddr*)&to, sizeof to) == 20;
}

// The same over IPv6, from and to ::1: a raw IPv6 TCP socket bound to ::1;
// INVALID_SOCKET when raw sockets are refused or there is no IPv6.
inline SOCKET OpenSynSender6()
{
    SOCKET s = socket(AF_INET6, SOCK_RAW, IPPROTO_TCP);
    sockaddr_in6 own = {};
    own.sin6_family = AF_INET6;
    own.sin6_addr.s6_addr[15] = 1;
    if (s != INVALID_SOCKET && bind(s, (sockaddr*)&own, sizeof own) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// One SYN from [::1]:sourcePort to [::1]:port; the IPv6 pseudo-header is
// both addresses, the 32-bit length and the next header.
inline bool SendSyn6(SOCKET s, u_short sourcePort, u_short port)
{
    unsigned char pseudo[40 + 20] = {};
    pseudo[15] = pseudo[31] = 1; // ::1 and ::1
    pseudo[35] = 20;
    pseudo[39] = IPPROTO_TCP;
    FillSyn(pseudo, 40, sourcePort, port);
    sockaddr_in6 to = {};
    to.sin6_family = AF_INET6;
    to.sin6_addr.s6_addr[15] = 1;
    return sendto(s, (const char*)pseudo + 40, 20, 0, (const sockaddr*)&to, sizeof to) == 20;
}

#endif
