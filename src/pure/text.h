// Bounded string building. Every fixed buffer in the program is filled through
// these helpers: they always terminate and never write past the size they are
// given. Arrays pass their size by type, so a bare pointer does not compile.
#ifndef HARBINEL_TEXT_H
#define HARBINEL_TEXT_H

#include <stddef.h>

// Length of a zero-terminated text.
size_t TextLength(const char* text);

// Copies src into dst (size bytes in all), cutting it short if it does not
// fit. Returns the length of the text now in dst.
size_t TextCopyN(char* dst, size_t size, const char* src);

// Appends src to the text already in dst (size bytes in all), cutting it
// short if it does not fit. Returns the length of the text now in dst.
size_t TextAppendN(char* dst, size_t size, const char* src);

template <size_t N> inline size_t TextCopy(char (&dst)[N], const char* src)
{
    return TextCopyN(dst, N, src);
}

template <size_t N> inline size_t TextAppend(char (&dst)[N], const char* src)
{
    return TextAppendN(dst, N, src);
}

#endif
