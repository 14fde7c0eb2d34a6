// The dialogs of the running harbinel.exe, worked from outside as a user
// works them: the warning a caller gets follows the Message dialog at once,
// and what the dialogs set reaches the registry at Exit and comes back at the
// next start.
#include "driver.h"

#include <string>
#include <vector>

namespace e2e {
namespace {

using Lines = std::vector<std::wstring>;

class DialogsE2E : public HarbinelTest {
  protected:
    // What one caller receives before the program hangs up.
    std::string CallAndListen(int port)
    {
        Caller caller;
        EXPECT_TRUE(caller.Connect(port));
        bool ended = false;
        std::string got = caller.ReceiveAll(kDeadlineMs, &ended);
        EXPECT_TRUE(ended) << "the program did not hang up";
        return got;
    }

    // Message..., a choice (with text typed for Custom), then OK or Enter.
    void ChooseMessage(int button, const std::string& typed, bool enter)
    {
        HWND dialog = OpenDialog(kMessage, kMessageTitleW);
        ASSERT_TRUE(dialog != NULL);
        PostClick(dialog, button);
        ASSERT_TRUE(PumpUntil([&] { return IsChecked(dialog, button); }));
        HWND edit = GetDlgItem(dialog, IDC_MSG_TEXT);
        if (!typed.empty()) {
            ASSERT_TRUE(IsWindowEnabled(edit));
            SendMessageW(edit, WM_SETTEXT, 0, (LPARAM)L"");
            Type(edit, typed);
        }
        if (enter) {
            // The click left the focus on the radio button; Enter there is OK.
            HWND radio = GetDlgItem(dialog, button);
            PostMessageW(radio, WM_KEYDOWN, VK_RETURN, 1);
            PostMessageW(radio, WM_KEYUP, VK_RETURN, (LPARAM)0xC0000001u);
        } else {
            PostClick(dialog, IDC_MSG_OK);
        }
        ASSERT_TRUE(WaitForWindowGone(dialog)) << "the Message dialog stayed up";
    }
};

TEST_F(DialogsE2E, NextCallerReceivesTheNewChoiceWhileListening)
{
    const int port = FreePort();
    ASSERT_NE(port, 0);
    WritePorts({port});
    StartProgram();
    Listen();
    const std::string line = "\r\n";
    EXPECT_EQ(CallAndListen(port), kWarningLine);

    struct Case {
        const char* name;
        int button;
        std::string typed;
        bool enter;
        std::string received;
    };
    const Case cases[] = {
        {"custom text by OK", IDC_MSG_CUSTOM, "Go away", false, "Go away" + line},
        {"no message by Enter", IDC_MSG_NONE, "", true, ""},
        {"default text by Enter", IDC_MSG_DEFAULT, "", true, kWarningLine},
        {"custom text again, kept", IDC_MSG_CUSTOM, "", false, "Go away" + line},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(ChooseMessage(c.button, c.typed, c.enter));
        EXPECT_EQ(CallAndListen(port), c.received);
    }
}

TEST_F(DialogsE2E, PortsAndCustomTextSurviveExitAndStart)
{
    StartProgram();
    HWND ps = OpenDialog(kPortSettings, kPortSettingsTitleW);
    ASSERT_TRUE(ps != NULL);
    HWND list = GetDlgItem(ps, IDC_PS_LIST);
    struct Step {
        const char* typed;
        size_t lines; // shown after it; a listed port adds none
    };
    const Step steps[] = {{"80", 1}, {"8080", 2}, {"1024", 3}, {"7", 4}, {"80", 4}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.typed);
        PostClick(ps, IDC_PS_ADD);
        HWND add = WaitForDialog(ps, kAddPortTitleW);
        ASSERT_TRUE(add != NULL);
        Type(GetDlgItem(add, IDC_AP_EDIT), step.typed);
        PostClick(add, IDC_AP_OK);
        ASSERT_TRUE(WaitForWindowGone(add));
        EXPECT_TRUE(PumpUntil([&] { return ListBoxLinesW(list).size() == step.lines; }));
    }
    const Lines shown = {L"    7", L"   80", L" 1024", L" 8080"};
    EXPECT_EQ(ListBoxLinesW(list), shown);
    PostClick(ps, IDC_PS_OK);
    ASSERT_TRUE(WaitForWindowGone(ps));

    std::string full;
    for (int i = 0; i < 255; ++i)
        full.push_back((char)('a' + i % 26));
    HWND dialog = OpenDialog(kMessage, kMessageTitleW);
    ASSERT_TRUE(dialog != NULL);
    PostClick(dialog, IDC_MSG_CUSTOM);
    ASSERT_TRUE(PumpUntil([&] { return IsWindowEnabled(GetDlgItem(dialog, IDC_MSG_TEXT)); }));
    Type(GetDlgItem(dialog, IDC_MSG_TEXT), full + "!"); // the 256th is not taken
    EXPECT_EQ(Narrow(ControlText(dialog, IDC_MSG_TEXT)), full);
    PostClick(dialog, IDC_MSG_OK);
    ASSERT_TRUE(WaitForWindowGone(dialog));

    ExitProgram();
    EXPECT_EQ(ReadValue(kValueCount).AsDword(), 4u);
    const DWORD order[] = {80, 8080, 1024, 7};
    for (DWORD i = 0; i < 4; ++i)
        EXPECT_EQ(ReadValue(PortValueName(i)).AsDword(), order[i]) << i;
    EXPECT_EQ(ReadValue(kValueMessageType).data, std::vector<BYTE>{0});
    EXPECT_EQ(ReadValue(kValueCustomMessage).AsText(), full);

    StartProgram();
    ps = OpenDialog(kPortSettings, kPortSettingsTitleW);
    ASSERT_TRUE(ps != NULL);
    EXPECT_EQ(ListBoxLinesW(GetDlgItem(ps, IDC_PS_LIST)), shown);
    PostClick(ps, IDC_PS_OK);
    ASSERT_TRUE(WaitForWindowGone(ps));
    dialog = OpenDialog(kMessage, kMessageTitleW);
    ASSERT_TRUE(dialog != NULL);
    EXPECT_TRUE(IsChecked(dialog, IDC_MSG_CUSTOM));
    EXPECT_EQ(Narrow(ControlText(dialog, IDC_MSG_TEXT)), full);
    PostClick(dialog, IDC_MSG_CANCEL);
    ASSERT_TRUE(WaitForWindowGone(dialog));
}

// The very first start, with no key at all, shows the window and asks in a
// box of its own; Yes fills the port list from the Trojan Ports table and
// listens, and the answer is stored.
TEST_F(DialogsE2E, FirstStartOffersTheTrojanPortsAndYesListens)
{
    DeleteSettings();
    StartProgram();
    HWND box = WaitForOwnedWindow(main_, L"Harbinel");
    ASSERT_TRUE(box != NULL) << "no question at the first start";
    EXPECT_TRUE(IsWindowVisible(main_));
    PostClick(box, IDYES);
    ASSERT_TRUE(WaitForWindowGone(box));
    EXPECT_TRUE(PumpUntil([&] {
        const Lines log = LogLines(main_);
        return !log.empty() && StartsWith(log[0], L"Listening on ");
    })) << Dump(LogLines(main_));
    ExitProgram();
    EXPECT_EQ(StoredPorts().size(), 24u);
    ExpectValue(kValueFirstRunAsked, REG_BINARY, {1});
}

} // namespace
} // namespace e2e
