// The running program as a user meets it: it starts hidden in the tray, a
// second start brings the first forward, the close box only hides, Exit ends
// with code 0, and the Ctrl+letter shortcuts reach their commands.
#include "driver.h"

#include "app/app.h" // kWindowTitle

#include <stdio.h>

namespace e2e {
namespace {

class ShellTest : public HarbinelTest {
  protected:
    // A log that is not empty, without any caller: one listened port.
    void FillLog()
    {
        WritePorts({FreePort()});
        StartProgram();
        Listen();
        ASSERT_TRUE(WaitForLogLine(main_, Widen(ListeningLine(1))));
    }

    // Windows of the program that are shown, other than the main window.
    std::vector<HWND> OtherShownWindows()
    {
        std::vector<HWND> shown;
        for (HWND w : TopLevelWindows()) {
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid == program_.ProcessId() && w != main_ && IsShown(w))
                shown.push_back(w);
        }
        return shown;
    }

    // Posts a shortcut and waits until the loop has handled it: Ctrl+O is
    // posted after it, and the topmost flip shows both were handled.
    void PostShortcutAndSettle(char letter)
    {
        PostCtrlShortcut(main_, letter);
        Settle();
    }

    // Waits until the loop has handled everything posted so far.
    void Settle()
    {
        bool wasTopmost = IsTopmost(main_);
        PostCtrlShortcut(main_, 'O');
        ASSERT_TRUE(PumpUntil([&] { return IsTopmost(main_) != wasTopmost; }))
            << "the loop did not get round to what was posted";
    }
};

// Whether an XML text has an element (its name without a prefix) whose
// attribute, or its text when attribute is null, is value.
bool HasElement(const std::string& xml, const char* element, const char* attribute,
                const std::string& value)
{
    for (size_t at = xml.find('<'); at != std::string::npos; at = xml.find('<', at + 1)) {
        size_t end = xml.find('>', at), name = xml.find_first_of(" \t\r\n/>", at);
        std::string tag = xml.substr(at + 1, end - at - 1);
        std::string id = xml.substr(at + 1, name - at - 1);
        if (end == std::string::npos || id.substr(id.find(':') + 1) != element)
            continue;
        if (attribute == nullptr) {
            std::string text = xml.substr(end + 1, xml.find('<', end) - end - 1);
            text.erase(0, text.find_first_not_of(" \r\n"));
            text.erase(text.find_last_not_of(" \r\n") + 1);
            if (text == value)
                return true;
        } else if (tag.find(std::string(" ") + attribute + "=\"" + value + "\"") !=
                   std::string::npos) {
            return true;
        }
    }
    return false;
}

// The manifest Windows reads from the exe: visual styles, no elevation, the
// versions up to 10 and 11, and DPI awareness in both forms, each in the
// namespace that gives it its meaning.
TEST(Manifest, TheExeDeclaresStylesLevelVersionsAndDpiAwareness)
{
    HMODULE exe = LoadLibraryExW(ProgramPath().c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, (HMODULE)NULL);
    HRSRC found = FindResourceW(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)); // RT_MANIFEST
    ASSERT_NE(found, (HRSRC)NULL) << "no manifest";
    const char* bytes = (const char*)LockResource(LoadResource(exe, found));
    const std::string xml(bytes, SizeofResource(exe, found));
    FreeLibrary(exe);
    struct Case {
        const char *element, *attribute, *value; // no attribute: the element's text
    } cases[] = {
        {"assemblyIdentity", "name", "Microsoft.Windows.Common-Controls"},
        {"assemblyIdentity", "version", "6.0.0.0"},
        {"requestedExecutionLevel", "level", "asInvoker"},
        {"supportedOS", "Id", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}"}, // 8.1
        {"supportedOS", "Id", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}, // 10 and 11
        {"dpiAware", nullptr, "true/pm"},
        {"dpiAware", "xmlns", "http://schemas.microsoft.com/SMI/2005/WindowsSettings"},
        {"dpiAwareness", nullptr, "PerMonitorV2, system"},
        {"dpiAwareness", "xmlns", "http://schemas.microsoft.com/SMI/2016/WindowsSettings"},
    };
    for (const Case& c : cases)
        EXPECT_TRUE(HasElement(xml, c.element, c.attribute, c.value))
            << c.element << " " << c.value;
}

TEST_F(ShellTest, StartsHiddenInTheTrayWithFirstRunState)
{
    StartProgram();
    EXPECT_FALSE(IsShown(main_));
    EXPECT_EQ(WindowTitle(main_), Widen(kWindowTitle));
    EXPECT_TRUE(PumpUntil([&] { return StatusText(main_) == kStatusIdleW; }))
        << Narrow(StatusText(main_));
    EXPECT_EQ(ButtonText(main_), kButtonListenW);
    EXPECT_FALSE(IsTopmost(main_));
    EXPECT_TRUE(LogLines(main_).empty());

    // Centred on the screen, 240 by 234.
    RECT r = {};
    GetWindowRect(main_, &r);
    EXPECT_EQ(r.right - r.left, 240);
    EXPECT_EQ(r.bottom - r.top, 234);
    EXPECT_EQ(r.left, GetSystemMetrics(SM_CXSCREEN) / 2 - 120);
    EXPECT_EQ(r.top, GetSystemMetrics(SM_CYSCREEN) / 2 - 117);

    // The key exists from the first start on, but nothing is in it before Exit.
    EXPECT_TRUE(SettingsKeyExists());
    EXPECT_FALSE(ReadValue(kValueCount).exists);
}

