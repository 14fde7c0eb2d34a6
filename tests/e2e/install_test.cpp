// The installer and uninstaller as a user or an administrator's script runs
// them: silent installs (default folder or a chosen one, with and without
// the Run entry, over a running program), the program, shortcut, Event Log
// source and registration they put in place, the version records, and
// uninstalls, silent or answered by hand, that remove the files, shortcut
// and source, keep the settings key unless asked, and never stop half-way.
//
// The installer under test is HARBINEL_SETUP, built for the same machine as
// this test exe, so both see the same Program Files folder and registry view.
// In every test a stand-in netsh.exe and schtasks.exe (fake_netsh/) sit in
// the system folder in place of Wine's, recording the firewall rule and
// logon task commands given to them, and the task file.
#include "driver.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <algorithm>
#include <cstring>

namespace {

using namespace e2e;

const wchar_t kUninstallKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Harbinel";
const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kEventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Harbinel";
const DWORD kInstallerDeadlineMs = 60000;

std::wstring SetupPath()
{
    const wchar_t* path = _wgetenv(L"HARBINEL_SETUP");
    return path != NULL ? std::wstring(path) : std::wstring();
}

std::wstring KnownFolder(int csidl)
{
    wchar_t path[MAX_PATH] = {};
    if (SHGetFolderPathW(NULL, csidl, NULL, SHGFP_TYPE_CURRENT, path) != S_OK)
        return std::wstring();
    return path;
}

std::wstring InstallDir()
{
    return KnownFolder(CSIDL_PROGRAM_FILES) + L"\\Harbinel";
}

std::wstring InstalledExe()
{
    return InstallDir() + L"\\harbinel.exe";
}

std::wstring ShortcutPath()
{
    return KnownFolder(CSIDL_COMMON_PROGRAMS) + L"\\Harbinel.lnk";
}

// The file a shell shortcut points at, or empty when it cannot be read.
std::wstring ShortcutTarget(const std::wstring& link)
{
    std::wstring target;
    bool initialised = SUCCEEDED(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED));
    IShellLinkW* shell = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&shell)))) {
        IPersistFile* file = nullptr;
        if (SUCCEEDED(shell->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            wchar_t path[MAX_PATH] = {};
            if (SUCCEEDED(file->Load(link.c_str(), STGM_READ)) &&
                SUCCEEDED(shell->GetPath(path, MAX_PATH, NULL, 0)))
                target = path;
            file->Release();
        }
        shell->Release();
    }
    if (initialised)
        CoUninitialize();
    return target;
}

// A REG_SZ value; empty, with `found` false, when there is none.
std::wstring ReadString(HKEY root, const wchar_t* key, const wchar_t* name, bool* found = nullptr)
{
    wchar_t data[1024] = {};
    DWORD size = sizeof data - sizeof(wchar_t);
    LSTATUS rc = RegGetValueW(root, key, name, RRF_RT_REG_SZ, NULL, data, &size);
    if (found != nullptr)
        *found = rc == ERROR_SUCCESS;
    return rc == ERROR_SUCCESS ? std::wstring(data) : std::wstring();
}

// The Event Log source as setup registers it: its sentences in the exe
// installed, and the three event types Harbinel writes.
void ExpectEventSource(const std::wstring& exe)
{
    wchar_t file[1024] = {};
    DWORD type = 0, size = sizeof file - sizeof(wchar_t);
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kEventSourceKey, L"EventMessageFile",
                           RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, file, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_EXPAND_SZ);
    EXPECT_EQ(std::wstring(file), exe);
    DWORD types = 0;
    size = sizeof types;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kEventSourceKey, L"TypesSupported", RRF_RT_REG_DWORD,
                           NULL, &types, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(types, 7u);
}

bool RunEntryExists()
{
    bool found = false;
    ReadString(HKEY_CURRENT_USER, kRunKey, L"Harbinel", &found);
    return found;
}

// Runs an exe with arguments to its end; returns its exit code, or ~0 when
// it did not start or did not end in time.
DWORD RunToEnd(const std::wstring& exe, const std::wstring& arguments)
{
    Program p;
    if (!p.Start(exe, arguments))
        return ~0u;
    DWORD code = ~0u;
    if (!p.WaitForExit(kInstallerDeadlineMs, &code)) {
        p.Kill();
        return ~0u;
    }
    return code;
}

