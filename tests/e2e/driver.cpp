// The end-to-end driver's workings: process control, cross-process window
// reads (wide messages, which Wine marshals), the registry key and loopback
// TCP callers.
#include "driver.h"

#include <commctrl.h>
#include <stdlib.h>

#include <algorithm>

namespace e2e {

const wchar_t kSettingsKey[] = L"SOFTWARE\\Ferrowind\\Harbinel";
const char kDefaultWarning[] = "WARNING: Access attempt has been logged. Your ISP will be notified";

static const wchar_t kClassName[] = L"Harbinel_Class";

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        if (done())
            return true;
        ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return done();
        DWORD wait = (DWORD)(deadline - now);
        if (wait > 10)
            wait = 10;
        MsgWaitForMultipleObjects(0, NULL, FALSE, wait, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, NULL, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

// ---- The process ----------------------------------------------------------

std::wstring ProgramPath()
{
    const wchar_t* path = _wgetenv(L"HARBINEL_EXE");
    return path != NULL ? std::wstring(path) : std::wstring();
}

Program::~Program()
{
    if (process_ != NULL)
        CloseHandle(process_);
}

bool Program::Start()
{
    return Start(ProgramPath());
}

bool Program::Start(const std::wstring& path, const std::wstring& arguments)
{
    if (path.empty())
        return false;
    std::wstring cmd = L"\"" + path + L"\"";
    if (!arguments.empty())
        cmd += L" " + arguments;
    std::vector<wchar_t> cmdline(cmd.begin(), cmd.end());
    cmdline.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(path.c_str(), cmdline.data(), NULL, NULL, FALSE, 0, NULL, NULL, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    if (process_ != NULL)
        CloseHandle(process_);
    process_ = pi.hProcess;
    pid_ = pi.dwProcessId;
    return true;
}

HWND Program::WaitForWindow(DWORD timeoutMs)
{
    HWND found = NULL;
    PumpUntil(
        [&] {
            HWND w = FindWindowW(kClassName, NULL);
            DWORD owner = 0;
            if (w != NULL)
                GetWindowThreadProcessId(w, &owner);
            // The window can be found while it is still being created; its
            // log list is the last control it makes.
            if (w != NULL && owner == pid_ && GetDlgItem(w, kLogList) != NULL)
                found = w;
            return found != NULL || !IsRunning();
        },
        timeoutMs);
    return found;
}

bool Program::WaitForExit(DWORD timeoutMs, DWORD* exitCode)
{
    if (process_ == NULL)
        return false;
    bool ended =
        PumpUntil([&] { return WaitForSingleObject(process_, 0) == WAIT_OBJECT_0; }, timeoutMs);
    if (ended && exitCode != NULL)
        GetExitCodeProcess(process_, exitCode);
    return ended;
}

bool Program::IsRunning() const
{
    return process_ != NULL && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

void Program::Kill()
{
    if (IsRunning()) {
        TerminateProcess(process_, 99);
        WaitForSingleObject(process_, 5000);
    }
}

HWND FindMainWindow()
{
    return FindWindowW(kClassName, NULL);
}

void KillLeftovers()
{
    for (int round = 0; round < 5; ++round) {
        HWND w = FindMainWindow();
        if (w == NULL)
            return;
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (p == NULL)
            return;
        TerminateProcess(p, 99);
        WaitForSingleObject(p, 5000);
        CloseHandle(p);
        // The window of a terminated process goes with it, a moment later.
        PumpUntil([&] { return !IsWindow(w); }, 2000);
    }
}

// ---- Commands and keys ----------------------------------------------------

void SendCommand(HWND main, UINT command)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(main, WM_COMMAND, command, 0, SMTO_NORMAL, kDeadlineMs, &result);
}

void PostCommand(HWND main, UINT command)
{
    PostMessageW(main, WM_COMMAND, command, 0);
}

void PostCtrlShortcut(HWND target, char letter)
{
    const UINT ctrlScan = MapVirtualKeyW(VK_CONTROL, MAPVK_VK_TO_VSC);
    const UINT keyScan = MapVirtualKeyW((UINT)letter, MAPVK_VK_TO_VSC);
    const LPARAM down = 1;
    const LPARAM up = (LPARAM)(1u | 0xC0000000u);
    PostMessageW(target, WM_KEYDOWN, VK_CONTROL, down | ((LPARAM)ctrlScan << 16));
    PostMessageW(target, WM_KEYDOWN, (WPARAM)letter, down | ((LPARAM)keyScan << 16));
    PostMessageW(target, WM_KEYUP, (WPARAM)letter, up | ((LPARAM)keyScan << 16));
    PostMessageW(target, WM_KEYUP, VK_CONTROL, up | ((LPARAM)ctrlScan << 16));
}

// ---- What the window shows ------------------------------------------------

// One pass over the log from line `first`.
static std::vector<std::wstring> ReadLogOnce(HWND list, size_t first)
{
    std::vector<std::wstring> lines;
    LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    int rereads = 0;
    for (LRESULT i = (LRESULT)first; i < count; ++i) {
        LRESULT length = SendMessageW(list, LB_GETTEXTLEN, (WPARAM)i, 0);
        if (length == LB_ERR)
            break;
        // Wine converts a line for another process through a buffer of 512
        // characters, and a longer line overruns it in the program; such a
        // line is only measured (Windows has no such limit).
        if (length > kLongestReadableLine) {
            lines.emplace_back((size_t)length, kUnreadChar);
            continue;
        }
        // LB_GETTEXT takes no buffer size, and the line can change between
        // the two messages: a lookup's line inserted above moves every line
        // below it down one. So the buffer holds the longest line the log
        // can have (a read of 2048 bytes), and a line whose length changed
        // is measured and read again.
        std::vector<wchar_t> text(kLongestLogLine + 1, 0);
        LRESULT got = SendMessageW(list, LB_GETTEXT, (WPARAM)i, (LPARAM)text.data());
        if (got == LB_ERR)
            break;
        if (got != length && ++rereads < 3) {
            --i;
            continue;
        }
        lines.emplace_back(text.data(), std::min((size_t)got, kLongestLogLine));
        rereads = 0;
    }
    return lines;
}

std::vector<std::wstring> LogLines(HWND main, size_t first)
{
    HWND list = GetDlgItem(main, kLogList);
    if (list == NULL)
        return std::vector<std::wstring>();
    // A log that changed while it was read is read again, so that no line
    // is seen twice or missed.
    std::vector<std::wstring> lines;
    for (int attempt = 0; attempt < 5; ++attempt) {
        LRESULT before = SendMessageW(list, LB_GETCOUNT, 0, 0);
        lines = ReadLogOnce(list, first);
        if (SendMessageW(list, LB_GETCOUNT, 0, 0) == before)
            break;
    }
    return lines;
}

int LogCount(HWND main)
{
    HWND list = GetDlgItem(main, kLogList);
    LRESULT count = list != NULL ? SendMessageW(list, LB_GETCOUNT, 0, 0) : 0;
    return count < 0 ? 0 : (int)count;
}

std::wstring ControlText(HWND main, int controlId)
{
    HWND control = GetDlgItem(main, controlId);
    if (control == NULL)
        return L"<no control>";
    return WindowTitle(control);
}

std::wstring ButtonText(HWND main)
{
    return ControlText(main, kListenButton);
}

std::wstring StatusText(HWND main)
{
    // The status bar is in simple mode, where WM_GETTEXT answers with the
    // text of its first part rather than the simple text. SB_GETTEXTW asked
    // for part 0 answers with the simple text in simple mode; its buffer has
    // to be memory inside the program, lent for the call.
    HWND bar = GetDlgItem(main, kStatusBar);
    DWORD pid = 0;
    GetWindowThreadProcessId(bar, &pid);
    if (bar == NULL || pid == 0)
        return L"<no status bar>";
    const size_t chars = LOWORD(SendMessageW(bar, SB_GETTEXTLENGTHW, 0, 0)) + 1;
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ, FALSE, pid);
    if (process == NULL)
        return L"<cannot open the program>";
    std::wstring text = L"<cannot read the status bar>";
    void* remote =
        VirtualAllocEx(process, NULL, chars * sizeof(wchar_t), MEM_COMMIT, PAGE_READWRITE);
    if (remote != NULL) {
        std::vector<wchar_t> local(chars, 0);
        SIZE_T read = 0;
        SendMessageW(bar, SB_GETTEXTW, 0, (LPARAM)remote);
        if (ReadProcessMemory(process, remote, local.data(), chars * sizeof(wchar_t), &read))
            text.assign(local.data(), wcsnlen(local.data(), chars));
        VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    }
    CloseHandle(process);
    return text;
}

bool IsShown(HWND window)
{
    return (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

bool IsTopmost(HWND window)
{
    return (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
}

bool WaitForLog(HWND main, const LogPredicate& pred, DWORD timeoutMs,
                std::vector<std::wstring>* last)
{
    std::vector<std::wstring> lines;
    bool ok = PumpUntil(
        [&] {
            lines = LogLines(main);
            return pred(lines);
        },
        timeoutMs);
    if (last != nullptr)
        *last = lines;
    return ok;
}

bool WaitForLogLine(HWND main, const std::wstring& line, DWORD timeoutMs)
{
    return WaitForLog(
        main, [&](const std::vector<std::wstring>& l) { return FindLine(l, line) >= 0; },
        timeoutMs);
}

int FindLine(const std::vector<std::wstring>& lines, const std::wstring& line, size_t from)
{
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i] == line)
            return (int)i;
    return -1;
}

int CountLines(const std::vector<std::wstring>& lines, const std::wstring& line)
{
    int n = 0;
    for (const std::wstring& l : lines)
        if (l == line)
            ++n;
    return n;
}

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out.push_back(c < 0x80 ? (char)c : '?');
    return out;
}

std::wstring Widen(const std::string& text)
{
    std::wstring out;
    for (char c : text)
        out.push_back((wchar_t)(unsigned char)c);
    return out;
}

std::string Dump(const std::vector<std::wstring>& lines)
{
    std::string out = "log (" + std::to_string(lines.size()) + " lines):\n";
    for (const std::wstring& l : lines)
        out += "  [" + Narrow(l.size() > 120 ? l.substr(0, 120) + L"..." : l) + "]\n";
    return out;
}

std::wstring WindowTitle(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, kDeadlineMs, &length))
        return std::wstring();
    std::vector<wchar_t> text(length + 1, 0);
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), (LPARAM)text.data(), SMTO_NORMAL,
                             kDeadlineMs, &got))
        return std::wstring();
    return std::wstring(text.data(), got);
}

