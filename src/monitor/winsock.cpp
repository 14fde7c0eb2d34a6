// Winsock start-up and the one way socket failures reach the log: what was
// attempted, ": " and a fixed English reason.
#include "../log/log.h"
#include "../outputs/outputs.h"
#include "../pure/text.h"
#include "../pure/errortext.h"
#include "monitor.h"

int ReportSocketError(const char* prefix)
{
    int code = WSAGetLastError(); // first, before anything else can change it
    char line[256];
    TextCopy(line, prefix);
    TextAppend(line, ": ");
    TextAppend(line, SocketErrorText(code));
    return ReportError(line);
}

void StartWinsock()
{
    const WORD version = MAKEWORD(2, 0);
    int result = WSAStartup(version, &AppState.WinsockData);
    if (result == 0) {
        if (AppState.WinsockData.wVersion != version)
            AddLogLine("Incorrect Winsock version");
        return;
    }
    const char* text = StartupErrorText(result);
    if (text != NULL)
        AddLogLine(text);
}