TEST_F(ShellTest, SecondStartShowsTheFirstWindowAndEndsWithZero)
{
    StartProgram();
    ASSERT_FALSE(IsShown(main_));

    Program second;
    ASSERT_TRUE(second.Start());
    DWORD code = 12345;
    ASSERT_TRUE(second.WaitForExit(kDeadlineMs, &code)) << "the second start kept running";
    EXPECT_EQ(code, 0u);

    EXPECT_TRUE(PumpUntil([&] { return IsShown(main_); })) << "the first window stayed hidden";
    EXPECT_TRUE(program_.IsRunning());
    EXPECT_EQ(FindMainWindow(), main_) << "only the first instance has a window";
}

TEST_F(ShellTest, ExitEndsTheProcessWithCodeZero)
{
    StartProgram();
    PostCommand(main_, kExit);
    DWORD code = 12345;
    ASSERT_TRUE(program_.WaitForExit(kDeadlineMs, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_FALSE(IsWindow(main_));
    exited_ = true;
}

TEST_F(ShellTest, ExitEndsTheProcessWhileTheWindowIsShown)
{
    StartProgram();
    SendCommand(main_, kRestore);
    ASSERT_TRUE(IsShown(main_));
    ExitProgram();
    EXPECT_FALSE(program_.IsRunning());
}

TEST_F(ShellTest, RestoreShowsTheWindow)
{
    StartProgram();
    SendCommand(main_, kRestore);
    EXPECT_TRUE(IsShown(main_));
}

TEST_F(ShellTest, ClosingOnlyHides)
{
    struct Case {
        const char* name;
        UINT message;
        WPARAM wParam;
    };
    const Case cases[] = {
        {"close box (SC_CLOSE)", WM_SYSCOMMAND, SC_CLOSE},
        {"WM_CLOSE", WM_CLOSE, 0},
    };
    StartProgram();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SendCommand(main_, kRestore);
        ASSERT_TRUE(IsShown(main_));
        SendMessageW(main_, c.message, c.wParam, 0);
        EXPECT_FALSE(IsShown(main_));
        EXPECT_TRUE(program_.IsRunning());
        EXPECT_TRUE(IsWindow(main_));
    }
    // Hiding saves nothing: only Exit writes the settings.
    EXPECT_FALSE(ReadValue(kValueCount).exists);
    EXPECT_FALSE(ReadValue(kValueConnected).exists);
}

TEST_F(ShellTest, ClosingWhileListeningKeepsListening)
{
    const int port = FreePort();
    WritePorts({port});
    StartProgram();
    Listen();
    SendCommand(main_, kRestore);
    SendMessageW(main_, WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_FALSE(IsShown(main_));
    EXPECT_EQ(ButtonText(main_), kButtonStopW);
    Caller caller;
    ASSERT_TRUE(caller.Connect(port));
    EXPECT_TRUE(WaitForLogLine(main_, kScanDetectedW));
}

TEST_F(ShellTest, AlwaysOnTopCommandToggles)
{
    StartProgram();
    ASSERT_FALSE(IsTopmost(main_));
    SendCommand(main_, kOnTop);
    EXPECT_TRUE(IsTopmost(main_));
    SendCommand(main_, kOnTop);
    EXPECT_FALSE(IsTopmost(main_));
}

// ---- Shortcuts --------------------------------------------------------------

TEST_F(ShellTest, CtrlOTogglesAlwaysOnTop)
{
    StartProgram();
    for (bool expected : {true, false, true}) {
        PostCtrlShortcut(main_, 'O');
        EXPECT_TRUE(PumpUntil([&] { return IsTopmost(main_) == expected; }))
            << "expected topmost " << expected;
    }
}

TEST_F(ShellTest, ShortcutsThatOpenAModalWindow)
{
    struct Case {
        char letter;
        const wchar_t* title;
    };
    const Case cases[] = {
        {'A', L"About Harbinel"},  {'M', kMessageTitleW}, {'P', kPortSettingsTitleW},
        {'T', kTrojanPortsTitleW}, {'S', kSaveAsTitleW},
    };
    // The About box's title is "About " and the program's name, on Windows
    // and Wine alike: no '#', which Wine does not read as a separator.
    StartProgram();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("Ctrl+") + c.letter);
        PostCtrlShortcut(main_, c.letter);
        HWND box = WaitForProcessWindow(program_.ProcessId(), c.title);
        ASSERT_TRUE(box != NULL) << "no window titled " << Narrow(c.title);
        EXPECT_EQ(GetAncestor(GetWindow(box, GW_OWNER), GA_ROOT), main_) << "not owned by the "
                                                                            "main window";
        // Cancel closes each of them (WM_CLOSE is the close box).
        PostMessageW(box, WM_CLOSE, 0, 0);
        EXPECT_TRUE(WaitForWindowGone(box)) << "it did not close";
    }
    // After every modal window the loop still turns shortcuts into commands.
    PostCtrlShortcut(main_, 'O');
    EXPECT_TRUE(PumpUntil([&] { return IsTopmost(main_); }));
}