struct WindowSearch {
    DWORD pid;
    HWND owner;
    const std::wstring* title;
    HWND found;
};

static BOOL CALLBACK MatchWindow(HWND w, LPARAM param)
{
    WindowSearch& s = *(WindowSearch*)param;
    if (s.pid != 0) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid != s.pid)
            return TRUE;
    }
    if (s.owner != NULL && GetWindow(w, GW_OWNER) != s.owner)
        return TRUE;
    wchar_t text[256] = {};
    GetWindowTextW(w, text, 256);
    if (*s.title != text)
        return TRUE;
    s.found = w;
    return FALSE;
}

static HWND WaitForWindow(DWORD pid, HWND owner, const std::wstring& title, DWORD timeoutMs)
{
    WindowSearch s = {pid, owner, &title, NULL};
    PumpUntil(
        [&] {
            EnumWindows(MatchWindow, (LPARAM)&s);
            return s.found != NULL;
        },
        timeoutMs);
    return s.found;
}

HWND WaitForProcessWindow(DWORD pid, const std::wstring& title, DWORD timeoutMs)
{
    return WaitForWindow(pid, NULL, title, timeoutMs);
}

HWND WaitForOwnedWindow(HWND owner, const std::wstring& title, DWORD timeoutMs)
{
    return WaitForWindow(0, owner, title, timeoutMs);
}

