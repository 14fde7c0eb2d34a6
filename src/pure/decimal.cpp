// Signed decimal text: digits are produced from the least significant one up
// and then reversed in place, so no scratch space is needed.
#include "decimal.h"

size_t AppendDecimalPaddedN(int32_t value, size_t width, char* out, size_t size)
{
    char digits[kDecimalSize];
    FormatDecimal(value, digits);
    for (size_t n = TextLength(digits); n < width; ++n)
        TextAppendN(out, size, "0");
    return TextAppendN(out, size, digits);
}

size_t AppendCountN(uint32_t count, const char* singular, const char* plural, char* out,
                    size_t size)
{
    AppendDecimalN(count > 0x7fffffffu ? 0x7fffffff : (int32_t)count, out, size);
    return TextAppendN(out, size, count == 1 ? singular : plural);
}

size_t AppendDottedAddressN(uint32_t address, char* out, size_t size)
{
    size_t length = 0;
    for (int shift = 24; shift >= 0; shift -= 8) {
        length = AppendDecimalN((int32_t)(address >> shift & 0xFF), out, size);
        if (shift > 0)
            length = TextAppendN(out, size, ".");
    }
    return length;
}

void FormatDecimalRaw(int32_t value, char* out)
{
    char* digits = out;
    // The magnitude is taken unsigned so that the smallest value has one.
    uint32_t magnitude = (uint32_t)value;
    if (value < 0) {
        *digits++ = '-';
        magnitude = 0u - magnitude;
    }
    char* end = digits;
    do {
        *end++ = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    *end = '\0';
    for (char *lo = digits, *hi = end - 1; lo < hi; ++lo, --hi) {
        char c = *lo;
        *lo = *hi;
        *hi = c;
    }
}
