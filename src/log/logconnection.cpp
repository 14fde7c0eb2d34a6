// A connection's two detail lines: the address line (caller, local interface
// and listened port) and the timestamp line with the local offset from GMT.
#include "../pure/decimal.h"
#include "../pure/linetext.h"
#include "../pure/text.h"
#include "../pure/timetext.h"
#include "../monitor/monitor.h"
#include "log.h"

#include <ws2tcpip.h>
#include <mstcpip.h>

// The local address the caller called: the accepted socket's own address.
// Only when that cannot be read, the interface the socket layer would use
// to reach the caller, which on a PC with several addresses may be another.
static in_addr LocalAddress(SocketHandle socket, const sockaddr_in& caller)
{
    sockaddr_in local = {};
    int length = sizeof local;
    if (getsockname((SOCKET)socket, (sockaddr*)&local, &length) != 0 ||
        local.sin_family != AF_INET) {
        local = sockaddr_in();
        DWORD bytes = 0;
        WSAIoctl((SOCKET)socket, SIO_ROUTING_INTERFACE_QUERY, (void*)&caller, sizeof caller, &local,
                 sizeof local, &bytes, NULL, NULL);
    }
    return local.sin_addr;
}

static void AddTimestampLine()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    LogClock clock = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
    TIME_ZONE_INFORMATION zone;
    DWORD zoneResult = GetTimeZoneInformation(&zone);
    bool zoneKnown = zoneResult != TIME_ZONE_ID_INVALID;
    int offset = zoneKnown ? GmtOffsetMinutes(zone.Bias, zone.DaylightBias,
                                              zoneResult == TIME_ZONE_ID_DAYLIGHT)
                           : 0;
    char line[128];
    BuildTimestampLine(clock, zoneKnown, offset, line);
    AddLogLine(line);
}

void LogGoneCaller(int32_t port, const char* prefix)
{
    char line[128];
    BuildAddressLine(prefix, kGoneCaller, "*", port, line);
    AddLogLine(line);
    AddTimestampLine();
}

int LogConnection(SocketNode* node, const sockaddr_in& caller, const char* prefix,
                  in_addr* calledOut)
{
    const in_addr called = LocalAddress(node->socket, caller);
    if (calledOut != NULL)
        *calledOut = called;
    char local[16];
    TextCopy(local, inet_ntoa(called));

    char callerText[128];
    DWORD callerLength = sizeof callerText;
    if (WSAAddressToStringA((sockaddr*)node->address, sizeof(sockaddr_in), NULL, callerText,
                            &callerLength) == SOCKET_ERROR)
        return ReportSocketError("Socket error");

    char line[128];
    BuildAddressLine(prefix, callerText, local, node->port, line);
    return LogWithTimestamp(line);
}

int LogCallerAt(const sockaddr_in& caller, const sockaddr_in& local, const char* prefix)
{
    char callerText[32];
    TextCopy(callerText, inet_ntoa(caller.sin_addr));
    TextAppend(callerText, ":");
    AppendDecimal(ntohs(caller.sin_port), callerText);
    char line[128];
    BuildAddressLine(prefix, callerText, inet_ntoa(local.sin_addr), ntohs(local.sin_port), line);
    return LogWithTimestamp(line);
}

int LogWithTimestamp(const char* line)
{
    int index = AddLogLine(line);
    // Adding the timestamp may drop the oldest lines; the line moves up by as
    // many as were dropped.
    LRESULT before = SendMessageA(AppState.LogList, LB_GETCOUNT, 0, 0);
    AddTimestampLine();
    LRESULT after = SendMessageA(AppState.LogList, LB_GETCOUNT, 0, 0);
    int dropped = (int)(before + 1 - after);
    if (dropped <= 0)
        return index;
    // When the line itself went, there is nothing left to tag.
    return index > dropped ? index - dropped : 0;
}