bool WaitForWindowGone(HWND window, DWORD timeoutMs)
{
    return PumpUntil([&] { return !IsWindow(window); }, timeoutMs);
}

std::string ReadFileBytes(const std::wstring& path, bool* exists)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (exists != nullptr)
        *exists = file != INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

// ---- The settings key -----------------------------------------------------

static HKEY CreateSettingsKey()
{
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return NULL;
    return key;
}

static void SetValue(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    HKEY key = CreateSettingsKey();
    ASSERT_TRUE(key != NULL) << "cannot create the settings key";
    LONG rc = RegSetValueExW(key, name, 0, type, (const BYTE*)data, size);
    RegCloseKey(key);
    ASSERT_EQ(rc, ERROR_SUCCESS) << "writing " << Narrow(name);
}

void DeleteSettings()
{
    RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKey);
}

void WritePorts(const std::vector<int>& ports)
{
    WriteDword(L"Count", (DWORD)ports.size());
    for (size_t i = 0; i < ports.size(); ++i)
        WriteDword((L"Port" + std::to_wstring(i)).c_str(), (DWORD)ports[i]);
}

void WriteDword(const wchar_t* name, DWORD value)
{
    SetValue(name, REG_DWORD, &value, sizeof value);
}

void WriteSwitch(const wchar_t* name, BYTE value)
{
    SetValue(name, REG_BINARY, &value, 1);
}