DWORD RunInstaller(const std::wstring& arguments)
{
    return RunToEnd(SetupPath(), arguments);
}

// Runs the quiet uninstall command that Add/Remove Programs keeps, plus any
// further arguments. The uninstaller hands its work to a copy of itself and
// ends at once, so this waits for what it does instead: the folder and the
// registration gone.
::testing::AssertionResult UninstallQuietly(const std::wstring& extra = std::wstring())
{
    std::wstring command = ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"QuietUninstallString");
    if (command.size() < 2 || command[0] != L'"')
        return ::testing::AssertionFailure() << "no quiet uninstall command: " << Narrow(command);
    size_t close = command.find(L'"', 1);
    if (close == std::wstring::npos)
        return ::testing::AssertionFailure() << "unbalanced quotes: " << Narrow(command);
    std::wstring exe = command.substr(1, close - 1);
    std::wstring arguments = command.substr(close + 1);
    while (!arguments.empty() && arguments[0] == L' ')
        arguments.erase(0, 1);
    if (!extra.empty())
        arguments += L" " + extra;
    const std::wstring dir = ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"InstallLocation");
    DWORD code = RunToEnd(exe, arguments);
    if (code != 0)
        return ::testing::AssertionFailure() << "uninstaller ended with " << code;
    bool gone =
        PumpUntil([&] { return !FileExists(dir) && !KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey); },
                  kInstallerDeadlineMs);
    if (!gone)
        return ::testing::AssertionFailure() << "the folder or the registration is still there";
    return ::testing::AssertionSuccess();
}

struct FileVersion {
    bool read = false;
    WORD language = 0, codePage = 0; // the first translation listed
    DWORD fileMS = 0, fileLS = 0, productMS = 0, productLS = 0;
    std::wstring fileText, productText;
};

FileVersion ReadVersion(const std::wstring& path)
{
    FileVersion v;
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0)
        return v;
    std::vector<BYTE> info(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, info.data()))
        return v;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &len) ||
        len < sizeof *fixed)
        return v;
    v.read = true;
    v.fileMS = fixed->dwFileVersionMS;
    v.fileLS = fixed->dwFileVersionLS;
    v.productMS = fixed->dwProductVersionMS;
    v.productLS = fixed->dwProductVersionLS;
    WORD* translation = nullptr;
    if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translation), &len) ||
        len < 2 * sizeof(WORD))
        return v;
    v.language = translation[0];
    v.codePage = translation[1];
    wchar_t block[9] = {};
    swprintf(block, 9, L"%04X%04X", v.language, v.codePage);
    auto text = [&](const wchar_t* name) {
        std::wstring query = std::wstring(L"\\StringFileInfo\\") + block + L"\\" + name;
        wchar_t* value = nullptr;
        UINT chars = 0;
        if (!VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &chars) ||
            value == nullptr)
            return std::wstring();
        return std::wstring(value);
    };
    v.fileText = text(L"FileVersion");
    v.productText = text(L"ProductVersion");
    return v;
}

// A shown top-level window titled `title` that has a control `id` whose
// text, ampersands left out, is `label` (any text when `label` is empty)
// and which is enabled; NULL when there is none.
HWND FindDialogWith(const std::wstring& title, int id, const std::wstring& label)
{
    for (HWND w : TopLevelWindows()) {
        HWND control = GetDlgItem(w, id);
        // NSIS ends its captions with a space.
        std::wstring caption = WindowTitle(w);
        caption.erase(caption.find_last_not_of(L' ') + 1);
        if (!IsWindowVisible(w) || caption != title || control == NULL || !IsWindowEnabled(control))
            continue;
        std::wstring text = WindowTitle(control);
        text.erase(std::remove(text.begin(), text.end(), L'&'), text.end());
        if (label.empty() || text == label)
            return w;
    }
    return NULL;
}

