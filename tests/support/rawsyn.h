// Hand-made TCP SYNs for the stealth watch's tests, Windows-side and
// end-to-end alike: a raw TCP socket (root under Wine) sends the TCP header
// and the system puts the IP header in front.
#ifndef HARBINEL_TESTS_RAWSYN_H
#define HARBINEL_TESTS_RAWSYN_H

#include <winsock2.h>

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

// One SYN from `from`:sourcePort to 127.0.0.1:port, its checksum taken over
// the pseudo-header (both addresses, protocol, length) and the header.
inline bool SendSyn(SOCKET s, const char* from, u_short sourcePort, u_short port)
{
    unsigned char pseudo[12 + 20] = {};
    const u_long source = inet_addr(from), target = inet_addr("127.0.0.1");
    memcpy(pseudo, &source, 4);
    memcpy(pseudo + 4, &target, 4);
    pseudo[9] = IPPROTO_TCP;
    pseudo[11] = 20;
    unsigned char* tcp = pseudo + 12;
    const u_short fields[] = {htons(sourcePort), htons(port)};
    memcpy(tcp, fields, 4);
    tcp[7] = 1;       // sequence number
    tcp[12] = 5 << 4; // header length: five words
    tcp[13] = 0x02;   // SYN
    tcp[14] = tcp[15] = 0xFF;
    unsigned long sum = 0;
    for (size_t i = 0; i < sizeof pseudo; i += 2)
        sum += (unsigned long)(pseudo[i] << 8 | pseudo[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    tcp[16] = (unsigned char)(~sum >> 8);
    tcp[17] = (unsigned char)~sum;
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = target;
    return sendto(s, (const char*)tcp, 20, 0, (const sockaddr*)&to, sizeof to) == 20;
}

#endif
