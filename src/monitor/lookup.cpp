// Reverse name lookup of each caller. The scan's address line carries the
// pending lookup's handle as its item data until the answer arrives; the
// answer is then inserted directly under that line.
#include "../pure/linetext.h"
#include "../log/log.h"
#include "../pure/text.h"
#include "monitor.h"
#include "resource.h"

// Each pending lookup has its own answer buffer, so that answers arriving
// close together never overwrite one another.
struct HostLookup {
    HANDLE handle;
    HostLookup* next;
    char answer[MAXGETHOSTSTRUCT];
};

void StartHostLookup(int lineIndex, const sockaddr_in& caller)
{
    HostLookup* lookup = (HostLookup*)BlockAlloc(sizeof(HostLookup), true);
    if (lookup == NULL)
        return;
    lookup->handle =
        WSAAsyncGetHostByAddr(AppState.MainWindow, WM_HOSTRESOLVED, (const char*)&caller.sin_addr,
                              4, AF_INET, lookup->answer, sizeof lookup->answer);
    if (lookup->handle == 0) {
        BlockFree(lookup);
        return;
    }
    lookup->next = AppState.HostLookups;
    AppState.HostLookups = lookup;
    SendMessageA(AppState.LogList, LB_SETITEMDATA, (WPARAM)lineIndex, (LPARAM)lookup->handle);
}

// Takes a completed lookup out of the pending list; null if unknown.
static HostLookup* TakeLookup(HANDLE handle)
{
    for (HostLookup** link = &AppState.HostLookups; *link != NULL; link = &(*link)->next) {
        if ((*link)->handle == handle) {
            HostLookup* found = *link;
            *link = found->next;
            return found;
        }
    }
    return NULL;
}

// The tagged line, searched from the newest: a recent scan is found at once
// however long the log has grown. Returns -1 when no line carries the tag.
static int FindTaggedLine(HWND list, HANDLE handle)
{
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    if (count == LB_ERR)
        return -1;
    for (LRESULT i = count - 1; i >= 0; --i) {
        LRESULT data = SendMessageA(list, LB_GETITEMDATA, (WPARAM)i, 0);
        if (data == LB_ERR)
            return -1;
        if (data == (LRESULT)handle)
            return (int)i;
    }
    return -1;
}

void OnHostResolved(HANDLE handle, int errorCode)
{
    HostLookup* lookup = TakeLookup(handle);
    const char* name = "";
    if (lookup != NULL) {
        const hostent* entry = (const hostent*)lookup->answer;
        if (errorCode == 0 && entry->h_name != NULL)
            name = entry->h_name;
    }
    // "   RDNS: " and a host name of at most 255 characters.
    char line[9 + 256];
    BuildRdnsLine(errorCode, name, line);
    BlockFree(lookup); // the resolver is done with it: the answer has come

    HWND list = AppState.LogList;
    int tagged = FindTaggedLine(list, handle);
    if (tagged < 0)
        return; // the line was evicted or the log cleared: drop the answer
    SendMessageA(list, LB_SETITEMDATA, (WPARAM)tagged, 0);
    SendMessageA(list, LB_INSERTSTRING, (WPARAM)(tagged + 1), (LPARAM)line);
    ShowNewestLines(list);
}

void CancelHostLookups()
{
    // The resolver may still be writing into a buffer whose cancel came too
    // late, so the buffers are left to the end of the process.
    for (HostLookup* lookup = AppState.HostLookups; lookup != NULL; lookup = lookup->next)
        WSACancelAsyncRequest(lookup->handle);
    AppState.HostLookups = NULL;
}
