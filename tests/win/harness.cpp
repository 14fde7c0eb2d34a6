// The Windows tests' own helpers: starting and ending the real main window
// in-process, the pump's handling of its messages, and readers of the main
// window's state.
#include "harness.h"

#include <tlhelp32.h>

#include <commctrl.h>
#include <string.h>

#include "app/app.h"
#include "outputs/outputs.h"
#include "resource.h"

namespace harness {

namespace {

bool quitSeen = false;
WPARAM quitCode = 0;

// As the program's loop: key tracking, then translate and dispatch. The
// quit message ends the loop there; here it is noted.
void HandleAsTheProgram(MSG& msg)
{
    if (msg.message == WM_QUIT) {
        quitSeen = true;
        quitCode = msg.wParam;
        return;
    }
    TrackShortcutKeys(msg);
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
}

int WINAPI AnswerAtOnce(HWND, const char* text, const char* title, UINT)
{
    firstRunAsked = std::string(title) + ": " + text;
    return firstRunAnswer;
}

} // namespace

std::string firstRunAsked;
int firstRunAnswer = IDNO;

bool QuitSeen()
{
    return quitSeen;
}

WPARAM QuitCode()
{
    return quitCode;
}

bool StartApp()
{
    SetMessageHandler(HandleAsTheProgram);
    quitSeen = false;
    quitCode = 0;
    ResetAppState();
    AppState.AskUser = AnswerAtOnce;
    firstRunAsked.clear();
    if (!StartHarbinel(GetModuleHandleA(NULL)))
        return false;
    PumpPending(); // the posted start-up commands run from the loop
    return AppRunning();
}

bool AppRunning()
{
    return AppState.MainWindow != NULL && IsWindow(AppState.MainWindow);
}

bool ExitApp(DWORD timeoutMs)
{
    if (!AppRunning())
        return true;
    HWND window = AppState.MainWindow;
    SendMessageA(window, WM_COMMAND, IDM_EXIT, 0);
    return PumpUntil([&] { return quitSeen && !IsWindow(window); }, timeoutMs);
}

// ---- The log list ----------------------------------------------------------

int LogCount()
{
    return ListBoxCount(AppState.LogList);
}

std::string LogLine(int index)
{
    return ListBoxLineA(AppState.LogList, index);
}

std::vector<std::string> LogLines()
{
    return ListBoxLinesA(AppState.LogList);
}

LRESULT LogItemData(int index)
{
    return SendMessageA(AppState.LogList, LB_GETITEMDATA, (WPARAM)index, 0);
}

int LogTopIndex()
{
    return (int)SendMessageA(AppState.LogList, LB_GETTOPINDEX, 0, 0);
}

int FindLogLine(const std::string& text, bool prefix, int from)
{
    std::vector<std::string> lines = LogLines();
    for (size_t i = (size_t)(from < 0 ? 0 : from); i < lines.size(); ++i)
        if (prefix ? StartsWith(lines[i], text) : lines[i] == text)
            return (int)i;
    return -1;
}

bool WaitForLogLine(const std::string& text, bool prefix, DWORD timeoutMs)
{
    return PumpUntil([&] { return FindLogLine(text, prefix) >= 0; }, timeoutMs);
}

int ThreadCount()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ++count;
    CloseHandle(snapshot);
    return count;
}

std::string LogDump()
{
    return Dump(LogLines());
}

// ---- Menus -----------------------------------------------------------------

MenuItem GetMenuItemByCommand(HMENU menu, UINT command)
{
    MenuItem item;
    char text[256] = {};
    MENUITEMINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = MIIM_STATE | MIIM_FTYPE | MIIM_STRING;
    info.dwTypeData = text;
    info.cch = sizeof text;
    if (!GetMenuItemInfoA(menu, command, FALSE, &info))
        return item;
    item.found = true;
    item.state = info.fState;
    item.type = info.fType;
    item.text = text;
    return item;
}

// ---- Controls and lists of the main window --------------------------------

void Command(UINT id)
{
    SendMessageA(AppState.MainWindow, WM_COMMAND, id, 0);
}

void AddPortToList(int32_t port)
{
    static const BYTE noAddress[16] = {};
    ASSERT_NE(ListAppend(AppState.PortList, kInvalidSocket, port, noAddress, sizeof noAddress),
              (SocketNode*)NULL);
}

std::vector<int32_t> PortListPorts()
{
    std::vector<int32_t> ports;
    for (SocketNode* node = AppState.PortList; node != NULL; node = node->next)
        ports.push_back(node->port);
    return ports;
}

ScanRecord Scan(ScanKind kind, int host, bool trustedCaller)
{
    ScanRecord r = NewScanRecord(kind);
    r.caller = NetAddressFromV4(htonl((trustedCaller ? 0x0A000000u : 0xCB007100u) | (u_long)host));
    r.callerPort = 40000;
    r.local = NetAddressFromV4(htonl(INADDR_LOOPBACK));
    r.port = r.highPort = 31337;
    if (kind == kScanSweep) {
        r.port = 1;
        r.highPort = 20;
        r.portCount = 20;
    }
    return r;
}

int ConnectionCount()
{
    int n = 0;
    for (SocketNode* node = AppState.ConnectionList; node != NULL; node = node->next)
        ++n;
    return n;
}

std::string StatusText()
{
    return Narrow(StatusBarText(AppState.StatusBar));
}

std::string ListenButtonText()
{
    return Text(AppState.ListenButton);
}

// ---- Fixture ---------------------------------------------------------------

void AppTest::SetUp()
{
    DeleteSettings();
    // A fresh key that has had its first start: tests that mean the very
    // first one delete it again.
    WriteSwitch(kValueFirstRunAsked, 0);
    PrepareSettings();
    ASSERT_TRUE(StartApp()) << "the main window was not created";
}

void AppTest::TearDown()
{
    EXPECT_TRUE(ExitApp()) << "Exit did not end the program";
    DeleteSettings();
}

} // namespace harness
