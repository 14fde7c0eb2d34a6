// The texts of the program's log lines and warnings.
#include "linetext.h"

#include "errortext.h"
#include "decimal.h"
#include "text.h"

const char kDefaultWarning[] = "WARNING: Access attempt has been logged. Your ISP will be notified";

int BuildWarningText(int32_t messageType, const char* custom, char* out, size_t size)
{
    if (messageType == kMessageNone)
        return -1;
    TextCopyN(out, size, messageType == kMessageDefault ? kDefaultWarning : custom);
    return (int)TextAppendN(out, size, "\r\n");
}

void BuildCountLineN(const char* head, int32_t n, char* out, size_t size)
{
    TextCopyN(out, size, head);
    AppendDecimalN(n, out, size);
    TextAppendN(out, size, n == 1 ? " port" : " ports");
}

void FormatPortEntryN(int32_t port, char* out, size_t size)
{
    char digits[kDecimalSize];
    FormatDecimal(port, digits);
    TextCopyN(out, size, "");
    for (size_t pad = TextLength(digits); pad < 5; ++pad)
        TextAppendN(out, size, " ");
    TextAppendN(out, size, digits);
}

void BuildRdnsLineN(int errorCode, const char* hostName, char* out, size_t size)
{
    TextCopyN(out, size, "   RDNS: ");
    TextAppendN(out, size, errorCode == 0 ? hostName : HostErrorText(errorCode));
}

void BuildAddressLineN(const char* prefix, const char* caller, const char* local, int32_t port,
                       char* out, size_t size)
{
    TextCopyN(out, size, prefix);
    TextAppendN(out, size, caller);
    TextAppendN(out, size, " -> ");
    TextAppendN(out, size, local);
    TextAppendN(out, size, ":");
    AppendDecimalN(port, out, size);
}
