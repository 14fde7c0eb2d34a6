// The shared helpers of the Windows tests: the pump, starting and ending the
// real main window, the settings key, loopback callers and the log reader.
#include "harness.h"

#include <ws2tcpip.h>
#include <commctrl.h>
#include <string.h>

#include "app/app.h"
#include "resource.h"

namespace harness {

namespace {

bool quitSeen = false;
WPARAM quitCode = 0;

// A short slice, so that predicates polling sockets are looked at again
// even when no message arrives.
const DWORD kSliceMs = 10;

void DispatchOne(MSG& msg)
{
    if (msg.message == WM_QUIT) {
        quitSeen = true;
        quitCode = msg.wParam;
        return;
    }
    // As the program's loop: key tracking, then translate and dispatch.
    TrackShortcutKeys(msg);
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
}

HKEY OpenKey(bool create)
{
    HKEY key = NULL;
    LONG rc = create ? RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKeyPath, 0, NULL,
                                       REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &key, NULL)
                     : RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKeyPath, 0, KEY_ALL_ACCESS, &key);
    return rc == ERROR_SUCCESS ? key : NULL;
}

void SetValue(const char* name, DWORD type, const void* data, DWORD size)
{
    HKEY key = OpenKey(true);
    ASSERT_NE(key, (HKEY)NULL) << "cannot create the settings key";
    LONG rc = RegSetValueExA(key, name, 0, type, (const BYTE*)data, size);
    RegCloseKey(key);
    ASSERT_EQ(rc, ERROR_SUCCESS) << "cannot write " << name;
}

bool WinsockUp()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

} // namespace

const char kSettingsKeyPath[] = "SOFTWARE\\Ferrowind\\Harbinel";

bool PumpUntil(std::function<bool()> done, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            DispatchOne(msg);
            if (done())
                return true;
        }
        if (done())
            return true;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return false;
        DWORD wait = timeoutMs - elapsed;
        MsgWaitForMultipleObjects(0, NULL, FALSE, wait < kSliceMs ? wait : kSliceMs, QS_ALLINPUT);
    }
}

void PumpPending()
{
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
        DispatchOne(msg);
}

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
    quitSeen = false;
    quitCode = 0;
    ResetAppState();
    if (!StartHarbinel(GetModuleHandleA(NULL)))
        return false;
    PumpPending(); // the posted start-up commands run from the loop
    return AppState.MainWindow != NULL && IsWindow(AppState.MainWindow);
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

// ---- Settings --------------------------------------------------------------

void ClearSettings()
{
    RegDeleteTreeA(HKEY_CURRENT_USER, kSettingsKeyPath);
}

void SetSettingDword(const char* name, DWORD value)
{
    SetValue(name, REG_DWORD, &value, sizeof value);
}

void SetSettingBinary(const char* name, const void* data, DWORD size)
{
    SetValue(name, REG_BINARY, data, size);
}

void SetSettingString(const char* name, const std::string& bytes)
{
    SetValue(name, REG_SZ, bytes.data(), (DWORD)bytes.size());
}

void SetSettingMultiString(const char* name, const std::vector<std::string>& entries)
{
    std::string bytes;
    for (const std::string& e : entries)
        bytes += e + '\0';
    bytes += '\0';
    SetValue(name, REG_MULTI_SZ, bytes.data(), (DWORD)bytes.size());
}

void DeleteSetting(const char* name)
{
    HKEY key = OpenKey(false);
    if (key == NULL)
        return;
    RegDeleteValueA(key, name);
    RegCloseKey(key);
}

DWORD SettingValue::AsDword() const
{
    DWORD value = 0;
    if (data.size() >= sizeof value)
        memcpy(&value, data.data(), sizeof value);
    return value;
}

SettingValue ReadSetting(const char* name)
{
    SettingValue value;
    HKEY key = OpenKey(false);
    if (key == NULL)
        return value;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name, NULL, &type, NULL, &size) == ERROR_SUCCESS) {
        value.data.resize(size);
        if (RegQueryValueExA(key, name, NULL, &type, value.data.data(), &size) == ERROR_SUCCESS) {
            value.present = true;
            value.type = type;
            value.data.resize(size);
        }
    }
    RegCloseKey(key);
    return value;
}

std::vector<std::string> SettingNames()
{
    std::vector<std::string> names;
    HKEY key = OpenKey(false);
    if (key == NULL)
        return names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumValueA(key, i, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        names.push_back(std::string(name, length));
    }
    RegCloseKey(key);
    return names;
}

// ---- Loopback TCP ----------------------------------------------------------

u_short PickFreePort()
{
    if (!WinsockUp())
        return 0;
    u_short port = 0;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (s != INVALID_SOCKET && bind(s, (sockaddr*)&address, sizeof address) == 0 &&
        getsockname(s, (sockaddr*)&address, &length) == 0)
        port = ntohs(address.sin_port);
    if (s != INVALID_SOCKET)
        closesocket(s);
    WSACleanup();
    return port;
}

LoopbackClient::LoopbackClient()
{
    started_ = WinsockUp();
}

LoopbackClient::~LoopbackClient()
{
    Close();
    if (started_)
        WSACleanup();
}

