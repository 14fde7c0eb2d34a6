// The callers' names in the log: a scan's address line waits for its
// reverse lookup tagged with the lookup's handle, and the answer is
// inserted directly under it when it comes.
#include "../pure/text.h"
#include "log.h"

void TagLineForLookup(int index, HANDLE lookup)
{
    SendMessageA(AppState.LogList, LB_SETITEMDATA, (WPARAM)index, (LPARAM)lookup);
}

static void InsertUnder(HWND list, LRESULT addressLine, const char* line, const NetAddress& address)
{
    SendMessageA(list, LB_INSERTSTRING, (WPARAM)(addressLine + 1), (LPARAM)line);
    FitLineWidth(list, line);
    char caller[kNetAddressTextSize];
    FormatNetAddress(address, caller);
    char fileLine[9 + 256 + 8 + kNetAddressTextSize];
    TextCopy(fileLine, line);
    TextAppend(fileLine, " (for ");
    TextAppend(fileLine, caller);
    TextAppend(fileLine, ")");
    LogFileAppend(fileLine);
}

void InsertRdnsLine(int addressLine, const char* line, const NetAddress& address)
{
    InsertUnder(AppState.LogList, addressLine, line, address);
    ShowNewestLines(AppState.LogList);
}

// Searched from the newest: recent scans are found at once however long the
// log has grown, and the search ends when every waiting line has its
// answer. Inserting below a line leaves the older lines' indexes as they
// were. Lines that were evicted or cleared are not found: their answer is
// dropped.
void AnswerTaggedLines(HANDLE lookup, int waiting, const char* line, const NetAddress& address)
{
    HWND list = AppState.LogList;
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    if (count == LB_ERR)
        return;
    bool inserted = false;
    for (LRESULT i = count - 1; i >= 0 && waiting > 0; --i) {
        LRESULT data = SendMessageA(list, LB_GETITEMDATA, (WPARAM)i, 0);
        if (data == LB_ERR)
            break;
        if (data != (LRESULT)lookup)
            continue;
        SendMessageA(list, LB_SETITEMDATA, (WPARAM)i, 0);
        InsertUnder(list, i, line, address);
        inserted = true;
        --waiting;
    }
    if (inserted)
        ShowNewestLines(list);
}
