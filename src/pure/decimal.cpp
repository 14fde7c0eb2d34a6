// Signed decimal text: digits are produced from the least significant one up
// and then reversed in place, so no scratch space is needed.
#include "decimal.h"

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