HWND WaitForDialogWith(const std::wstring& title, int id,
                       const std::wstring& label = std::wstring())
{
    HWND found = NULL;
    PumpUntil([&] { return (found = FindDialogWith(title, id, label)) != NULL; },
              kInstallerDeadlineMs);
    return found;
}

// Presses button `id` of `dialog` as a click would: the dialog gets the
// button's command.
void Press(HWND dialog, int id)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), (LPARAM)GetDlgItem(dialog, id));
}

// Starts the installed harbinel.exe; its main window, or NULL.
HWND StartInstalled(Program& program)
{
    return program.Start(InstalledExe()) ? program.WaitForWindow() : NULL;
}

::testing::AssertionResult EndsWithCodeZero(Program& program)
{
    DWORD code = 1;
    if (!program.WaitForExit(kDeadlineMs, &code))
        return ::testing::AssertionFailure() << "the program is still running";
    if (code != 0)
        return ::testing::AssertionFailure() << "the program ended with " << code;
    return ::testing::AssertionSuccess();
}

// The file `path` of an installation, its shortcut and its registration: all
// there or all gone.
void ExpectInstallation(const std::wstring& path, bool present)
{
    EXPECT_EQ(FileExists(path), present) << Narrow(path);
    EXPECT_EQ(FileExists(ShortcutPath()), present);
    EXPECT_EQ(KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey), present);
}

// ---- The firewall rule ------------------------------------------------------

// One netsh call, its arguments split as netsh's own command line parser
// splits them (quotes grouping, then dropped).
using NetshCall = std::vector<std::wstring>;

NetshCall SplitArguments(const std::wstring& arguments)
{
    NetshCall split;
    int count = 0;
    const std::wstring line = L"netsh " + arguments;
    wchar_t** argv = CommandLineToArgvW(line.c_str(), &count);
    if (argv == NULL)
        return split;
    for (int i = 1; i < count; ++i)
        split.push_back(argv[i]);
    LocalFree(argv);
    return split;
}

const NetshCall kDeleteRule = {L"advfirewall", L"firewall", L"delete", L"rule", L"name=Harbinel"};
// The program's own rule for Block Scanners, which only the uninstaller
// touches.
const NetshCall kDeleteBlockRule = {L"advfirewall", L"firewall", L"delete", L"rule",
                                    L"name=Harbinel: blocked callers"};

NetshCall AddRule(const std::wstring& exe)
{
    return {L"advfirewall",   L"firewall",   L"add",          L"rule",
            L"name=Harbinel", L"dir=in",     L"action=allow", L"program=" + exe,
            L"enable=yes",    L"profile=any"};
}

std::string Show(const std::vector<NetshCall>& calls)
{
    std::string text;
    for (const NetshCall& call : calls) {
        text += "\n   ";
        for (const std::wstring& argument : call)
            text += " [" + Narrow(argument) + "]";
    }
    return calls.empty() ? std::string(" (none)") : text;
}

// A stand-in (netsh.exe from HARBINEL_FAKE_NETSH, or schtasks.exe from
// HARBINEL_FAKE_SCHTASKS) in the system folder that the installer runs it
// from, in place of Wine's own, which is put back afterwards. It appends the
// arguments of every call to a file of ours; schtasks also keeps the task
// file it was given.
class FakeTool {
  public:
    FakeTool(const wchar_t* exe, const wchar_t* fakeVariable, const wchar_t* logVariable)
        : exe_(exe), fakeVariable_(fakeVariable), logVariable_(logVariable)
    {
    }
    ~FakeTool()
    {
        Remove();
    }

