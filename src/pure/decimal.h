// Signed decimal text of 32-bit integers: the program's only number
// formatting. Counts, ports, registry value names and GMT offsets use it.
#ifndef HARBINEL_DECIMAL_H
#define HARBINEL_DECIMAL_H

#include <stddef.h>
#include <stdint.h>

#include "text.h"

// Longest text: "-2147483648" and its terminator.
const size_t kDecimalSize = 12;

// Writes the decimal text of value at the start of out (at least
// kDecimalSize bytes), overwriting it, zero-terminated.
void FormatDecimalRaw(int32_t value, char* out);

template <size_t N> inline void FormatDecimal(int32_t value, char (&out)[N])
{
    static_assert(N >= kDecimalSize, "decimal text needs 12 bytes");
    FormatDecimalRaw(value, out);
}

// Appends the decimal text of value to the text in out, cut short if the
// buffer is full.
inline size_t AppendDecimalN(int32_t value, char* out, size_t size)
{
    char scratch[32];
    FormatDecimalRaw(value, scratch);
    return TextAppendN(out, size, scratch);
}

template <size_t N> inline size_t AppendDecimal(int32_t value, char (&out)[N])
{
    return AppendDecimalN(value, out, N);
}

// Appends the decimal text of value with zeros in front up to width digits:
// "07", "2026".
size_t AppendDecimalPaddedN(int32_t value, size_t width, char* out, size_t size);

// Appends a count and its noun, singular for 1 and plural otherwise:
// "1 message dropped", "12 messages dropped". Counts past 2^31 - 1 are
// written as that.
size_t AppendCountN(uint32_t count, const char* singular, const char* plural, char* out,
                    size_t size);

// Appends an IPv4 address given in host byte order as a.b.c.d.
size_t AppendDottedAddressN(uint32_t address, char* out, size_t size);

#endif
