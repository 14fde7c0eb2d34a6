// The stealth watch in-process: the Options item and its stored switch, and
// a half-open caller's block reaching the shell through the real window
// procedure, with the alert raised unless the caller is trusted.
#include "harness.h"
#include "support/rawsyn.h"

#include "app/app.h"
#include "resource.h"

using namespace harness;

namespace {

class StealthTest : public AppTest {
    void PrepareSettings() override
    {
        WriteSwitch(kValueStealthWatch, 1);
    }
};

bool Checked(UINT id)
{
    return (GetMenuState(AppState.MainMenu, id, MF_BYCOMMAND) & MF_CHECKED) != 0;
}

TEST_F(StealthTest, HalfOpenCallerIsNamedAndAlertsUnlessTrusted)
{
    const int port = FreePort();
    AddPortToList(port);
    EXPECT_TRUE(Checked(IDM_STEALTH));
    SendMessageA(AppState.MainWindow, WM_COMMAND, IDC_LISTEN, 0);
    ASSERT_GE(FindLogLine("Stealth watch on"), 0) << LogDump();
    // The trusted case trusts all of loopback, so that no other program's
    // calls there can raise the alert meanwhile.
    const std::string untrusted = "127.77.0." + std::to_string(GetTickCount() % 250 + 2);
    const struct {
        const char* from;
        const char* trusted;
        const char* head;
        bool alert;
    } cases[] = {{untrusted.c_str(), "", "Scan detected", true},
                 {"127.0.0.1", "127.0.0.0/8", "Scan detected (trusted)", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.from);
        SOCKET raw = OpenSynSender(c.from);
        if (raw == INVALID_SOCKET)
            GTEST_SKIP() << "raw sockets need root";
        char skipped[8];
        ParseTrustedLines(c.trusted, &AppState.Trusted, skipped, sizeof skipped);
        SendMessageA(AppState.MainWindow, WM_COMMAND, IDM_RESETALERT, 0);
        const u_short source = (u_short)(40000 + GetTickCount() % 20000);
        ASSERT_TRUE(SendSyn(raw, c.from, source, port));
        closesocket(raw);
        const std::string line = std::string("   Stealth: ") + c.from + ":" +
                                 std::to_string(source) + " -> 127.0.0.1:" + std::to_string(port);
        ASSERT_TRUE(WaitForLogLine(line, false, 6000)) << LogDump();
        EXPECT_EQ(LogLine(FindLogLine(line) - 1), c.head);
        const UINT reset = GetMenuState(AppState.MainMenu, IDM_RESETALERT, MF_BYCOMMAND);
        EXPECT_EQ((reset & MF_GRAYED) == 0, c.alert);
    }
    // Off while listening closes the watch at once; Exit stores the switch.
    SendMessageA(AppState.MainWindow, WM_COMMAND, IDM_STEALTH, 0);
    EXPECT_GE(FindLogLine("Stealth watch off"), 0) << LogDump();
    EXPECT_TRUE(AppState.Watch == NULL);
    EXPECT_FALSE(Checked(IDM_STEALTH));
    ASSERT_TRUE(ExitApp());
    ExpectValue(kValueStealthWatch, REG_BINARY, {0});
}

} // namespace