    ::testing::AssertionResult Install()
    {
        const wchar_t* fake = _wgetenv(fakeVariable_);
        if (fake == NULL || !FileExists(fake))
            return ::testing::AssertionFailure() << Narrow(fakeVariable_) << " names no stand-in";
        wchar_t system[MAX_PATH] = {};
        UINT length = GetSystemDirectoryW(system, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return ::testing::AssertionFailure() << "no system folder";
        netsh_ = std::wstring(system) + L"\\" + exe_;
        saved_ = netsh_ + L".harbinel-saved";
        if (!folder_.Create(Narrow(exe_)))
            return ::testing::AssertionFailure() << "no folder for the stand-in's log";
        log_ = folder_.Path(std::wstring(L"calls.txt"));
        if (FileExists(netsh_) && !FileExists(saved_) && !MoveFileW(netsh_.c_str(), saved_.c_str()))
            return ::testing::AssertionFailure() << "cannot move " << Narrow(netsh_) << " aside";
        if (!CopyFileW(fake, netsh_.c_str(), FALSE))
            return ::testing::AssertionFailure()
                   << "cannot copy the stand-in to " << Narrow(netsh_);
        SetEnvironmentVariableW(logVariable_, log_.c_str());
        // Wine runs its own netsh for that name, whatever file the system
        // folder holds, unless its settings say to take the file first
        // (64-bit Wine does so at least). Windows has no such key.
        const wchar_t order[] = L"native,builtin";
        if (RegSetKeyValueW(HKEY_CURRENT_USER, kWineOverrides, exe_, REG_SZ, order, sizeof order) !=
            ERROR_SUCCESS)
            return ::testing::AssertionFailure() << "cannot set Wine's order for " << Narrow(exe_);
        return ::testing::AssertionSuccess();
    }

    void Remove()
    {
        if (netsh_.empty())
            return;
        SetEnvironmentVariableW(logVariable_, NULL);
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kWineOverrides, exe_);
        DeleteFileW(netsh_.c_str());
        if (FileExists(saved_))
            MoveFileW(saved_.c_str(), netsh_.c_str());
        netsh_.clear();
        folder_.Remove();
    }

    // Forgets the calls so far.
    void Clear()
    {
        DeleteFileW(log_.c_str());
        DeleteFileW(TaskFile().c_str());
    }

    // The copy of the last task file given to schtasks /XML.
    std::wstring TaskFile() const
    {
        return log_ + L".xml";
    }

    std::vector<NetshCall> Calls() const
    {
        std::string bytes = ReadFileBytes(log_);
        std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
        if (!text.empty())
            memcpy(&text[0], bytes.data(), text.size() * sizeof(wchar_t));
        std::vector<NetshCall> calls;
        size_t start = 0;
        for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
            calls.push_back(SplitArguments(text.substr(start, end - start)));
        return calls;
    }

  private:
    const wchar_t* exe_;
    const wchar_t* fakeVariable_;
    const wchar_t* logVariable_;
    TempFolder folder_;
    std::wstring netsh_, saved_, log_;
    static constexpr const wchar_t* kWineOverrides = L"Software\\Wine\\DllOverrides";
};

// The programs that "Harbinel" rules would let in after these calls, as
// Windows' firewall keeps them: a delete by name removes every rule of that
// name, an add adds one more even when one of the name exists. Any other
// call fails the test.
std::vector<std::wstring> RulesAfter(const std::vector<NetshCall>& calls)
{
    const size_t programAt = 7; // where AddRule puts program=
    std::vector<std::wstring> rules;
    for (const NetshCall& call : calls) {
        if (call == kDeleteRule) {
            rules.clear();
            continue;
        }
        if (call == kDeleteBlockRule)
            continue;
        std::wstring program;
        if (call.size() > programAt && StartsWith(call[programAt], L"program="))
            program = call[programAt].substr(8);
        if (!program.empty() && call == AddRule(program))
            rules.push_back(program);
        else
            ADD_FAILURE() << "unexpected netsh call:" << Show({call});
    }
    return rules;
}

class InstallTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_FALSE(SetupPath().empty()) << "HARBINEL_SETUP names no installer";
        ASSERT_TRUE(netsh_.Install());
        ASSERT_TRUE(schtasks_.Install());
        KillLeftovers();
        DeleteSettings();
        WriteSwitch(kValueFirstRunAsked, 0); // the installed copy asks nothing
        // A run that failed half-way may have left an installation behind.
        if (KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey)) {
            ASSERT_TRUE(UninstallQuietly(L"/REMOVESETTINGS"));
        }
        ASSERT_FALSE(FileExists(InstallDir()));
        netsh_.Clear();
        schtasks_.Clear();
    }

    void TearDown() override
    {
        KillLeftovers();
        if (KeyExists(HKEY_LOCAL_MACHINE, kUninstallKey)) {
            EXPECT_TRUE(UninstallQuietly(L"/REMOVESETTINGS"));
        }
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, L"Harbinel");
        DeleteSettings();
        netsh_.Remove();
        schtasks_.Remove();
    }

    FakeTool netsh_{L"netsh.exe", L"HARBINEL_FAKE_NETSH", L"HARBINEL_NETSH_LOG"};
    FakeTool schtasks_{L"schtasks.exe", L"HARBINEL_FAKE_SCHTASKS", L"HARBINEL_SCHTASKS_LOG"};
};

