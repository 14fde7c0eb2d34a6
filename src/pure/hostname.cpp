// The host-name form of a caller's name: a byte-by-byte map with a cap.
#include "hostname.h"

static bool IsHostNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

void HostNameFormN(const char* name, char* out, size_t size)
{
    if (size == 0)
        return;
    size_t n = 0;
    for (const char* p = name != nullptr ? name : "";
         *p != '\0' && n + 1 < size && n + 1 < kHostNameFormSize; ++p)
        out[n++] = IsHostNameChar(*p) ? *p : '_';
    out[n] = '\0';
}
