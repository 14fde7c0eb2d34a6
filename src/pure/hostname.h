// A caller's host name in the one form that every reader of a command line
// or a message takes as plain text: host-name characters only. Whoever owns
// the caller's address writes its reverse name, so the name is hostile.
#ifndef HARBINEL_HOSTNAME_H
#define HARBINEL_HOSTNAME_H

#include <stddef.h>

// The longest name a reverse lookup can give, and its terminator.
const size_t kHostNameFormSize = 256;

// Letters, digits, '.', '-' and '_' stay; every other byte becomes '_', so
// no shell, quoting rule or markup can read anything into it. At most 255
// characters and never more than size - 1; null counts as "".
void HostNameFormN(const char* name, char* out, size_t size);

template <size_t N> inline void HostNameForm(const char* name, char (&out)[N])
{
    HostNameFormN(name, out, N);
}

#endif
