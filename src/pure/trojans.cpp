// The built-in table of well-known trojans and their ports, and the lookups
// that read its port texts.
#include "trojans.h"

#include "decimal.h"
#include "linetext.h"
#include "text.h"

const char TrojanPortTable[] = "DeepThroat\0"
                               "41, 999, 2140, 3150, 6670, 6671, 60000\0"
                               "Subseven\0"
                               "2773, 2774, 6711, 6712, 6713, 7215, 27374, 54283\0"
                               "Netspy\0"
                               "1024, 1033\0"
                               "NetBus\0"
                               "12345, 12346, 20034\0"
                               "Back Orifice\0"
                               "1349, 31337, 31338, 54320\0"
                               ""; // the literal's own zero ends the table

// The number that starts at *text, and *text moved past it and its
// separator; -1 at the end. Anything but digits parts numbers.
static int32_t NextPort(const char** text)
{
    const char* p = *text;
    while (*p != '\0' && (*p < '0' || *p > '9'))
        ++p;
    if (*p == '\0') {
        *text = p;
        return -1;
    }
    int32_t port = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        port = port > 65535 ? port : port * 10 + (*p - '0');
    *text = p;
    return port;
}

static bool UsesPort(const char* ports, int32_t port)
{
    for (int32_t p = NextPort(&ports); p >= 0; p = NextPort(&ports))
        if (p == port)
            return true;
    return false;
}

int TrojanTablePorts(const char* table, int32_t* out, int cap)
{
    int count = 0;
    for (const char* name = table; *name != '\0';) {
        const char* ports = NextTableString(name);
        name = NextTableString(ports);
        for (int32_t p = NextPort(&ports); p >= 0; p = NextPort(&ports))
            count = InsertPortInOrder(out, count, cap, p);
    }
    return count;
}

void KnownTrojansN(const char* table, int32_t port, char* out, size_t size)
{
    TextCopyN(out, size, "");
    bool first = true;
    for (const char* name = table; *name != '\0';) {
        const char* ports = NextTableString(name);
        if (UsesPort(ports, port)) {
            TextAppendN(out, size, first ? "" : ", ");
            TextAppendN(out, size, name);
            first = false;
        }
        name = NextTableString(ports);
    }
}

void BuildKnownPortLineN(const char* table, int32_t port, char* out, size_t size)
{
    char names[kKnownPortLineSize];
    KnownTrojansN(table, port, names, sizeof names);
    TextCopyN(out, size, "");
    if (names[0] == '\0')
        return;
    TextAppendN(out, size, "   Port ");
    AppendDecimalN(port, out, size);
    TextAppendN(out, size, ": ");
    TextAppendN(out, size, names);
}
