// The settings store against the real registry of the prefix: every value
// that Exit writes, and what a start makes of keys edited by hand.
#include "harness.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "app/app.h"
#include "log/log.h"
#include "resource.h"

using namespace harness;

namespace {

POINT CentredPosition()
{
    return {(int)((unsigned)GetSystemMetrics(SM_CXSCREEN) >> 1) - 120,
            (int)((unsigned)GetSystemMetrics(SM_CYSCREEN) >> 1) - 117};
}

POINT WindowPosition()
{
    RECT r = {};
    GetWindowRect(AppState.MainWindow, &r);
    return {r.left, r.top};
}

class SettingsTest : public AppTest {
  protected:
    // Ends the running program, writes a fresh key and starts again.
    void Restart(const std::function<void()>& write)
    {
        ASSERT_TRUE(ExitApp());
        DeleteSettings();
        write();
        ASSERT_TRUE(StartApp());
    }
};

TEST_F(SettingsTest, ExitWritesEveryValueWithItsTypeAndSize)
{
    u_short p0 = FreePort(), p1 = FreePort();
    AddPortToList(p0);
    AddPortToList(p1);
    AppState.DisconnectImmediately = 0;
    AppState.MessageType = 0;
    lstrcpyA(AppState.CustomMessage, "Go away");
    Command(IDM_ONTOP);
    Command(IDC_LISTEN);
    ASSERT_EQ(AppState.IsListening, 1) << LogDump();
    // The user drags the window: the last drag rectangle is what is stored.
    RECT drag = {300, 200, 540, 434};
    SendMessageA(AppState.MainWindow, WM_MOVING, WMSZ_TOPLEFT, (LPARAM)&drag);
    ASSERT_TRUE(ExitApp());

    std::vector<std::string> names = SettingNames();
    std::sort(names.begin(), names.end());
    std::vector<std::string> want = {
        kValueBalloons,     kValueBlock,        kValueBlockMinutes,    kValueBlocked,
        kValueConnected,    kValueCount,        kValueCustomMessage,   kValueDisconnect,
        kValueEventLog,     kValueFirstRunAsked, kValueIPv6,         kValueLogFolder,       kValueLogLines,
        kValueLogToFile,    kValueMessageType,  kValueOnTop,           PortValueName(0),
        PortValueName(1),   kValueRunOnScan,    kValueRunOnUnverified, kValueStealthWatch,
        kValueSyslogServer, kValueSyslogTcp,    kValueTrusted,         kValueWebhookFormat,
        kValueWebhookUrl,   kValueWindowHeight, kValueWindowWidth,     kValueWindowX,
        kValueWindowY};
    EXPECT_EQ(names, want);
    // The newer values at their defaults: on, on, 10,000 lines, no folder of
    // its own, no trusted callers, the first size.
    ExpectValue(kValueLogToFile, REG_BINARY, {1});
    ExpectValue(kValueBalloons, REG_BINARY, {1});
    ExpectValue(kValueEventLog, REG_BINARY, {1});
    ExpectValue(kValueIPv6, REG_BINARY, {1});
    ExpectValue(kValueLogLines, REG_DWORD, DwordBytes(10000));
    ExpectValue(kValueLogFolder, REG_SZ, {0});
    ExpectValue(kValueTrusted, REG_MULTI_SZ, {0});
    ExpectValue(kValueRunOnScan, REG_SZ, {0});
    ExpectValue(kValueRunOnUnverified, REG_BINARY, {0});
    ExpectValue(kValueBlock, REG_BINARY, {0});
    ExpectValue(kValueBlockMinutes, REG_DWORD, DwordBytes(60));
    ExpectValue(kValueBlocked, REG_MULTI_SZ, {0});
    ExpectValue(kValueWebhookUrl, REG_SZ, {0});
    ExpectValue(kValueWebhookFormat, REG_DWORD, DwordBytes(0));
    ExpectValue(kValueWindowWidth, REG_DWORD, DwordBytes(240));
    ExpectValue(kValueWindowHeight, REG_DWORD, DwordBytes(234));
    ExpectValue("Port0", REG_DWORD, DwordBytes(p0));
    ExpectValue("Port1", REG_DWORD, DwordBytes(p1));
    ExpectValue(kValueCount, REG_DWORD, DwordBytes(2));
    ExpectValue(kValueWindowX, REG_DWORD, DwordBytes(300));
    ExpectValue(kValueWindowY, REG_DWORD, DwordBytes(200));
    ExpectValue(kValueDisconnect, REG_BINARY, {0});
    ExpectValue(kValueMessageType, REG_BINARY, {0});
    ExpectValue(kValueConnected, REG_BINARY, {1});
    ExpectValue(kValueOnTop, REG_BINARY, {255});
    // The program passes the text's length without its zero byte; the
    // registry itself then counts the zero that follows the text (Windows
    // NT does the same), so the value reads back with at most that one zero.
    RegValue custom = ReadValue(kValueCustomMessage);
    EXPECT_EQ(custom.type, (DWORD)REG_SZ);
    std::string stored(custom.data.begin(), custom.data.end());
    EXPECT_TRUE(stored == "Go away" || stored == std::string("Go away\0", 8)) << stored.size();

    // Exit closed the listeners without a word; the ports are free again.
    for (u_short port : {p0, p1}) {
        PortHolder other;
        EXPECT_TRUE(other.Hold(port)) << port;
    }

    // The next start comes back on top and listening, as it was.
    ASSERT_TRUE(StartApp());
    EXPECT_EQ(PortListPorts(), (std::vector<int32_t>{p0, p1}));
    EXPECT_EQ(AppState.OnTop, 0xFF);
    EXPECT_NE(GetWindowLongA(AppState.MainWindow, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
    EXPECT_EQ(AppState.IsListening, 1);
    EXPECT_EQ(LogLines(), (std::vector<std::string>{ListeningLine(2), PortsLine({p0, p1})}));
    EXPECT_EQ(AppState.DisconnectImmediately, 0);
    EXPECT_EQ(AppState.MessageType, 0);
    EXPECT_STREQ(AppState.CustomMessage, "Go away");
    EXPECT_EQ(WindowPosition().x, 300);
    EXPECT_EQ(WindowPosition().y, 200);
}

TEST_F(SettingsTest, FirstStartCreatesTheKeyAndExitStoresTheDefaults)
{
    // The very first start: no key at all. It shows the window and asks;
    // "No" is stored and nothing listens.
    ASSERT_NO_FATAL_FAILURE(Restart([] {}));
    EXPECT_EQ(firstRunAsked, "Harbinel: No ports yet. Add the 24 ports of the Trojan Ports table "
                             "and start listening?");
    EXPECT_TRUE(IsWindowVisible(AppState.MainWindow));
    EXPECT_EQ(AppState.IsListening, 0);
    EXPECT_EQ(SettingNames(), std::vector<std::string>{kValueFirstRunAsked});
    ExpectValue(kValueFirstRunAsked, REG_BINARY, {0});
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key), ERROR_SUCCESS)
        << "the first start creates the key";
    RegCloseKey(key);
    EXPECT_TRUE(PortListPorts().empty());
    EXPECT_EQ(AppState.DisconnectImmediately, 1);
    EXPECT_EQ(AppState.MessageType, 2);
    EXPECT_EQ(AppState.OnTop, 0);
    EXPECT_STREQ(AppState.CustomMessage, "");

    ASSERT_TRUE(ExitApp());
    POINT centred = CentredPosition();
    ExpectValue(kValueCount, REG_DWORD, DwordBytes(0));
    ExpectValue(kValueWindowX, REG_DWORD, DwordBytes((DWORD)centred.x));
    ExpectValue(kValueWindowY, REG_DWORD, DwordBytes((DWORD)centred.y));
    ExpectValue(kValueDisconnect, REG_BINARY, {1});
    ExpectValue(kValueMessageType, REG_BINARY, {2});
    ExpectValue(kValueConnected, REG_BINARY, {0});
    ExpectValue(kValueOnTop, REG_BINARY, {0});
    ExpectValue(kValueCustomMessage, REG_SZ, {});
    EXPECT_FALSE(ReadValue("Port0").exists);
}

TEST_F(SettingsTest, FirstStartAnsweredYesListensOnTheTableAndNeverAsksAgain)
{
    firstRunAnswer = IDYES;
    ASSERT_NO_FATAL_FAILURE(Restart([] {}));
    firstRunAnswer = IDNO;
    EXPECT_FALSE(firstRunAsked.empty());
    ExpectValue(kValueFirstRunAsked, REG_BINARY, {1});
    const std::vector<int32_t> ports = PortListPorts();
    EXPECT_EQ(ports.size(), 24u);
    EXPECT_NE(std::find(ports.begin(), ports.end(), 31337), ports.end());
    EXPECT_EQ(AppState.IsListening, 1) << LogDump();
    EXPECT_EQ(StoredPorts().size(), 24u);

    // The next start is hidden as always, listening again, and asks nothing.
    ASSERT_TRUE(ExitApp());
    ASSERT_TRUE(StartApp());
    EXPECT_EQ(firstRunAsked, "");
    EXPECT_FALSE(IsWindowVisible(AppState.MainWindow));
    EXPECT_EQ(AppState.IsListening, 1);
}

TEST_F(SettingsTest, HandEditedPortValues)
{
    const struct {
        const char* name;
        std::function<void()> write;
        std::vector<int32_t> ports;
    } cases[] = {
        {"Count 3 with Port1 missing",
         [] {
             WriteDword(kValueCount, 3);
             WriteDword("Port0", 81);
             WriteDword("Port2", 83);
         },
         {81, 83}},
        {"Count absent", [] { WriteDword("Port0", 81); }, {}},
        {"Count 0",
         [] {
             WriteDword(kValueCount, 0);
             WriteDword("Port0", 81);
         },
         {}},
        {"the same port twice",
         [] {
             WriteDword(kValueCount, 2);
             WriteDword("Port0", 81);
             WriteDword("Port1", 81);
         },
         {81, 81}},
        {"values beyond Count are not read",
         [] {
             WriteDword(kValueCount, 1);
             WriteDword("Port0", 81);
             WriteDword("Port1", 82);
         },
         {81}},
        {"a value of 8 bytes is skipped",
         [] {
             WriteDword(kValueCount, 2);
             const BYTE wide[8] = {82, 0, 0, 0, 0, 0, 0, 0};
             WriteValue("Port0", REG_BINARY, wide, sizeof wide);
             WriteDword("Port1", 83);
         },
         {83}},
        {"a value of 2 bytes fills the low bytes",
         [] {
             WriteDword(kValueCount, 1);
             const BYTE narrow[2] = {0x39, 0x30}; // 12345
             WriteValue("Port0", REG_BINARY, narrow, sizeof narrow);
         },
         {12345}},
        {"ports beyond 65535 are skipped",
         [] {
             WriteDword(kValueCount, 3);
             WriteDword("Port0", 65535);
             WriteDword("Port1", 65536);
             WriteDword("Port2", 0);
         },
         {65535, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Restart(c.write);
        EXPECT_EQ(PortListPorts(), c.ports);
        EXPECT_EQ(LogCount(), 0) << LogDump();
    }
}

TEST_F(SettingsTest, HugeCountIsCapped)
{
    // Loading walks the value names once and stops after the last port value
    // below Count, so these keys load the same ports as reading every index.
    const struct {
        const char* name;
        DWORD count;
        std::vector<std::pair<std::string, DWORD>> values;
        std::vector<int32_t> ports;
    } cases[] = {
        {"Count 0xFFFFFFFF reads Port0 to Port65535",
         0xFFFFFFFF,
         {{"Port0", 100}, {"Port1", 70000}, {"Port65535", 200}, {"Port65536", 300}},
         {100, 200}},
        {"the index decides the order, not the order of writing",
         100000,
         {{"Port9", 9}, {"Port10", 10}, {"Port2", 2}},
         {2, 9, 10}},
        {"names match whatever their case", 3, {{"pORT1", 81}}, {81}},
        {"an index written with leading zeros is another name", 10, {{"Port07", 81}}, {}},
        {"other values with port-like names", 5, {{"Port", 1}, {"Port1x", 2}, {"Port3", 3}}, {3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Restart([&] {
            WriteDword(kValueCount, c.count);
            for (const auto& value : c.values)
                WriteDword(value.first.c_str(), value.second);
        });
        EXPECT_EQ(PortListPorts(), c.ports);
    }
    // A port value stored as text still takes its index; the ones after it load.
    Restart([] {
        WriteDword(kValueCount, 70000);
        WriteValue("Port0", REG_SZ, "12345");
        WriteDword("Port4", 81);
    });
    EXPECT_EQ(PortListPorts(), (std::vector<int32_t>{81}));
}

// A setting that cannot be used is named in one line at the start.
void ExpectToldOnce(const char* line)
{
    EXPECT_EQ(CountLines(LogLines(), line), 1) << LogDump();
}

TEST_F(SettingsTest, HandEditedSwitchesAndTexts)
{
    const std::string text255(255, 'x');
    const struct {
        const char* name;
        std::function<void()> write;
        std::function<void()> check;
    } cases[] = {
        {"MessageType 7 loads as 7", [] { WriteValue(kValueMessageType, REG_BINARY, "\x07", 1); },
         [] { EXPECT_EQ(AppState.MessageType, 7); }},
        {"MessageType read by its low byte only", [] { WriteDword(kValueMessageType, 0x0101); },
         [] { EXPECT_EQ(AppState.MessageType, 2) << "4 bytes do not fit in 1"; }},
        {"Disconnnect 0", [] { WriteValue(kValueDisconnect, REG_BINARY, "\x00", 1); },
         [] { EXPECT_EQ(AppState.DisconnectImmediately, 0); }},
        {"a Disconnect with two n's is not the setting",
         [] { WriteValue("Disconnect", REG_BINARY, "\x00", 1); },
         [] { EXPECT_EQ(AppState.DisconnectImmediately, 1); }},
        {"CustomMessage of 255 bytes", [&] { WriteValue(kValueCustomMessage, REG_SZ, text255); },
         [&] { EXPECT_EQ(std::string(AppState.CustomMessage), text255); }},
        {"CustomMessage of 300 bytes",
         [] { WriteValue(kValueCustomMessage, REG_SZ, std::string(300, 'y')); },
         [] { EXPECT_STREQ(AppState.CustomMessage, ""); }},
        {"CustomMessage with its terminator",
         [] { WriteValue(kValueCustomMessage, REG_SZ, std::string("abc\0", 4)); },
         [] { EXPECT_STREQ(AppState.CustomMessage, "abc"); }},
        {"OnTop stored as 1 turns it on", [] { WriteValue(kValueOnTop, REG_BINARY, "\x01", 1); },
         [] {
             EXPECT_EQ(AppState.OnTop, 0xFF);
             EXPECT_NE(GetWindowLongA(AppState.MainWindow, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
             EXPECT_NE(GetMenuState(AppState.MainMenu, IDM_ONTOP, MF_BYCOMMAND) & MF_CHECKED, 0u);
         }},
        // The newer values are read strictly: another type or size keeps
        // the default, a number out of range is brought within it.
        {"LogToFile 0 as one byte", [] { WriteSwitch(kValueLogToFile, 0); },
         [] { EXPECT_EQ(AppState.LogToFile, 0); }},
        {"LogToFile as a DWORD 0 keeps the default, said once",
         [] { WriteDword(kValueLogToFile, 0); },
         [] {
             EXPECT_EQ(AppState.LogToFile, 1);
             ExpectToldOnce("Settings: LogToFile ignored: not a switch (one REG_BINARY byte)");
         }},
        {"Balloons as text keeps the default", [] { WriteText(kValueBalloons, "0"); },
         [] { EXPECT_EQ(AppState.Balloons, 1); }},
        {"EventLog 0 as one byte", [] { WriteSwitch(kValueEventLog, 0); },
         [] { EXPECT_EQ(AppState.EventLog, 0); }},
        {"EventLog as a DWORD 0 keeps the default", [] { WriteDword(kValueEventLog, 0); },
         [] { EXPECT_EQ(AppState.EventLog, 1); }},
        {"RunOnUnverified 1 as one byte", [] { WriteSwitch(kValueRunOnUnverified, 1); },
         [] { EXPECT_EQ(AppState.RunOnUnverified, 1); }},
        {"LogLines 99 becomes 100", [] { WriteDword(kValueLogLines, 99); },
         [] { EXPECT_EQ(AppState.LogLines, 100u); }},
        {"LogLines 0xFFFFFFFF becomes 1,000,000", [] { WriteDword(kValueLogLines, 0xFFFFFFFF); },
         [] { EXPECT_EQ(AppState.LogLines, 1000000u); }},
        {"LogLines as one byte keeps the default, said once",
         [] { WriteValue(kValueLogLines, REG_BINARY, "\x05", 1); },
         [] {
             EXPECT_EQ(AppState.LogLines, 10000u);
             ExpectToldOnce("Settings: LogLines ignored: not a number (REG_DWORD)");
         }},
        {"LogFolder longer than a path keeps the default, said once",
         [] { WriteText(kValueLogFolder, std::string(400, 'f')); },
         [] {
             EXPECT_STREQ(AppState.LogFolder, "");
             ExpectToldOnce("Settings: LogFolder ignored: too long");
         }},
        {"Trusted as a plain text, as scripts write it",
         [] { WriteText(kValueTrusted, "127.0.0.1, 10.0.0.0/8\r\n::1 bad"); },
         [] {
             EXPECT_EQ(AppState.Trusted.count, 3u);
             EXPECT_NE(FindLogLine("Trusted callers skipped: bad"), -1) << LogDump();
             u_short port = FreePort();
             AddPortToList(port);
             Command(IDC_LISTEN);
             Caller caller;
             ASSERT_TRUE(caller.Connect(port));
             EXPECT_TRUE(WaitForLogLine("Scan detected (trusted)", false)) << LogDump();
             ASSERT_TRUE(ExitApp());
             EXPECT_EQ(ReadValue(kValueTrusted).type, (DWORD)REG_MULTI_SZ) << "written back";
         }},
        {"WindowWidth below the first size keeps it", [] { WriteDword(kValueWindowWidth, 10); },
         [] { EXPECT_EQ(AppState.WindowWidth, 240); }},
        {"a stored size is the window's",
         [] {
             WriteDword(kValueWindowWidth, 400);
             WriteDword(kValueWindowHeight, 300);
         },
         [] {
             RECT r;
             GetWindowRect(AppState.MainWindow, &r);
             EXPECT_EQ(r.right - r.left, 400);
             EXPECT_EQ(r.bottom - r.top, 300);
         }},
        {"Connected with no ports listens on nothing",
         [] { WriteValue(kValueConnected, REG_BINARY, "\x01", 1); },
         [] {
             EXPECT_EQ(AppState.IsListening, 0);
             EXPECT_EQ(StatusText(), "") << "the status stays blank";
             EXPECT_EQ(ListenButtonText(), kButtonListen);
             EXPECT_EQ(AppState.TrayIconData.hIcon, AppState.IconIdle);
             EXPECT_EQ(LogLines(), std::vector<std::string>{kNoPortsLine});
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Restart(c.write);
        c.check();
    }
}

// A value that is set but cannot be used keeps the default and is named
// once at the start.
TEST_F(SettingsTest, BadValuesAreToldOnce)
{
    const char notUrl[] = "Settings: WebhookUrl ignored: not an http:// or https:// URL";
    const struct {
        const char* name;
        std::function<void()> write;
        const char* line;
    } cases[] = {
        {"Trusted as a DWORD", [] { WriteDword(kValueTrusted, 1); },
         "Settings: Trusted ignored: not a list of addresses"},
        {"WebhookUrl not a URL", [] { WriteText(kValueWebhookUrl, "ftp://host/"); }, notUrl},
        {"WebhookUrl as a DWORD", [] { WriteDword(kValueWebhookUrl, 1); }, notUrl},
        {"WebhookFormat 3", [] { WriteDword(kValueWebhookFormat, 3); },
         "Settings: WebhookFormat ignored: not 0, 1 or 2"},
        {"RunOnScan as a multi-string",
         [] {
             WriteMultiText(kValueRunOnScan, {"prog.exe", "{caller}"});
         },
         "Settings: RunOnScan ignored: not a command line (REG_SZ)"},
        {"SyslogServer as a DWORD", [] { WriteDword(kValueSyslogServer, 1); },
         "Settings: SyslogServer ignored: not a text (REG_SZ)"},
        {"Stats as a DWORD", [] { WriteDword("Stats", 1); },
         "Settings: Stats ignored: not a statistics value; the counts start afresh"},
        {"Stats of something else", [] { WriteValue("Stats", REG_BINARY, "REGEDIT4", 8); },
         "Settings: Stats ignored: not a statistics value; the counts start afresh"},
        {"Stats larger than counts are",
         [] { WriteValue("Stats", REG_BINARY, std::string(80000, 'x')); },
         "Settings: Stats ignored: too large; the counts start afresh"},
        {"BlockMinutes over a year", [] { WriteDword(kValueBlockMinutes, 525601); },
         "Settings: BlockMinutes ignored: more than a year; 525600 minutes (a year) used"},
        {"Blocked with a bad entry", [] { WriteMultiText(kValueBlocked, {"203.0.113.5 x"}); },
         "Settings: Blocked ignored: not \"address end-time\": 203.0.113.5 x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Restart([&] {
            c.write();
            WriteSwitch(kValueBalloons, 0); // a valid value beside it is kept
        });
        ExpectToldOnce(c.line);
        EXPECT_EQ(AppState.Balloons, 0);
    }
}

TEST_F(SettingsTest, StoredWindowPosition)
{
    POINT centred = CentredPosition();
    const struct {
        const char* name;
        bool writeX, writeY;
        int x, y;
        POINT window;
        POINT state;
    } cases[] = {
        {"both stored", true, true, 100, 50, {100, 50}, {100, 50}},
        {"off the screen, unchanged", true, true, -500, 5000, {-500, 5000}, {-500, 5000}},
        {"WindowX alone", true, false, 100, 0, centred, {100, centred.y}},
        {"WindowY alone", false, true, 0, 50, centred, centred},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Restart([&] {
            if (c.writeX)
                WriteDword(kValueWindowX, (DWORD)c.x);
            if (c.writeY)
                WriteDword(kValueWindowY, (DWORD)c.y);
        });
        EXPECT_EQ(WindowPosition().x, c.window.x);
        EXPECT_EQ(WindowPosition().y, c.window.y);
        EXPECT_EQ(AppState.WindowX, c.state.x);
        EXPECT_EQ(AppState.WindowY, c.state.y);
        ASSERT_TRUE(ExitApp());
        // What is held is what the next Exit writes.
        EXPECT_EQ(ReadValue(kValueWindowX).AsDword(), (DWORD)c.state.x);
        EXPECT_EQ(ReadValue(kValueWindowY).AsDword(), (DWORD)c.state.y);
        ASSERT_TRUE(StartApp());
    }
}

TEST_F(SettingsTest, CloseBoxSavesNothing)
{
    AddPortToList(4321);
    SendMessageA(AppState.MainWindow, WM_CLOSE, 0, 0);
    EXPECT_FALSE(ReadValue(kValueCount).exists);
    EXPECT_FALSE(ReadValue("Port0").exists);
}

TEST_F(SettingsTest, ShorterPortListLeavesOldValuesBehind)
{
    Restart([] {
        WriteDword(kValueCount, 5);
        for (DWORD i = 0; i < 5; ++i)
            WriteDword(PortValueName(i), 1000 + i);
    });
    ListRemoveByPort(AppState.PortList, 1001);
    ListRemoveByPort(AppState.PortList, 1003);
    ASSERT_TRUE(ExitApp());
    EXPECT_EQ(ReadValue(kValueCount).AsDword(), 3u);
    EXPECT_EQ(ReadValue("Port0").AsDword(), 1000u);
    EXPECT_EQ(ReadValue("Port1").AsDword(), 1002u);
    EXPECT_EQ(ReadValue("Port2").AsDword(), 1004u);
    EXPECT_EQ(ReadValue("Port3").AsDword(), 1003u) << "left as it was";
    EXPECT_EQ(ReadValue("Port4").AsDword(), 1004u) << "left as it was";
    ASSERT_TRUE(StartApp());
    EXPECT_EQ(PortListPorts(), (std::vector<int32_t>{1000, 1002, 1004}));
}

} // namespace