void WriteText(const wchar_t* name, const std::string& text)
{
    HKEY key = CreateSettingsKey();
    ASSERT_TRUE(key != NULL);
    std::string data = text;
    data.push_back(0);
    LONG rc = RegSetValueExA(key, Narrow(name).c_str(), 0, REG_SZ, (const BYTE*)data.data(),
                             (DWORD)data.size());
    RegCloseKey(key);
    ASSERT_EQ(rc, ERROR_SUCCESS);
}

DWORD RegValue::AsDword() const
{
    DWORD v = 0;
    if (data.size() == sizeof v)
        memcpy(&v, data.data(), sizeof v);
    return v;
}

RegValue ReadValue(const wchar_t* name)
{
    RegValue out;
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return out;
    // Read through the ANSI form, so text values come back as the bytes the
    // program stored.
    std::string narrowName = Narrow(name);
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, narrowName.c_str(), NULL, &type, NULL, &size) == ERROR_SUCCESS) {
        out.data.resize(size);
        if (RegQueryValueExA(key, narrowName.c_str(), NULL, &type, out.data.data(), &size) ==
            ERROR_SUCCESS) {
            out.exists = true;
            out.type = type;
            out.data.resize(size);
        }
    }
    RegCloseKey(key);
    return out;
}

bool KeyExists(HKEY root, const wchar_t* key)
{
    HKEY opened = NULL;
    if (RegOpenKeyExW(root, key, 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return false;
    RegCloseKey(opened);
    return true;
}

bool SettingsKeyExists()
{
    return KeyExists(HKEY_CURRENT_USER, kSettingsKey);
}

// ---- TCP on loopback ------------------------------------------------------

void EnsureWinsock()
{
    static bool started = false;
    if (!started) {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
}

std::vector<int> FreePorts(size_t count)
{
    EnsureWinsock();
    std::vector<SOCKET> held;
    std::vector<int> ports;
    for (size_t i = 0; i < count; ++i) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = 0;
        int len = sizeof a;
        if (s == INVALID_SOCKET || bind(s, (sockaddr*)&a, sizeof a) != 0 ||
            getsockname(s, (sockaddr*)&a, &len) != 0) {
            ADD_FAILURE() << "cannot pick a free port";
            if (s != INVALID_SOCKET)
                closesocket(s);
            break;
        }
        held.push_back(s);
        ports.push_back(ntohs(a.sin_port));
    }
    for (SOCKET s : held)
        closesocket(s);
    return ports;
}

int FreePort()
{
    std::vector<int> p = FreePorts(1);
    return p.empty() ? 0 : p[0];
}

PortHolder::PortHolder(int port)
{
    EnsureWinsock();
    sock_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons((u_short)port);
    if (sock_ != INVALID_SOCKET &&
        (bind(sock_, (sockaddr*)&a, sizeof a) != 0 || listen(sock_, 5) != 0)) {
        closesocket(sock_);
        sock_ = INVALID_SOCKET;
    }
}

PortHolder::~PortHolder()
{
    if (sock_ != INVALID_SOCKET)
        closesocket(sock_);
}

Caller::~Caller()
{
    Close();
}

bool Caller::Connect(int port, DWORD timeoutMs)
{
    return ConnectFrom(NULL, port, timeoutMs);
}

bool Caller::ConnectFrom(const char* from, int port, DWORD timeoutMs)
{
    EnsureWinsock();
    Close();
    sock_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock_ == INVALID_SOCKET)
        return false;
    if (from != NULL) {
        sockaddr_in own = {};
        own.sin_family = AF_INET;
        own.sin_addr.s_addr = inet_addr(from);
        if (bind(sock_, (sockaddr*)&own, sizeof own) != 0) {
            Close();
            return false;
        }
    }
    u_long nonBlocking = 1;
    ioctlsocket(sock_, FIONBIO, &nonBlocking);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((u_short)port);
    bool ok = connect(sock_, (sockaddr*)&a, sizeof a) == 0;
    if (!ok && WSAGetLastError() == WSAEWOULDBLOCK) {
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(sock_, &writable);
        FD_SET(sock_, &failed);
        timeval tv = {(long)(timeoutMs / 1000), (long)((timeoutMs % 1000) * 1000)};
        ok = select(0, NULL, &writable, &failed, &tv) > 0 && FD_ISSET(sock_, &writable);
    }
    nonBlocking = 0;
    if (sock_ != INVALID_SOCKET)
        ioctlsocket(sock_, FIONBIO, &nonBlocking);
    if (!ok)
        Close();
    return ok;
}

bool Caller::Send(const std::string& bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        int n = send(sock_, bytes.data() + sent, (int)(bytes.size() - sent), 0);
        if (n <= 0)
            return false;
        sent += (size_t)n;
    }
    return true;
}

