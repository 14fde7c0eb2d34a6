// A stand-in for Windows' netsh.exe that the install tests put in the test
// prefix's system folder, so that the firewall rules the installer and the
// uninstaller ask for can be checked without a firewall. It changes nothing:
// it appends its arguments, exactly as it was given them, as one UTF-16 line
// to the file that HARBINEL_NETSH_LOG names, and ends with code 0 as netsh
// does when a command works. Without HARBINEL_NETSH_LOG it only ends.
//
// Built with FAKE_SCHTASKS it stands in for schtasks.exe instead, logging
// to HARBINEL_SCHTASKS_LOG, and keeps a copy of the task file that /XML
// names beside the log (the log's name and ".xml"), since the installer
// deletes its own once schtasks has read it.
#include <windows.h>

#include <shellapi.h>

#ifdef FAKE_SCHTASKS
#define FAKE_LOG_VARIABLE L"HARBINEL_SCHTASKS_LOG"
#else
#define FAKE_LOG_VARIABLE L"HARBINEL_NETSH_LOG"
#endif

namespace {

// The command line after the program's own name, which may be quoted.
const wchar_t* Arguments(const wchar_t* line)
{
    if (*line == L'"') {
        ++line;
        while (*line != L'\0' && *line != L'"')
            ++line;
        if (*line == L'"')
            ++line;
    } else {
        while (*line != L'\0' && *line != L' ' && *line != L'\t')
            ++line;
    }
    while (*line == L' ' || *line == L'\t')
        ++line;
    return line;
}

#ifdef FAKE_SCHTASKS
// Copies the file after /XML (any case) to the log's name and ".xml".
void KeepTaskFile(const wchar_t* log)
{
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == NULL)
        return;
    static wchar_t copy[MAX_PATH + 8];
    const int chars = lstrlenW(log);
    if (chars < MAX_PATH) {
        CopyMemory(copy, log, chars * sizeof(wchar_t));
        CopyMemory(copy + chars, L".xml", 5 * sizeof(wchar_t));
        for (int i = 1; i + 1 < count; ++i)
            if (lstrcmpiW(argv[i], L"/XML") == 0)
                CopyFileW(argv[i + 1], copy, FALSE);
    }
    LocalFree(argv);
}
#endif

} // namespace

int main()
{
    wchar_t log[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(FAKE_LOG_VARIABLE, log, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 0;
#ifdef FAKE_SCHTASKS
    KeepTaskFile(log);
#endif
    const wchar_t* arguments = Arguments(GetCommandLineW());

    // UTF-16 as Windows keeps it, one line for each call, so that the test
    // reads back exactly what was passed.
    static wchar_t line[8192];
    int chars = lstrlenW(arguments);
    if (chars > 8190)
        return 3;
    CopyMemory(line, arguments, chars * sizeof(wchar_t));
    line[chars++] = L'\n';
    const DWORD bytes = chars * sizeof(wchar_t);
    // FILE_APPEND_DATA puts every write at the end.
    HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 4;
    DWORD written = 0;
    BOOL ok = WriteFile(file, line, bytes, &written, NULL);
    CloseHandle(file);
    return ok && written == bytes ? 0 : 5;
}