TEST_F(InstallTest, SilentInstallPutsTheProgramInProgramFilesAndItStarts)
{
    ASSERT_EQ(RunInstaller(L"/S"), 0u);

    const std::wstring dir = InstallDir();
    const std::wstring exe = InstalledExe();
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"InstallLocation"), dir);
    bool exists = false;
    std::string installed = ReadFileBytes(exe, &exists);
    ASSERT_TRUE(exists) << Narrow(exe);
    EXPECT_TRUE(installed == ReadFileBytes(ProgramPath()))
        << "the installed exe is not the one built";
    bool readme = false;
    std::string text = ReadFileBytes(dir + L"\\readme.txt", &readme);
    EXPECT_TRUE(readme);
    EXPECT_EQ(text.find("portable"), std::string::npos) << "the portable copy's readme: " << text;
    EXPECT_TRUE(FileExists(dir + L"\\uninstall.exe"));
    EXPECT_EQ(ShortcutTarget(ShortcutPath()), exe) << Narrow(ShortcutPath());

    // What Add/Remove Programs shows and runs.
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayName"), L"Harbinel");
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"DisplayVersion"), L"1.0.6.0");
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"Publisher"), L"Ferrowind");
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"UninstallString"),
              L"\"" + dir + L"\\uninstall.exe\"");
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"QuietUninstallString"),
              L"\"" + dir + L"\\uninstall.exe\" /S");

    // "Start Harbinel when Windows starts" is unticked unless asked for.
    EXPECT_FALSE(RunEntryExists());
    ExpectEventSource(exe);

    Program program;
    HWND main = StartInstalled(program);
    ASSERT_NE(main, (HWND)NULL) << "the installed program did not start";
    EXPECT_EQ(ButtonText(main), kButtonListenW);
    PostCommand(main, kExit);
    EXPECT_TRUE(EndsWithCodeZero(program));
}

TEST_F(InstallTest, InstallsIntoTheFolderChosenAndUninstallsFromThere)
{
    const std::wstring dir = L"C:\\Tools\\Scan Guard";
    ASSERT_EQ(RunInstaller(L"/S /D=" + dir), 0u);
    EXPECT_TRUE(FileExists(dir + L"\\harbinel.exe"));
    EXPECT_FALSE(FileExists(InstallDir()));
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kUninstallKey, L"InstallLocation"), dir);
    EXPECT_EQ(ShortcutTarget(ShortcutPath()), dir + L"\\harbinel.exe");
    ExpectEventSource(dir + L"\\harbinel.exe");

    ASSERT_TRUE(UninstallQuietly());
    EXPECT_FALSE(FileExists(dir));
    EXPECT_FALSE(FileExists(ShortcutPath()));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kEventSourceKey));
    RemoveDirectoryW(L"C:\\Tools");
}

