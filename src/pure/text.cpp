// Bounded string building shared by every part of the program.
#include "text.h"

size_t TextLength(const char* text)
{
    size_t n = 0;
    while (text[n] != '\0')
        ++n;
    return n;
}

size_t TextCopyN(char* dst, size_t size, const char* src)
{
    if (size == 0)
        return 0;
    dst[0] = '\0';
    return TextAppendN(dst, size, src);
}

size_t TextAppendN(char* dst, size_t size, const char* src)
{
    if (size == 0)
        return 0;
    size_t n = 0;
    // A destination that lost its terminator is treated as full.
    while (n < size - 1 && dst[n] != '\0')
        ++n;
    while (n < size - 1 && *src != '\0')
        dst[n++] = *src++;
    dst[n] = '\0';
    return n;
}
