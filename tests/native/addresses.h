// Addresses for the native tests, written the way they read.
#ifndef HARBINEL_TESTS_NATIVE_ADDRESSES_H
#define HARBINEL_TESTS_NATIVE_ADDRESSES_H

#include <stddef.h>
#include <stdint.h>

#include <initializer_list>

#include "pure/netaddress.h"

// An IPv6 address from its eight 16-bit groups, the missing ones zero:
// V6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}) is 2001:db8::1.
inline NetAddress V6(std::initializer_list<unsigned> groups, uint32_t zone = 0)
{
    uint8_t bytes[16] = {};
    size_t i = 0;
    for (unsigned g : groups)
        bytes[i++] = (uint8_t)(g >> 8), bytes[i++] = (uint8_t)g;
    return NetAddressFromV6(bytes, zone);
}

#endif