// The firewall would ask about the new listener, and a Cancel there blocks
// every scan from another PC; setup adds the rule for the exe it installed
// (wherever that went, spaces and all) after removing any earlier one, and
// the uninstaller removes it, and the program's own rule of blocked callers.
TEST_F(InstallTest, InstallAddsTheFirewallRuleForTheInstalledExeAndUninstallRemovesIt)
{
    struct Case {
        const char* name;
        std::wstring arguments;
        std::wstring dir;
    };
    const Case cases[] = {
        {"default folder", L"/S", InstallDir()},
        {"chosen folder", L"/S /D=C:\\Tools\\Scan Guard", L"C:\\Tools\\Scan Guard"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        netsh_.Clear();
        ASSERT_EQ(RunInstaller(c.arguments), 0u);
        const std::wstring exe = c.dir + L"\\harbinel.exe";
        ASSERT_TRUE(FileExists(exe));
        std::vector<NetshCall> calls = netsh_.Calls();
        EXPECT_EQ(calls, (std::vector<NetshCall>{kDeleteRule, AddRule(exe)})) << Show(calls);

        netsh_.Clear();
        ASSERT_TRUE(UninstallQuietly());
        calls = netsh_.Calls();
        EXPECT_EQ(calls, (std::vector<NetshCall>{kDeleteRule, kDeleteBlockRule})) << Show(calls);
    }
    RemoveDirectoryW(L"C:\\Tools");
}

// Every install first removes the rule an earlier one added, so upgrades
// never pile up rules: each add comes right after a delete, and one rule,
// for the exe now installed, is left until the uninstall.
TEST_F(InstallTest, UpgradesKeepOneFirewallRule)
{
    ASSERT_EQ(RunInstaller(L"/S"), 0u);
    ASSERT_EQ(RunInstaller(L"/S"), 0u);
    const std::wstring exe = InstalledExe();
    std::vector<NetshCall> calls = netsh_.Calls();
    EXPECT_EQ(calls, (std::vector<NetshCall>{kDeleteRule, AddRule(exe), kDeleteRule, AddRule(exe)}))
        << Show(calls);
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i] != kDeleteRule) {
            EXPECT_TRUE(i > 0 && calls[i - 1] == kDeleteRule)
                << "an add without a delete before it, call " << i;
        }
    }
    EXPECT_EQ(RulesAfter(calls), std::vector<std::wstring>{exe});

    ASSERT_TRUE(UninstallQuietly());
    calls = netsh_.Calls();
    EXPECT_TRUE(RulesAfter(calls).empty()) << Show(calls);
}

TEST_F(InstallTest, ProgramAndInstallerCarryVersion1060)
{
    ASSERT_EQ(RunInstaller(L"/S"), 0u);

    FileVersion program = ReadVersion(InstalledExe());
    ASSERT_TRUE(program.read);
    EXPECT_EQ(program.language, 0x0809) << "English (United Kingdom)";
    EXPECT_EQ(program.codePage, 1252);
    EXPECT_EQ(program.fileMS, 0x00010000u);
    EXPECT_EQ(program.fileLS, 0x00060000u);
    EXPECT_EQ(program.productMS, 0x00010000u);
    EXPECT_EQ(program.productLS, 0x00060000u);
    EXPECT_EQ(program.fileText, L"1.0.6.0");
    EXPECT_EQ(program.productText, L"1.0.6.0");

    FileVersion setup = ReadVersion(SetupPath());
    ASSERT_TRUE(setup.read);
    EXPECT_EQ(setup.fileMS, 0x00010000u);
    EXPECT_EQ(setup.fileLS, 0x00060000u);
    EXPECT_EQ(setup.productText, L"1.0.6.0");
}

// The text of the first <child> inside the first <parent> of a task file
// (UTF-16 with its mark, as schtasks reads it); empty when there is none.
std::wstring TaskElement(const std::wstring& xml, const std::wstring& parent,
                         const std::wstring& child)
{
    size_t from = xml.find(L"<" + parent);
    size_t to = xml.find(L"</" + parent + L">", from);
    size_t open = xml.find(L"<" + child + L">", from);
    if (from == std::wstring::npos || to == std::wstring::npos || open == std::wstring::npos ||
        open > to)
        return std::wstring();
    open += child.size() + 2;
    size_t close = xml.find(L"</" + child + L">", open);
    return close == std::wstring::npos || close > to ? std::wstring()
                                                     : xml.substr(open, close - open);
}