TEST_F(ShellTest, CtrlCClearsTheLog)
{
    FillLog();
    PostCtrlShortcut(main_, 'C');
    EXPECT_TRUE(WaitForLog(main_, [](const std::vector<std::wstring>& l) { return l.empty(); }));
    // Clearing the log does not stop listening.
    EXPECT_EQ(ButtonText(main_), kButtonStopW);
}

TEST_F(ShellTest, KeysThatSendNoCommand)
{
    // Each case posts keys that must not clear the log; Ctrl+O afterwards
    // shows the loop handled them.
    struct Case {
        const char* name;
        std::vector<std::pair<UINT, WPARAM>> keys;
    };
    const Case cases[] = {
        {"Ctrl+X", {{WM_KEYDOWN, VK_CONTROL}, {WM_KEYUP, 'X'}, {WM_KEYUP, VK_CONTROL}}},
        {"C without Ctrl", {{WM_KEYDOWN, 'C'}, {WM_KEYUP, 'C'}}},
        {"Ctrl released before C",
         {{WM_KEYDOWN, VK_CONTROL}, {WM_KEYDOWN, 'C'}, {WM_KEYUP, VK_CONTROL}, {WM_KEYUP, 'C'}}},
        {"Ctrl held, C pressed but not released", {{WM_KEYDOWN, VK_CONTROL}, {WM_KEYDOWN, 'C'}}},
    };
    FillLog();
    const std::vector<std::wstring> before = LogLines(main_);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool wasTopmost = IsTopmost(main_);
        for (const auto& key : c.keys)
            PostMessageW(main_, key.first, key.second, key.first == WM_KEYUP ? 0xC0000001 : 1);
        PostMessageW(main_, WM_KEYUP, VK_CONTROL, 0xC0000001);
        PostCtrlShortcut(main_, 'O');
        ASSERT_TRUE(PumpUntil([&] { return IsTopmost(main_) != wasTopmost; }));
        EXPECT_EQ(LogLines(main_), before) << Dump(LogLines(main_));
        EXPECT_TRUE(OtherShownWindows().empty()) << "a window opened";
    }
}

TEST_F(ShellTest, ShortcutPostedToAChildWindowStillCounts)
{
    FillLog();
    PostCtrlShortcut(GetDlgItem(main_, kLogList), 'C');
    EXPECT_TRUE(WaitForLog(main_, [](const std::vector<std::wstring>& l) { return l.empty(); }));
}

// Ctrl+R resets the alert, which shows only in the tray icon and the menus'
// Reset Alert items: neither can be read from another process here, so the
// Windows-side tests check it. From outside: it runs without harm, while an
// alert is up, and the program keeps logging.
TEST_F(ShellTest, CtrlRLeavesTheProgramWorking)
{
    const int port = FreePort();
    WritePorts({port});
    StartProgram();
    Listen();
    {
        Caller caller;
        ASSERT_TRUE(caller.Connect(port));
        ASSERT_TRUE(WaitForLogLine(main_, kScanBlockedW));
    }
    const std::vector<std::wstring> before = LogLines(main_);
    PostShortcutAndSettle('R');
    EXPECT_EQ(LogLines(main_).size(), before.size()) << Dump(LogLines(main_));
    EXPECT_EQ(ButtonText(main_), kButtonStopW);
    EXPECT_TRUE(OtherShownWindows().empty());
}

// The test prefix's browser is a stand-in that notes each address it is
// asked to open in C:\harbinel-browser.log.
static std::string BrowserLog()
{
    return ReadFileBytes(L"C:\\harbinel-browser.log");
}

TEST_F(ShellTest, CtrlWAndTheMenuCommandOpenTheMakersWebSite)
{
    const std::string site = "https://www.ferrowind.example/harbinel/\n";
    _wremove(L"C:\\harbinel-browser.log");
    StartProgram();
    PostCtrlShortcut(main_, 'W');
    EXPECT_TRUE(PumpUntil([&] { return BrowserLog() == site; }, 3 * kDeadlineMs))
        << "the browser was asked for: [" << BrowserLog() << "]";
    PostCommand(main_, kWebSite);
    EXPECT_TRUE(PumpUntil([&] { return BrowserLog() == site + site; }, 3 * kDeadlineMs))
        << "the browser was asked for: [" << BrowserLog() << "]";
    EXPECT_TRUE(program_.IsRunning());
    EXPECT_TRUE(OtherShownWindows().empty());
}

} // namespace
} // namespace e2e
