// A caller's or a local address of either family, and its text: dotted for
// IPv4, the canonical RFC 5952 form for IPv6. One type for both, so that the
// log, the outputs and the trusted list need not care which arrived.
#ifndef HARBINEL_NETADDRESS_H
#define HARBINEL_NETADDRESS_H

#include <stddef.h>
#include <stdint.h>

const uint8_t kFamilyV4 = 4;
const uint8_t kFamilyV6 = 6;

// Zero-initialise or build with the helpers below: the bytes an address does
// not use stay zero, so that equality can compare them all.
struct NetAddress {
    uint8_t family;    // kFamilyV4 or kFamilyV6
    uint8_t bytes[16]; // network order; IPv4 in bytes[0..3]
    uint32_t zone;     // IPv6 scope id, 0 for none; always 0 for IPv4
};

// Longest texts with their terminator: "ffff:...:ffff%4294967295" (39 + 11)
// and the same in brackets with ":65535" behind.
const size_t kNetAddressTextSize = 51;
const size_t kNetAddressPortTextSize = 59;

// From the four bytes of an in_addr as they stand in memory (network order).
NetAddress NetAddressFromV4(uint32_t networkOrder);

// From an IPv4 address in host byte order (a << 24 | b << 16 | c << 8 | d).
NetAddress NetAddressFromV4Host(uint32_t hostOrder);

// From the sixteen bytes of an in6_addr and its scope id.
NetAddress NetAddressFromV6(const uint8_t bytes[16], uint32_t zone);

// The IPv4 address in host byte order; 0 for anything but IPv4.
uint32_t NetAddressV4Host(const NetAddress& address);

// ::ffff:a.b.c.d, the form a dual-stack socket gives IPv4 callers.
bool IsV4Mapped(const NetAddress& address);

// A mapped address as the IPv4 address it stands for (zone dropped), so an
// IPv4 caller reads the same whichever socket took it; anything else as is.
NetAddress Unmap(const NetAddress& address);

// fe80::/10, the one kind of address whose zone means something here.
bool IsLinkLocal(const NetAddress& address);
// From an IPv6 address as a socket gives it: the scope id becomes the zone
// of a link-local address only. Elsewhere the system may still fill one
// in, which would only clutter the text and part one address in two.
NetAddress NetAddressFromSocket6(const uint8_t bytes[16], uint32_t scopeId);
// Same family, all sixteen bytes and zone.
bool NetAddressEqual(const NetAddress& a, const NetAddress& b);

// FNV-1a over what equality compares: equal addresses hash alike.
uint32_t NetAddressHash(const NetAddress& address);

// The address as text, cut short if it does not fit: "192.0.2.7",
// "2001:db8::1", "fe80::1%12", "::ffff:1.2.3.4" for a mapped one (Unmap
// first to show it as IPv4). An unknown family gives "".
void FormatNetAddressN(const NetAddress& address, char* out, size_t size);
template <size_t N> inline void FormatNetAddress(const NetAddress& address, char (&out)[N])
{
    FormatNetAddressN(address, out, N);
}

// With a port: "192.0.2.7:80", "[fe80::1%12]:51234".
void FormatNetAddressPortN(const NetAddress& address, uint16_t port, char* out, size_t size);
template <size_t N>
inline void FormatNetAddressPort(const NetAddress& address, uint16_t port, char (&out)[N])
{
    FormatNetAddressPortN(address, port, out, N);
}

// Appending forms of the two above, for callers building a longer text.
size_t AppendNetAddressN(const NetAddress& address, char* out, size_t size);
size_t AppendNetAddressPortN(const NetAddress& address, uint16_t port, char* out, size_t size);

#endif
