// The built-in table of well-known trojans and the ports they listen on,
// shown by the Trojan Ports dialog. Display strings only; never parsed.
#ifndef HARBINEL_TROJANS_H
#define HARBINEL_TROJANS_H

// Pairs of zero-terminated strings, name then ports, one after another,
// ended by an empty name.
extern const char TrojanPortTable[];

// The string that follows the given one in the table.
inline const char* NextTableString(const char* s)
{
    while (*s != '\0')
        ++s;
    return s + 1;
}

#endif
