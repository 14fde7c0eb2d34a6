// A stand-in for the user's program that the tests have Harbinel run: it
// records the arguments it was given, as CommandLineToArgvW reads its command
// line, and its current folder, then waits for a named event when told to,
// so that tests can keep it running.
//
// HARBINEL_RECORDER_DIR names the folder for the record, a file <pid>.run
// holding the current folder and then each argument, each ended by a zero
// byte, in UTF-8. HARBINEL_RECORDER_EVENT, when set, names a manual-reset
// event to wait for (30 s at most) after the record is written.
#include <windows.h>
#include <shellapi.h>

#include <string>

static std::string Utf8(const wchar_t* text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    std::string out(size > 0 ? size - 1 : 0, '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, NULL, NULL);
    return out;
}

static std::wstring Env(const wchar_t* name)
{
    wchar_t value[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? value : L"";
}

int main()
{
    const std::wstring folder = Env(L"HARBINEL_RECORDER_DIR");
    if (folder.empty())
        return 2;
    std::string record;
    wchar_t current[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);
    record += Utf8(current) + '\0';
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; args != NULL && i < count; ++i)
        record += Utf8(args[i]) + '\0';
    LocalFree(args);

    // Written under another name and then renamed, so a reader never sees
    // half a record.
    const std::wstring name = folder + L"\\" + std::to_wstring(GetCurrentProcessId());
    HANDLE file = CreateFileW((name + L".tmp").c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 3;
    DWORD written = 0;
    BOOL ok = WriteFile(file, record.data(), (DWORD)record.size(), &written, NULL);
    CloseHandle(file);
    if (!ok || !MoveFileW((name + L".tmp").c_str(), (name + L".run").c_str()))
        return 4;

    const std::wstring eventName = Env(L"HARBINEL_RECORDER_EVENT");
    if (!eventName.empty()) {
        HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, eventName.c_str());
        if (event != NULL) {
            WaitForSingleObject(event, 30000);
            CloseHandle(event);
        }
    }
    return 0;
}
