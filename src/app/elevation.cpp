// Restart as Administrator: the Options item that a copy without
// administrator rights shows while a switch that needs them is on, the
// restart itself, and the new copy's wait for the one it replaces. The
// stealth watch's raw sockets and the firewall rule of Block Scanners are
// refused without those rights, and a copy started at logon from the Run
// entry never has them.
#include "app.h"

#include "../pure/commandline.h"
#include "../pure/errortext.h"
#include "../pure/text.h"
#include "../log/log.h"
#include "../outputs/outputs.h"
#include "../settings/settings.h"
#include "resource.h"

// How long a restarted copy waits for the one it replaces to save its
// settings and end; a copy that takes longer is brought forward instead,
// as any second start does.
static const DWORD kEarlierCopyWaitMs = 10000;

// Whether the process token is elevated. Without TokenElevation (before
// Vista) membership of Administrators is what counts.
static bool SystemRunsAsAdministrator()
{
    HANDLE token = NULL;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        TOKEN_ELEVATION elevation = {};
        DWORD size = 0;
        BOOL known =
            GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
        CloseHandle(token);
        if (known)
            return elevation.TokenIsElevated != 0;
    }
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID administrators = NULL;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                  0, 0, 0, 0, 0, &administrators))
        return false;
    BOOL member = FALSE;
    if (!CheckTokenMembership(NULL, administrators, &member))
        member = FALSE;
    FreeSid(administrators);
    return member != FALSE;
}

static bool RunsAsAdministrator()
{
    return AppState.IsAdministrator != NULL ? AppState.IsAdministrator()
                                            : SystemRunsAsAdministrator();
}

// Asks Windows to start exe elevated; the consent prompt belongs to the
// main window. False, with the last error set, when it did not start
// (ERROR_CANCELLED when the user said no).
static bool SystemStartElevated(const wchar_t* exe, const wchar_t* arguments)
{
    SHELLEXECUTEINFOW run = {};
    run.cbSize = sizeof run;
    run.fMask = SEE_MASK_NOASYNC;
    run.hwnd = AppState.MainWindow;
    run.lpVerb = L"runas";
    run.lpFile = exe;
    run.lpParameters = arguments;
    run.nShow = SW_SHOWNORMAL;
    return ShellExecuteExW(&run) != FALSE;
}

// The menu bar's popup that holds Stealth Watch; NULL when there is none.
static HMENU OptionsMenu()
{
    HMENU bar = AppState.MainMenu;
    int count = bar != NULL ? GetMenuItemCount(bar) : 0;
    for (int i = 0; i < count; ++i) {
        HMENU popup = GetSubMenu(bar, i);
        if (popup != NULL && GetMenuState(popup, IDM_STEALTH, MF_BYCOMMAND) != (UINT)-1)
            return popup;
    }
    return NULL;
}

void ShowRestartAdminItem()
{
    HMENU options = OptionsMenu();
    if (options == NULL)
        return;
    bool wanted = (AppState.StealthWatch || AppState.Block) && !RunsAsAdministrator();
    bool shown = GetMenuState(options, IDM_RESTARTADMIN, MF_BYCOMMAND) != (UINT)-1;
    if (wanted && !shown)
        AppendMenuA(options, MF_STRING, IDM_RESTARTADMIN, "Restart as A&dministrator");
    else if (!wanted && shown)
        DeleteMenu(options, IDM_RESTARTADMIN, MF_BYCOMMAND);
}

void RestartAsAdministrator(HWND window)
{
    // Exit does not end a copy whose dialog is open, so two would be left.
    if (AppState.DialogOpen)
        return;
    wchar_t exe[1024];
    DWORD length = GetModuleFileNameW(NULL, exe, 1024);
    if (length == 0 || length >= 1024) {
        ReportError("Restart error: the program's own file cannot be named");
        return;
    }
    char16_t arguments[kRestartArgumentsSize];
    RestartArgumentsN(GetCurrentProcessId(), arguments, kRestartArgumentsSize);
    ElevatedStarter start =
        AppState.StartElevated != NULL ? AppState.StartElevated : SystemStartElevated;
    BeginModal();
    bool started = start(exe, reinterpret_cast<const wchar_t*>(arguments));
    DWORD error = GetLastError();
    EndModal();
    if (!started) {
        if (error == ERROR_CANCELLED) {
            AddLogLine("Restart as Administrator cancelled");
            return;
        }
        char line[128];
        TextCopy(line, "Restart error: ");
        TextAppend(line, FileErrorText(error));
        ReportError(line);
        return;
    }
    // The new copy waits for this one: Exit saves the settings it loads.
    OnCommand(window, IDM_EXIT);
}

void WaitForEarlierCopy(const wchar_t* commandLine)
{
    DWORD earlier = RestartedAfter(reinterpret_cast<const char16_t*>(commandLine));
    if (earlier == 0 || earlier == GetCurrentProcessId())
        return;
    // Only the process that owns the running main window is waited for, so
    // a wrong or hostile id makes this copy start as any second one does.
    HWND running = FindWindowA(kClassName, NULL);
    DWORD owner = 0;
    if (running == NULL || GetWindowThreadProcessId(running, &owner) == 0 || owner != earlier)
        return;
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, earlier);
    if (process == NULL)
        return;
    WaitForSingleObject(process, kEarlierCopyWaitMs);
    CloseHandle(process);
}
