// The callers' names in the log: a scan's address line is tagged when it is
// logged, waits for its reverse lookup under the lookup's handle, and the
// answer is inserted directly under it when it comes. The day's file gets
// every answer, whether its line is still in the window or not.
#include "../pure/text.h"
#include "log.h"

// Line tags count up from here and wrap below the lookups' handles, so that
// the item data of a line always says which of the two it holds.
static const LineTag kFirstLineTag = 0x10000000;
static const LineTag kLastLineTag = 0x7EFFFFFF;
// A tag is looked for among the newest lines only: it is handed over in
// the same scan's block, a few lines after it was made. A line pushed out
// of those is treated as gone from the window.
static const LRESULT kTagSearchLines = 256;

static LineTag nextLineTag = kFirstLineTag;

LineTag TagNewLine(int index)
{
    if (index == kNoLine)
        return 0;
    LineTag tag = nextLineTag;
    nextLineTag = nextLineTag == kLastLineTag ? kFirstLineTag : nextLineTag + 1;
    SendMessageA(AppState.LogList, LB_SETITEMDATA, (WPARAM)index, (LPARAM)tag);
    return tag;
}

// The index of the newest line tagged `tag`, or kNoLine.
static LRESULT FindTaggedLine(HWND list, LineTag tag)
{
    if (tag == 0)
        return kNoLine;
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    if (count == LB_ERR)
        return kNoLine;
    for (LRESULT i = count - 1; i >= 0 && i >= count - kTagSearchLines; --i)
        if (SendMessageA(list, LB_GETITEMDATA, (WPARAM)i, 0) == (LRESULT)tag)
            return i;
    return kNoLine;
}

bool TagLineForLookup(LineTag tag, HANDLE lookup)
{
    LRESULT line = FindTaggedLine(AppState.LogList, tag);
    if (line == kNoLine)
        return false;
    SendMessageA(AppState.LogList, LB_SETITEMDATA, (WPARAM)line, (LPARAM)lookup);
    return true;
}

// The answer as the day's file has it: with the caller it belongs to.
static void AppendFileLine(const char* line, const NetAddress& address)
{
    char caller[kNetAddressTextSize];
    FormatNetAddress(address, caller);
    char fileLine[9 + 256 + 8 + kNetAddressTextSize];
    TextCopy(fileLine, line);
    TextAppend(fileLine, " (for ");
    TextAppend(fileLine, caller);
    TextAppend(fileLine, ")");
    LogFileAppend(fileLine);
}

static void InsertUnder(HWND list, LRESULT addressLine, const char* line)
{
    SendMessageA(list, LB_SETITEMDATA, (WPARAM)addressLine, 0);
    SendMessageA(list, LB_INSERTSTRING, (WPARAM)(addressLine + 1), (LPARAM)line);
    FitLineWidth(list, line);
}

void InsertRdnsLine(LineTag tag, const char* line, const NetAddress& address)
{
    LRESULT addressLine = FindTaggedLine(AppState.LogList, tag);
    if (addressLine != kNoLine) {
        InsertUnder(AppState.LogList, addressLine, line);
        ShowNewestLines(AppState.LogList);
    }
    AppendFileLine(line, address);
}

// Searched from the newest: recent scans are found at once however long the
// log has grown, and the search ends when every tagged line has its
// answer. Inserting below a line leaves the older lines' indexes as they
// were. Lines that were pushed out or cleared are not found.
void AnswerTaggedLines(HANDLE lookup, int tagged, int waiting, const char* line,
                       const NetAddress& address)
{
    HWND list = AppState.LogList;
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    int answered = 0;
    for (LRESULT i = count - 1; count != LB_ERR && i >= 0 && answered < tagged; --i) {
        LRESULT data = SendMessageA(list, LB_GETITEMDATA, (WPARAM)i, 0);
        if (data == LB_ERR)
            break;
        if (data != (LRESULT)lookup)
            continue;
        InsertUnder(list, i, line);
        AppendFileLine(line, address);
        ++answered;
    }
    if (answered > 0)
        ShowNewestLines(list);
    for (int n = answered; n < waiting; ++n)
        AppendFileLine(line, address);
}