bool LoopbackClient::Connect(u_short port)
{
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket_ == INVALID_SOCKET)
        return false;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(socket_, (sockaddr*)&address, sizeof address) != 0)
        return false;
    sockaddr_in local = {};
    int length = sizeof local;
    if (getsockname(socket_, (sockaddr*)&local, &length) == 0)
        localPort_ = ntohs(local.sin_port);
    u_long nonBlocking = 1;
    ioctlsocket(socket_, FIONBIO, &nonBlocking);
    return true;
}

bool LoopbackClient::Send(const std::string& bytes)
{
    size_t done = 0;
    DWORD start = GetTickCount();
    while (done < bytes.size()) {
        int n = send(socket_, bytes.data() + done, (int)(bytes.size() - done), 0);
        if (n > 0) {
            done += (size_t)n;
        } else if (WSAGetLastError() != WSAEWOULDBLOCK || GetTickCount() - start > 5000) {
            return false;
        } else {
            PumpUntil([] { return false; }, 5); // let the program read meanwhile
        }
    }
    return true;
}

bool LoopbackClient::Poll()
{
    if (socket_ == INVALID_SOCKET || peerClosed_)
        return false;
    bool changed = false;
    for (;;) {
        char buffer[4096];
        int n = recv(socket_, buffer, sizeof buffer, 0);
        if (n > 0) {
            received_.append(buffer, (size_t)n);
            changed = true;
            continue;
        }
        if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK) {
            peerClosed_ = true; // end of stream, or reset
            changed = true;
        }
        return changed;
    }
}

bool LoopbackClient::WaitClosed(DWORD timeoutMs)
{
    return PumpUntil(
        [this] {
            Poll();
            return peerClosed_;
        },
        timeoutMs);
}

bool LoopbackClient::WaitReceived(size_t n, DWORD timeoutMs)
{
    return PumpUntil(
        [this, n] {
            Poll();
            return received_.size() >= n;
        },
        timeoutMs);
}

void LoopbackClient::Close()
{
    if (socket_ != INVALID_SOCKET) {
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
}

PortHolder::PortHolder()
{
    started_ = WinsockUp();
}

PortHolder::~PortHolder()
{
    Release();
    if (started_)
        WSACleanup();
}

bool PortHolder::Hold(u_short port)
{
    Release();
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket_ == INVALID_SOCKET)
        return false;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    int length = sizeof address;
    if (bind(socket_, (sockaddr*)&address, sizeof address) != 0 || listen(socket_, 1) != 0 ||
        getsockname(socket_, (sockaddr*)&address, &length) != 0) {
        Release();
        return false;
    }
    port_ = ntohs(address.sin_port);
    return true;
}

void PortHolder::Release()
{
    if (socket_ != INVALID_SOCKET) {
        closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
}

// ---- The log list ----------------------------------------------------------

int LogCount()
{
    return (int)SendMessageA(AppState.LogList, LB_GETCOUNT, 0, 0);
}

std::string LogLine(int index)
{
    LRESULT length = SendMessageA(AppState.LogList, LB_GETTEXTLEN, (WPARAM)index, 0);
    if (length == LB_ERR)
        return std::string();
    std::string text((size_t)length + 1, '\0');
    LRESULT got = SendMessageA(AppState.LogList, LB_GETTEXT, (WPARAM)index, (LPARAM)&text[0]);
    text.resize(got == LB_ERR ? 0 : (size_t)got);
    return text;
}

std::vector<std::string> LogLines()
{
    std::vector<std::string> lines;
    int count = LogCount();
    for (int i = 0; i < count; ++i)
        lines.push_back(LogLine(i));
    return lines;
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
        if (prefix ? lines[i].compare(0, text.size(), text) == 0 : lines[i] == text)
            return (int)i;
    return -1;
}

bool WaitForLogLine(const std::string& text, bool prefix, DWORD timeoutMs)
{
    return PumpUntil([&] { return FindLogLine(text, prefix) >= 0; }, timeoutMs);
}

std::string LogDump()
{
    std::string dump = "log:\n";
    for (const std::string& line : LogLines())
        dump += "  [" + line + "]\n";
    return dump;
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

int ConnectionCount()
{
    int n = 0;
    for (SocketNode* node = AppState.ConnectionList; node != NULL; node = node->next)
        ++n;
    return n;
}

std::string StatusText()
{
    // In simple mode the status bar answers part 0 with its one text.
    LRESULT length = SendMessageA(AppState.StatusBar, SB_GETTEXTLENGTHA, 0, 0);
    std::string text((size_t)LOWORD(length) + 1, '\0');
    SendMessageA(AppState.StatusBar, SB_GETTEXTA, 0, (LPARAM)&text[0]);
    text.resize(strlen(text.c_str()));
    return text;
}

std::string ListenButtonText()
{
    char text[64] = {};
    GetWindowTextA(AppState.ListenButton, text, sizeof text);
    return text;
}

// ---- Fixture ---------------------------------------------------------------

void AppTest::SetUp()
{
    ClearSettings();
    PrepareSettings();
    ASSERT_TRUE(StartApp()) << "the main window was not created";
}

void AppTest::TearDown()
{
    EXPECT_TRUE(ExitApp()) << "Exit did not end the program";
    ClearSettings();
}

} // namespace harness