// The two ways to start at logon exclude each other, a plain upgrade keeps
// the one chosen, and the uninstaller removes either. The task is the
// installing user's, at logon, with the highest run level, no time limit,
// starting the installed exe; setup removes any earlier task first.
TEST_F(InstallTest, AutostartChoicesExcludeEachOtherAnUpgradeKeepsThemAndUninstallRemovesThem)
{
    const NetshCall deleteTask = {L"/Delete", L"/TN", L"Harbinel", L"/F"};
    const struct {
        const wchar_t* arguments;
        bool runEntry, task;
    } steps[] = {
        {L"/S /AUTOSTART", true, false},      {L"/S", true, false},
        {L"/S /AUTOSTARTADMIN", false, true}, {L"/S", false, true},
        {L"/S /AUTOSTART", true, false},      {L"/S /AUTOSTART /AUTOSTARTADMIN", false, true},
    };
    wchar_t user[256] = {};
    DWORD userChars = 256;
    ASSERT_TRUE(GetUserNameW(user, &userChars));
    for (const auto& step : steps) {
        SCOPED_TRACE(Narrow(step.arguments));
        schtasks_.Clear();
        ASSERT_EQ(RunInstaller(step.arguments), 0u);
        bool found = false;
        std::wstring run = ReadString(HKEY_CURRENT_USER, kRunKey, L"Harbinel", &found);
        EXPECT_EQ(found, step.runEntry);
        if (step.runEntry) {
            EXPECT_EQ(run, L"\"" + InstalledExe() + L"\"");
        }
        std::vector<NetshCall> calls = schtasks_.Calls();
        ASSERT_EQ(calls.size(), step.task ? 2u : 1u) << Show(calls);
        EXPECT_EQ(calls[0], deleteTask);
        if (!step.task)
            continue;
        ASSERT_EQ(calls[1].size(), 6u) << Show(calls);
        EXPECT_EQ(calls[1],
                  (NetshCall{L"/Create", L"/XML", calls[1][2], L"/TN", L"Harbinel", L"/F"}));
        std::string bytes = ReadFileBytes(schtasks_.TaskFile());
        ASSERT_GE(bytes.size(), 2u);
        ASSERT_EQ(bytes.substr(0, 2), std::string("\xFF\xFE")) << "UTF-16 with its mark";
        std::wstring xml((bytes.size() - 2) / 2, L'\0');
        memcpy(&xml[0], bytes.data() + 2, xml.size() * sizeof(wchar_t));
        for (const wchar_t* parent : {L"LogonTrigger", L"Principal"}) {
            std::wstring id = TaskElement(xml, parent, L"UserId");
            EXPECT_TRUE(id == user || EndsWith(Narrow(id), "\\" + Narrow(user)))
                << Narrow(parent) << ": " << Narrow(id);
        }
        EXPECT_EQ(TaskElement(xml, L"Principal", L"RunLevel"), L"HighestAvailable");
        EXPECT_EQ(TaskElement(xml, L"Settings", L"ExecutionTimeLimit"), L"PT0S");
        EXPECT_EQ(TaskElement(xml, L"Exec", L"Command"), InstalledExe());
    }

    schtasks_.Clear();
    ASSERT_TRUE(UninstallQuietly());
    EXPECT_FALSE(RunEntryExists());
    EXPECT_EQ(schtasks_.Calls(), std::vector<NetshCall>{deleteTask});
}

TEST_F(InstallTest, SilentUninstallEndsTheRunningProgramRemovesItsFilesAndKeepsSettings)
{
    ASSERT_EQ(RunInstaller(L"/S"), 0u);
    Program program;
    HWND main = StartInstalled(program);
    ASSERT_NE(main, (HWND)NULL);
    SendCommand(main, kOnTop);

    // A running exe cannot be deleted on Windows: the uninstaller ends it
    // through its Exit command, which saves the settings on the way out.
    ASSERT_TRUE(UninstallQuietly());
    ASSERT_TRUE(EndsWithCodeZero(program));
    ExpectInstallation(InstalledExe(), false);
    ASSERT_TRUE(SettingsKeyExists()) << "a silent uninstall must keep the settings";
    RegValue onTop = ReadValue(kValueOnTop);
    ASSERT_TRUE(onTop.exists);
    ASSERT_EQ(onTop.data.size(), 1u);
    EXPECT_NE(onTop.data[0], 0) << "Always on top was on at Exit";
}