// Waits for the socket to become readable; false on timeout.
static bool WaitReadable(SOCKET s, DWORD timeoutMs)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval tv = {(long)(timeoutMs / 1000), (long)((timeoutMs % 1000) * 1000)};
    return select(0, &readable, NULL, NULL, &tv) > 0;
}

std::string Caller::ReceiveAll(DWORD timeoutMs, bool* ended)
{
    std::string got;
    *ended = false;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (sock_ != INVALID_SOCKET) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            break;
        if (!WaitReadable(sock_, (DWORD)(deadline - now)))
            break;
        char buf[4096];
        int n = recv(sock_, buf, sizeof buf, 0);
        if (n <= 0) {
            *ended = true;
            break;
        }
        got.append(buf, (size_t)n);
    }
    return got;
}

std::string Caller::ReceiveSome(DWORD timeoutMs, bool* ended)
{
    *ended = false;
    if (sock_ == INVALID_SOCKET || !WaitReadable(sock_, timeoutMs))
        return std::string();
    char buf[4096];
    int n = recv(sock_, buf, sizeof buf, 0);
    if (n <= 0) {
        *ended = true;
        return std::string();
    }
    return std::string(buf, (size_t)n);
}

void Caller::HalfClose()
{
    if (sock_ != INVALID_SOCKET)
        shutdown(sock_, SD_SEND);
}

void Caller::Reset()
{
    if (sock_ == INVALID_SOCKET)
        return;
    linger l = {1, 0};
    setsockopt(sock_, SOL_SOCKET, SO_LINGER, (const char*)&l, sizeof l);
    closesocket(sock_);
    sock_ = INVALID_SOCKET;
}

void Caller::Close()
{
    if (sock_ != INVALID_SOCKET)
        closesocket(sock_);
    sock_ = INVALID_SOCKET;
}

int Caller::LocalPort() const
{
    sockaddr_in a = {};
    int len = sizeof a;
    if (sock_ == INVALID_SOCKET || getsockname(sock_, (sockaddr*)&a, &len) != 0)
        return 0;
    return ntohs(a.sin_port);
}

// ---- Fixture --------------------------------------------------------------

void HarbinelTest::SetUp()
{
    KillLeftovers();
    DeleteSettings();
    ASSERT_FALSE(SettingsKeyExists());
    EnsureWinsock();
}

void HarbinelTest::StartProgram()
{
    ASSERT_FALSE(ProgramPath().empty()) << "HARBINEL_EXE is not set";
    ASSERT_TRUE(program_.Start()) << "cannot start " << Narrow(ProgramPath());
    main_ = program_.WaitForWindow();
    ASSERT_TRUE(main_ != NULL) << "no main window appeared";
    exited_ = false;
}

void HarbinelTest::ExitProgram()
{
    if (exited_ || !program_.IsRunning())
        return;
    exited_ = true;
    PostCommand(main_, kExit);
    DWORD code = 12345;
    bool ended = program_.WaitForExit(kDeadlineMs, &code);
    EXPECT_TRUE(ended) << "Exit did not end the program";
    if (ended) {
        EXPECT_EQ(code, 0u) << "exit code";
    }
}

void HarbinelTest::Listen()
{
    SendCommand(main_, kListen);
    ASSERT_TRUE(PumpUntil([&] { return ButtonText(main_) == L"Stop"; }))
        << "button reads " << Narrow(ButtonText(main_));
}

int HarbinelTest::ListenOnOnePortKeepingCallers()
{
    const int port = FreePort();
    WritePorts({port});
    WriteSwitch(L"Disconnnect", 0);
    StartProgram();
    Listen();
    return port;
}

void HarbinelTest::TearDown()
{
    if (program_.IsRunning()) {
        // A modal window left up by a failed test would keep Exit waiting.
        ExitProgram();
        program_.Kill();
    }
    KillLeftovers();
    DeleteSettings();
}

} // namespace e2e
