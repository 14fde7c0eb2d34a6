// A stand-in for Windows' netsh.exe that the install tests put in the test
// prefix's system folder, so that the firewall rules the installer and the
// uninstaller ask for can be checked without a firewall. It changes nothing:
// it appends its arguments, exactly as it was given them, as one UTF-16 line
// to the file that HARBINEL_NETSH_LOG names, and ends with code 0 as netsh
// does when a command works. Without HARBINEL_NETSH_LOG it only ends.
#include <windows.h>

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

} // namespace

int main()
{
    wchar_t log[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(L"HARBINEL_NETSH_LOG", log, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 0;
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