// Without /S the uninstaller shows its pages and asks, once the program is
// gone, whether to remove the settings too; each answer is taken as given.
TEST_F(InstallTest, InteractiveUninstallAsksBeforeRemovingTheSettings)
{
    const std::wstring title = L"Harbinel Uninstall";
    for (bool remove : {false, true}) {
        SCOPED_TRACE(remove ? "answered Yes" : "answered No");
        ASSERT_EQ(RunInstaller(L"/S"), 0u);
        WritePorts({12345});
        Program launcher;
        ASSERT_TRUE(launcher.Start(InstallDir() + L"\\uninstall.exe"));

        HWND wizard = WaitForDialogWith(title, IDOK, L"Uninstall");
        ASSERT_NE(wizard, (HWND)NULL) << "no confirmation page";
        Press(wizard, IDOK);

        HWND question = WaitForDialogWith(title, IDNO);
        ASSERT_NE(question, (HWND)NULL) << "the settings were not asked about";
        EXPECT_TRUE(SettingsKeyExists());
        Press(question, remove ? IDYES : IDNO);

        HWND done = WaitForDialogWith(title, IDOK, L"Close");
        ASSERT_NE(done, (HWND)NULL) << "the uninstall did not finish";
        Press(done, IDOK);
        EXPECT_TRUE(PumpUntil([&] { return !IsWindow(done); }));

        ExpectInstallation(InstallDir(), false);
        EXPECT_EQ(SettingsKeyExists(), !remove);
    }
}

// The program's Exit goes through its window's Close command, which a window
// disabled by its own modal dialog may ignore (Wine does). Either way the
// uninstaller must not leave half an installation behind: the program
// running from a folder that it has unregistered.
TEST_F(InstallTest, UninstallWhileADialogIsOpenRemovesAllOrNothing)
{
    ASSERT_EQ(RunInstaller(L"/S"), 0u);
    Program program;
    HWND main = StartInstalled(program);
    ASSERT_NE(main, (HWND)NULL);
    PostCommand(main, kPortSettings);
    HWND dialog = WaitForOwnedWindow(main, kPortSettingsTitleW);
    ASSERT_NE(dialog, (HWND)NULL);

    // _?= runs the uninstaller in place, so that its exit code tells.
    DWORD code = RunToEnd(InstallDir() + L"\\uninstall.exe", L"/S _?=" + InstallDir());
    if (code == 0) {
        ASSERT_TRUE(EndsWithCodeZero(program));
        ExpectInstallation(InstalledExe(), false);
        return;
    }
    EXPECT_EQ(code, 2u);
    EXPECT_TRUE(program.IsRunning());
    ExpectInstallation(InstalledExe(), true);

    // Once the window is closed, uninstalling ends the program as usual.
    const int portSettingsOk = 401;
    PostMessageW(dialog, WM_COMMAND, portSettingsOk, 0);
    ASSERT_TRUE(WaitForWindowGone(dialog));
    ASSERT_TRUE(UninstallQuietly());
    EXPECT_TRUE(EndsWithCodeZero(program));
}

TEST_F(InstallTest, UninstallRemovesTheSettingsWhenAsked)
{
    ASSERT_EQ(RunInstaller(L"/S"), 0u);
    WritePorts({12345, 31337});
    ASSERT_TRUE(SettingsKeyExists());

    ASSERT_TRUE(UninstallQuietly(L"/REMOVESETTINGS"));
    EXPECT_TRUE(PumpUntil([] { return !SettingsKeyExists(); }));
    EXPECT_FALSE(FileExists(ShortcutPath()));
}

TEST_F(InstallTest, InstallingOverARunningProgramEndsItAndReplacesTheExe)
{
    ASSERT_EQ(RunInstaller(L"/S"), 0u);
    // The exe of a running program cannot be overwritten on Windows, so the
    // installer has to end it first.
    Program first;
    ASSERT_NE(StartInstalled(first), (HWND)NULL);

    ASSERT_EQ(RunInstaller(L"/S"), 0u);
    ASSERT_TRUE(EndsWithCodeZero(first)) << "the installer left the old program running";
    EXPECT_TRUE(ReadFileBytes(InstalledExe()) == ReadFileBytes(ProgramPath()));
    EXPECT_TRUE(SettingsKeyExists()) << "the ended program saves its settings";
}

} // namespace
