// The dialogs of the running harbinel.exe, worked from outside as a user
// works them: the warning a caller gets follows the Message dialog at once,
// and what the dialogs set reaches the registry at Exit and comes back at the
// next start.
#include "driver.h"

#include <string>
#include <vector>

namespace e2e {
namespace {

// Control identifiers of the dialogs (shared with the program's resources).
const int kPortOk = 401;
const int kPortAdd = 403;
const int kPortList = 408;
const int kAddEdit = 601;
const int kAddOk = 602;
const int kMessageOk = 501;
const int kMessageCancel = 502;
const int kMessageDefault = 503;
const int kMessageNone = 504;
const int kMessageCustom = 505;
const int kMessageText = 506;

using Lines = std::vector<std::wstring>;

std::vector<std::wstring> ListBoxLines(HWND list)
{
    std::vector<std::wstring> lines;
    LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        LRESULT length = SendMessageW(list, LB_GETTEXTLEN, (WPARAM)i, 0);
        std::vector<wchar_t> text((size_t)(length < 0 ? 0 : length) + 1, 0);
        LRESULT got = SendMessageW(list, LB_GETTEXT, (WPARAM)i, (LPARAM)text.data());
        lines.emplace_back(text.data(), (size_t)(got < 0 ? 0 : got));
    }
    return lines;
}

// A click on a button of another process's dialog.
void Click(HWND dialog, int id)
{
    HWND button = GetDlgItem(dialog, id);
    ASSERT_TRUE(button != NULL) << "no control " << id;
    PostMessageW(button, BM_CLICK, 0, 0);
}

bool Checked(HWND dialog, int id)
{
    return SendMessageW(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// Types into a control of another process, one character at a time; each
// send returns once the control has taken the character (or dropped it).
void Type(HWND control, const std::string& chars)
{
    for (char c : chars)
        SendMessageW(control, WM_CHAR, (WPARAM)(unsigned char)c, 1);
}

std::string StoredText(const wchar_t* name)
{
    RegValue value = ReadValue(name);
    std::string text(value.data.begin(), value.data.end());
    // The registry adds the terminating zero the program leaves out.
    if (!text.empty() && text.back() == '\0')
        text.pop_back();
    return text;
}

// A dialog owned by owner, once it is up: the window exists from the start of
// its creation, but it is shown only after its controls are made and it has
// initialised them.
HWND WaitForDialog(HWND owner, const wchar_t* title)
{
    HWND dialog = WaitForOwnedWindow(owner, title);
    EXPECT_TRUE(dialog != NULL) << "no dialog " << Narrow(title);
    if (dialog != NULL) {
        EXPECT_TRUE(PumpUntil([&] { return IsWindowVisible(dialog) && IsWindowEnabled(dialog); }))
            << Narrow(title) << " never came up";
    }
    return dialog;
}

class DialogsE2E : public HarbinelTest {
  protected:
    HWND OpenDialog(UINT command, const wchar_t* title)
    {
        PostCommand(main_, command);
        return WaitForDialog(main_, title);
    }

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
        HWND dialog = OpenDialog(kMessage, L"Message");
        ASSERT_TRUE(dialog != NULL);
        Click(dialog, button);
        ASSERT_TRUE(PumpUntil([&] { return Checked(dialog, button); }));
        HWND edit = GetDlgItem(dialog, kMessageText);
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
            Click(dialog, kMessageOk);
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
    EXPECT_EQ(CallAndListen(port), kDefaultWarning + line);

    struct Case {
        const char* name;
        int button;
        std::string typed;
        bool enter;
        std::string received;
    };
    const Case cases[] = {
        {"custom text by OK", kMessageCustom, "Go away", false, "Go away" + line},
        {"no message by Enter", kMessageNone, "", true, ""},
        {"default text by Enter", kMessageDefault, "", true, kDefaultWarning + line},
        {"custom text again, kept", kMessageCustom, "", false, "Go away" + line},
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
    HWND ps = OpenDialog(kPortSettings, L"Port Settings");
    ASSERT_TRUE(ps != NULL);
    HWND list = GetDlgItem(ps, kPortList);
    struct Step {
        const char* typed;
        size_t lines; // shown after it; a listed port adds none
    };
    const Step steps[] = {{"80", 1}, {"8080", 2}, {"1024", 3}, {"7", 4}, {"80", 4}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.typed);
        Click(ps, kPortAdd);
        HWND add = WaitForDialog(ps, L"Add Port");
        ASSERT_TRUE(add != NULL);
        Type(GetDlgItem(add, kAddEdit), step.typed);
        Click(add, kAddOk);
        ASSERT_TRUE(WaitForWindowGone(add));
        EXPECT_TRUE(PumpUntil([&] { return ListBoxLines(list).size() == step.lines; }));
    }
    const Lines shown = {L"    7", L"   80", L" 1024", L" 8080"};
    EXPECT_EQ(ListBoxLines(list), shown);
    Click(ps, kPortOk);
    ASSERT_TRUE(WaitForWindowGone(ps));

    std::string full;
    for (int i = 0; i < 255; ++i)
        full.push_back((char)('a' + i % 26));
    HWND dialog = OpenDialog(kMessage, L"Message");
    ASSERT_TRUE(dialog != NULL);
    Click(dialog, kMessageCustom);
    ASSERT_TRUE(PumpUntil([&] { return IsWindowEnabled(GetDlgItem(dialog, kMessageText)); }));
    Type(GetDlgItem(dialog, kMessageText), full + "!"); // the 256th is not taken
    EXPECT_EQ(Narrow(ControlText(dialog, kMessageText)), full);
    Click(dialog, kMessageOk);
    ASSERT_TRUE(WaitForWindowGone(dialog));

    ExitProgram();
    EXPECT_EQ(ReadValue(L"Count").AsDword(), 4u);
    const DWORD order[] = {80, 8080, 1024, 7};
    for (DWORD i = 0; i < 4; ++i)
        EXPECT_EQ(ReadValue((L"Port" + std::to_wstring(i)).c_str()).AsDword(), order[i]) << i;
    EXPECT_EQ(ReadValue(L"MessageType").data, std::vector<BYTE>{0});
    EXPECT_EQ(StoredText(L"CustomMessage"), full);

    StartProgram();
    ps = OpenDialog(kPortSettings, L"Port Settings");
    ASSERT_TRUE(ps != NULL);
    EXPECT_EQ(ListBoxLines(GetDlgItem(ps, kPortList)), shown);
    Click(ps, kPortOk);
    ASSERT_TRUE(WaitForWindowGone(ps));
    dialog = OpenDialog(kMessage, L"Message");
    ASSERT_TRUE(dialog != NULL);
    EXPECT_TRUE(Checked(dialog, kMessageCustom));
    EXPECT_EQ(Narrow(ControlText(dialog, kMessageText)), full);
    Click(dialog, kMessageCancel);
    ASSERT_TRUE(WaitForWindowGone(dialog));
}

} // namespace
} // namespace e2e
