// The four dialogs, the save dialog and the log's menu, driven in-process as
// a user drives them: the real main window, its commands and modal loops, and
// what reaches AppState, the list boxes, the saved file and the registry.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/app.h"
#include "dialog_driver.h"
#include "harness.h"
#include "log/log.h"
#include "outputs/outputs.h"
#include "resource.h"

using namespace dialogs;

namespace {

using Lines = std::vector<std::string>;
using Ports = std::vector<int>;

HWND OpenDialog(UINT command, const char* title)
{
    PostCommand(command);
    return WaitForWindow(AppState.MainWindow, title);
}

// Add..., the typed text, then OK (or another way out) in Add Port.
void AddPort(HWND portSettings, const std::string& typed, int closeWith = IDC_AP_OK)
{
    Click(portSettings, IDC_PS_ADD);
    HWND add = WaitForWindow(portSettings, kAddPortTitle);
    ASSERT_NE(add, (HWND)NULL);
    Type(GetDlgItem(add, IDC_AP_EDIT), typed);
    if (closeWith == 0)
        CloseBox(add);
    else
        Click(add, closeWith);
    WaitGone(add);
}

} // namespace

// ---- Port Settings and Add Port ---------------------------------------------

class PortSettingsTest : public harness::AppTest {};

TEST_F(PortSettingsTest, PortsShowSortedAndAreSavedInTheOrderAdded)
{
    RunScript([] {
        HWND ps = OpenDialog(IDM_PORTSETTINGS, kPortSettingsTitle);
        ASSERT_NE(ps, (HWND)NULL);
        EXPECT_FALSE(IsWindowVisible(GetDlgItem(ps, IDC_PS_NOTE))) << "a note while it can change";
        for (const char* port : {"80", "8080", "1024", "7"})
            AddPort(ps, port);
        HWND list = GetDlgItem(ps, IDC_PS_LIST);
        EXPECT_EQ(ListBoxLinesA(list), (Lines{"    7", "   80", " 1024", " 8080"}));
        EXPECT_EQ(ListBoxData(list), (std::vector<LRESULT>{7, 80, 1024, 8080}));
        EXPECT_EQ(harness::PortListPorts(), (Ports{80, 8080, 1024, 7}));
        Click(ps, IDC_PS_OK);
        WaitGone(ps);
    });
    ASSERT_TRUE(harness::ExitApp());
    EXPECT_EQ(StoredPorts(), (Ports{80, 8080, 1024, 7}));
}

TEST_F(PortSettingsTest, AddingAListedPortChangesNothingAndSaysNothing)
{
    RunScript([] {
        HWND ps = OpenDialog(IDM_PORTSETTINGS, kPortSettingsTitle);
        ASSERT_NE(ps, (HWND)NULL);
        AddPort(ps, "80");
        AddPort(ps, "80");
        EXPECT_TRUE(OwnedWindows(ps).empty()) << "a message came up";
        EXPECT_TRUE(IsWindowEnabled(ps));
        EXPECT_EQ(ListBoxLinesA(GetDlgItem(ps, IDC_PS_LIST)), (Lines{"   80"}));
        EXPECT_EQ(harness::PortListPorts(), (Ports{80}));
        Click(ps, IDC_PS_OK);
        WaitGone(ps);
    });
}

TEST_F(PortSettingsTest, AddPortTakesOnlyDigitsFrom1To65535)
{
    struct Case {
        const char* name;
        std::string typed;
        std::string shown; // the box's text when OK is pressed
        int32_t added;     // -1: refused with a message, the box stays open
    };
    const Case cases[] = {
        {"largest port", "65535", "65535", 65535},
        {"smallest port", "1", "1", 1},
        {"one above", "65536", "65536", -1},
        {"five nines", "99999", "99999", -1},
        {"sixth digit", "123456", "12345", 12345},
        {"empty box", "", "", -1},
        {"port zero", "0", "0", -1},
        {"zeros", "00000", "00000", -1},
        {"letters, minus, spaces, backspace", "a1-b 2\b3x", "13", 13},
    };
    RunScript([&] {
        HWND ps = OpenDialog(IDM_PORTSETTINGS, kPortSettingsTitle);
        ASSERT_NE(ps, (HWND)NULL);
        HWND list = GetDlgItem(ps, IDC_PS_LIST);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            Lines before = ListBoxLinesA(list);
            Click(ps, IDC_PS_ADD);
            HWND add = WaitForWindow(ps, kAddPortTitle);
            ASSERT_NE(add, (HWND)NULL);
            HWND edit = GetDlgItem(add, IDC_AP_EDIT);
            EXPECT_EQ(GetFocus(), edit);
            Type(edit, c.typed);
            EXPECT_EQ(Text(edit), c.shown);
            Click(add, IDC_AP_OK);
            if (c.added < 0) {
                HWND box = WaitForWindow(add, kWindowTitleText);
                ASSERT_NE(box, (HWND)NULL) << "no message";
                EXPECT_EQ(ItemText(box, 0xFFFF), kBadPortMessage);
                PressKey(VK_RETURN, box);
                WaitGone(box);
                EXPECT_TRUE(IsWindow(add) && IsWindowVisible(add)) << "Add Port closed";
                EXPECT_EQ(GetFocus(), edit);
                Click(add, IDC_AP_CANCEL);
                WaitGone(add);
                EXPECT_EQ(ListBoxLinesA(list), before);
                continue;
            }
            WaitGone(add);
            Lines after = ListBoxLinesA(list);
            char entry[8];
            wsprintfA(entry, "%5d", c.added);
            EXPECT_EQ(after.size(), before.size() + 1);
            EXPECT_NE(std::find(after.begin(), after.end(), entry), after.end())
                << "no line [" << entry << "]";
            EXPECT_EQ(harness::PortListPorts().back(), c.added);
        }
        EXPECT_EQ(ListBoxLinesA(list), (Lines{"    1", "   13", "12345", "65535"}));
        Click(ps, IDC_PS_OK);
        WaitGone(ps);
    });
}

TEST_F(PortSettingsTest, CloseBoxAndCancelOfAddPortAddNothing)
{
    RunScript([] {
        HWND ps = OpenDialog(IDM_PORTSETTINGS, kPortSettingsTitle);
        ASSERT_NE(ps, (HWND)NULL);
        HWND list = GetDlgItem(ps, IDC_PS_LIST);
        AddPort(ps, "443", 0);
        EXPECT_EQ(ListBoxLinesA(list), Lines{});
        AddPort(ps, "80");
        AddPort(ps, "81", 0); // right after an OK
        AddPort(ps, "82", IDC_AP_CANCEL);
        EXPECT_EQ(ListBoxLinesA(list), (Lines{"   80"}));
        EXPECT_EQ(harness::PortListPorts(), (Ports{80}));
        Click(ps, IDC_PS_OK);
        WaitGone(ps);
    });
}

TEST_F(PortSettingsTest, EscLeavesBothDialogsOpenAndEnterIsOk)
{
    RunScript([] {
        HWND ps = OpenDialog(IDM_PORTSETTINGS, kPortSettingsTitle);
        ASSERT_NE(ps, (HWND)NULL);
        EXPECT_EQ(GetFocus(), GetDlgItem(ps, IDC_PS_OK));
        PressKey(VK_ESCAPE);
        EXPECT_TRUE(IsWindowVisible(ps)) << "Esc closed Port Settings";

        Click(ps, IDC_PS_ADD);
        HWND add = WaitForWindow(ps, kAddPortTitle);
        ASSERT_NE(add, (HWND)NULL);
        Type(GetDlgItem(add, IDC_AP_EDIT), "5");
        PressKey(VK_ESCAPE);
        EXPECT_TRUE(IsWindowVisible(add)) << "Esc closed Add Port";
        PressKey(VK_RETURN);
        WaitGone(add);
        EXPECT_EQ(ListBoxLinesA(GetDlgItem(ps, IDC_PS_LIST)), (Lines{"    5"}));

        CloseBox(ps);
        WaitGone(ps);
    });
    EXPECT_EQ(harness::PortListPorts(), (Ports{5}));
}

class ListeningPortSettingsTest : public harness::AppTest {
  protected:
    void PrepareSettings() override
    {
        port_ = harness::FreePort();
        WritePorts({port_});
    }
    u_short port_ = 0;
};

TEST_F(ListeningPortSettingsTest, OnlyDisconnectCanChangeAndItActsAtOnce)
{
    ASSERT_NE(port_, 0);
    SendMessageA(AppState.MainWindow, WM_COMMAND, IDC_LISTEN, 0);
    ASSERT_EQ(AppState.IsListening, 1) << harness::LogDump();
    u_short port = port_;
    RunScript([port] {
        HWND ps = OpenDialog(IDM_PORTSETTINGS, kPortSettingsTitle);
        ASSERT_NE(ps, (HWND)NULL);
        char entry[8];
        wsprintfA(entry, "%5d", (int)port);
        EXPECT_EQ(ListBoxLinesA(GetDlgItem(ps, IDC_PS_LIST)), Lines{entry});
        EXPECT_FALSE(IsEnabled(ps, IDC_PS_ADD));
        EXPECT_FALSE(IsEnabled(ps, IDC_PS_REMOVE));
        EXPECT_FALSE(IsEnabled(ps, IDC_PS_REMOVEALL));
        EXPECT_TRUE(IsEnabled(ps, IDC_PS_OK));
        EXPECT_TRUE(IsEnabled(ps, IDC_PS_DISCONNECT));
        EXPECT_TRUE(IsChecked(ps, IDC_PS_DISCONNECT));
        EXPECT_TRUE(IsWindowVisible(GetDlgItem(ps, IDC_PS_NOTE)));
        EXPECT_EQ(ItemText(ps, IDC_PS_NOTE), "Stop listening to change the ports");

        Click(ps, IDC_PS_DISCONNECT);
        EXPECT_FALSE(IsChecked(ps, IDC_PS_DISCONNECT));
        EXPECT_EQ(AppState.DisconnectImmediately, 0);

        // A caller now, with the dialog still up, is warned and kept.
        harness::Caller caller;
        ASSERT_TRUE(caller.Connect(port));
        const std::string warning = kWarningLine;
        EXPECT_TRUE(WaitFor([&] {
            caller.Poll();
            return caller.Received().size() >= warning.size();
        }));
        EXPECT_EQ(caller.Received(), warning);
        EXPECT_TRUE(WaitFor([] { return harness::FindLogLine(kMessageSent) >= 0; }));
        Settle();
        caller.Poll();
        EXPECT_FALSE(caller.PeerClosed()) << "the caller was disconnected";
        EXPECT_EQ(harness::FindLogLine(kScanBlocked), -1) << harness::LogDump();

        Click(ps, IDC_PS_DISCONNECT);
        EXPECT_EQ(AppState.DisconnectImmediately, 1);
        Click(ps, IDC_PS_DISCONNECT);
        CloseBox(ps);
        WaitGone(ps);
    });
    EXPECT_EQ(AppState.DisconnectImmediately, 0) << "the close box lost the change";
    EXPECT_EQ(harness::PortListPorts(), (Ports{port_}));
}

class StoredPortsTest : public harness::AppTest {
  protected:
    void PrepareSettings() override
    {
        WritePorts({8080, 21, 8080, 443});
    }
};

TEST_F(StoredPortsTest, RemoveTakesTheSelectedLineOnly)
{
    RunScript([] {
        HWND ps = OpenDialog(IDM_PORTSETTINGS, kPortSettingsTitle);
        ASSERT_NE(ps, (HWND)NULL);
        HWND list = GetDlgItem(ps, IDC_PS_LIST);
        ASSERT_EQ(ListBoxLinesA(list), (Lines{"   21", "  443", " 8080", " 8080"}));

        Click(ps, IDC_PS_REMOVE); // nothing selected
        EXPECT_EQ(ListBoxLinesA(list), (Lines{"   21", "  443", " 8080", " 8080"}));
        EXPECT_EQ(harness::PortListPorts(), (Ports{8080, 21, 8080, 443}));

        // One of the two lines of the same port (a hand-edited key).
        SelectLine(list, 3);
        Click(ps, IDC_PS_REMOVE);
        EXPECT_EQ(ListBoxLinesA(list), (Lines{"   21", "  443", " 8080"}));
        EXPECT_EQ(harness::PortListPorts(), (Ports{21, 8080, 443}));
        EXPECT_EQ(SendMessageA(list, LB_GETCURSEL, 0, 0), LB_ERR);

        SelectLine(list, 1);
        Click(ps, IDC_PS_REMOVE);
        EXPECT_EQ(ListBoxLinesA(list), (Lines{"   21", " 8080"}));
        EXPECT_EQ(harness::PortListPorts(), (Ports{21, 8080}));
        Click(ps, IDC_PS_OK);
        WaitGone(ps);
    });
    ASSERT_TRUE(harness::ExitApp());
    EXPECT_EQ(StoredPorts(), (Ports{21, 8080}));
}

TEST_F(StoredPortsTest, RemoveAllThenOkStoresCountZero)
{
    RunScript([] {
        HWND ps = OpenDialog(IDM_PORTSETTINGS, kPortSettingsTitle);
        ASSERT_NE(ps, (HWND)NULL);
        Click(ps, IDC_PS_REMOVEALL);
        EXPECT_EQ(ListBoxLinesA(GetDlgItem(ps, IDC_PS_LIST)), Lines{});
        EXPECT_EQ(AppState.PortList, (SocketNode*)NULL);
        Click(ps, IDC_PS_OK);
        WaitGone(ps);
    });
    ASSERT_TRUE(harness::ExitApp());
    RegValue count = ReadValue(kValueCount);
    EXPECT_TRUE(count.exists);
    EXPECT_EQ(count.AsDword(), 0u);
}

// ---- Message ------------------------------------------------------------------

class MessageDialogTest : public harness::AppTest {};

TEST_F(MessageDialogTest, FirstUseOffersTheDefaultAndCustomTextIsKept)
{
    RunScript([] {
        HWND dialog = OpenDialog(IDM_MESSAGE, kMessageTitle);
        ASSERT_NE(dialog, (HWND)NULL);
        EXPECT_TRUE(IsChecked(dialog, IDC_MSG_DEFAULT));
        EXPECT_FALSE(IsChecked(dialog, IDC_MSG_NONE));
        EXPECT_FALSE(IsChecked(dialog, IDC_MSG_CUSTOM));
        EXPECT_EQ(ItemText(dialog, IDC_MSG_TEXT), "");
        EXPECT_FALSE(IsEnabled(dialog, IDC_MSG_TEXT));
        EXPECT_EQ(GetFocus(), GetDlgItem(dialog, IDC_MSG_OK));

        Click(dialog, IDC_MSG_CUSTOM);
        EXPECT_TRUE(IsEnabled(dialog, IDC_MSG_TEXT));
        Type(GetDlgItem(dialog, IDC_MSG_TEXT), "Go away");
        Click(dialog, IDC_MSG_OK);
        WaitGone(dialog);
        EXPECT_EQ(AppState.MessageType, 0);
        EXPECT_STREQ(AppState.CustomMessage, "Go away");

        dialog = OpenDialog(IDM_MESSAGE, kMessageTitle);
        ASSERT_NE(dialog, (HWND)NULL);
        EXPECT_TRUE(IsChecked(dialog, IDC_MSG_CUSTOM));
        EXPECT_FALSE(IsChecked(dialog, IDC_MSG_DEFAULT));
        EXPECT_EQ(ItemText(dialog, IDC_MSG_TEXT), "Go away");
        EXPECT_TRUE(IsEnabled(dialog, IDC_MSG_TEXT));
        Click(dialog, IDC_MSG_CANCEL);
        WaitGone(dialog);
    });
}

TEST_F(MessageDialogTest, EnterAppliesTheChosenButton)
{
    struct Case {
        const char* name;
        int button;
        int32_t type;
    };
    const Case cases[] = {
        {"No message", IDC_MSG_NONE, 1},
        {"Default message", IDC_MSG_DEFAULT, 2},
        {"Custom message", IDC_MSG_CUSTOM, 0},
        {"No message again", IDC_MSG_NONE, 1},
    };
    RunScript([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            HWND dialog = OpenDialog(IDM_MESSAGE, kMessageTitle);
            ASSERT_NE(dialog, (HWND)NULL);
            Click(dialog, c.button);
            EXPECT_TRUE(IsChecked(dialog, c.button));
            PressKey(VK_RETURN);
            WaitGone(dialog);
            EXPECT_EQ(AppState.MessageType, c.type);
        }
    });
}

TEST_F(MessageDialogTest, CancelAndTheCloseBoxChangeNothing)
{
    struct Case {
        const char* name;
        bool closeBox;
    };
    const Case cases[] = {{"Cancel", false}, {"close box", true}};
    RunScript([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            HWND dialog = OpenDialog(IDM_MESSAGE, kMessageTitle);
            ASSERT_NE(dialog, (HWND)NULL);
            Click(dialog, IDC_MSG_CUSTOM);
            Type(GetDlgItem(dialog, IDC_MSG_TEXT), "not this");
            if (c.closeBox)
                CloseBox(dialog);
            else
                Click(dialog, IDC_MSG_CANCEL);
            WaitGone(dialog);
            EXPECT_EQ(AppState.MessageType, 2);
            EXPECT_STREQ(AppState.CustomMessage, "");
        }
    });
}

TEST_F(MessageDialogTest, AnotherChoiceGreysTheTextButKeepsIt)
{
    RunScript([] {
        HWND dialog = OpenDialog(IDM_MESSAGE, kMessageTitle);
        ASSERT_NE(dialog, (HWND)NULL);
        Click(dialog, IDC_MSG_CUSTOM);
        Type(GetDlgItem(dialog, IDC_MSG_TEXT), "Keep me");
        Click(dialog, IDC_MSG_DEFAULT);
        EXPECT_FALSE(IsEnabled(dialog, IDC_MSG_TEXT));
        EXPECT_FALSE(IsChecked(dialog, IDC_MSG_CUSTOM));
        EXPECT_EQ(ItemText(dialog, IDC_MSG_TEXT), "Keep me");
        Click(dialog, IDC_MSG_OK);
        WaitGone(dialog);
        EXPECT_EQ(AppState.MessageType, 2);
        EXPECT_STREQ(AppState.CustomMessage, "Keep me");

        dialog = OpenDialog(IDM_MESSAGE, kMessageTitle);
        ASSERT_NE(dialog, (HWND)NULL);
        EXPECT_TRUE(IsChecked(dialog, IDC_MSG_DEFAULT));
        EXPECT_FALSE(IsEnabled(dialog, IDC_MSG_TEXT));
        Click(dialog, IDC_MSG_CUSTOM);
        EXPECT_TRUE(IsEnabled(dialog, IDC_MSG_TEXT));
        EXPECT_EQ(ItemText(dialog, IDC_MSG_TEXT), "Keep me");
        Click(dialog, IDC_MSG_CANCEL);
        WaitGone(dialog);
    });
}

TEST_F(MessageDialogTest, EscLeavesItOpen)
{
    RunScript([] {
        HWND dialog = OpenDialog(IDM_MESSAGE, kMessageTitle);
        ASSERT_NE(dialog, (HWND)NULL);
        PressKey(VK_ESCAPE);
        EXPECT_TRUE(IsWindowVisible(dialog)) << "Esc closed the dialog";
        Click(dialog, IDC_MSG_CANCEL);
        WaitGone(dialog);
    });
}

TEST_F(MessageDialogTest, FullLengthTextSurvivesExitAndStart)
{
    std::string full;
    for (int i = 0; i < 255; ++i)
        full.push_back((char)('A' + i % 26));
    RunScript([&] {
        HWND dialog = OpenDialog(IDM_MESSAGE, kMessageTitle);
        ASSERT_NE(dialog, (HWND)NULL);
        Click(dialog, IDC_MSG_CUSTOM);
        HWND edit = GetDlgItem(dialog, IDC_MSG_TEXT);
        Type(edit, full + "Z"); // the 256th character
        EXPECT_EQ(Text(edit), full);
        Click(dialog, IDC_MSG_OK);
        WaitGone(dialog);
    });
    EXPECT_EQ(std::string(AppState.CustomMessage), full);
    ASSERT_TRUE(harness::ExitApp());
    RegValue stored = ReadValue(kValueCustomMessage);
    EXPECT_EQ(stored.type, (DWORD)REG_SZ);
    // The registry adds the terminating zero the program leaves out.
    std::string storedText(stored.data.begin(), stored.data.end());
    if (!storedText.empty() && storedText.back() == '\0')
        storedText.pop_back();
    EXPECT_EQ(storedText, full);

    ASSERT_TRUE(harness::StartApp());
    EXPECT_EQ(AppState.MessageType, 0);
    EXPECT_EQ(std::string(AppState.CustomMessage), full);
    RunScript([&] {
        HWND dialog = OpenDialog(IDM_MESSAGE, kMessageTitle);
        ASSERT_NE(dialog, (HWND)NULL);
        EXPECT_TRUE(IsChecked(dialog, IDC_MSG_CUSTOM));
        EXPECT_EQ(ItemText(dialog, IDC_MSG_TEXT), full);
        Click(dialog, IDC_MSG_CANCEL);
        WaitGone(dialog);
    });
}

class StrangeMessageTypeTest : public harness::AppTest {
  protected:
    void PrepareSettings() override
    {
        const BYTE seven = 7;
        harness::WriteValue(kValueMessageType, REG_BINARY, &seven, 1);
    }
};

TEST_F(StrangeMessageTypeTest, NothingIsCheckedAndOkMeansCustom)
{
    ASSERT_EQ(AppState.MessageType, 7);
    RunScript([] {
        HWND dialog = OpenDialog(IDM_MESSAGE, kMessageTitle);
        ASSERT_NE(dialog, (HWND)NULL);
        EXPECT_FALSE(IsChecked(dialog, IDC_MSG_DEFAULT));
        EXPECT_FALSE(IsChecked(dialog, IDC_MSG_NONE));
        EXPECT_FALSE(IsChecked(dialog, IDC_MSG_CUSTOM));
        EXPECT_FALSE(IsEnabled(dialog, IDC_MSG_TEXT));
        Click(dialog, IDC_MSG_OK);
        WaitGone(dialog);
    });
    EXPECT_EQ(AppState.MessageType, 0);
}

// ---- Trojan Ports ---------------------------------------------------------------

class TrojanPortsTest : public harness::AppTest {};

TEST_F(TrojanPortsTest, FiveTrojansSortedByName)
{
    RunScript([] {
        HWND dialog = OpenDialog(IDM_TROJANPORTS, kTrojanPortsTitle);
        ASSERT_NE(dialog, (HWND)NULL);
        HWND view = GetDlgItem(dialog, IDC_TP_LIST);
        std::vector<ListViewColumn> columns = ListViewColumns(view);
        ASSERT_EQ(columns.size(), 2u);
        EXPECT_EQ(columns[0].title, "Trojan");
        EXPECT_EQ(columns[0].width, 60);
        EXPECT_EQ(columns[1].title, "Port Numbers");
        EXPECT_EQ(columns[1].width, 201);
        std::vector<std::vector<std::string>> expected = {
            {"Back Orifice", "1349, 31337, 31338, 54320"},
            {"DeepThroat", "41, 999, 2140, 3150, 6670, 6671, 60000"},
            {"NetBus", "12345, 12346, 20034"},
            {"Netspy", "1024, 1033"},
            {"Subseven", "2773, 2774, 6711, 6712, 6713, 7215, 27374, 54283"},
        };
        EXPECT_EQ(ListViewRows(view, 2), expected);
        Click(dialog, IDC_TP_OK);
        WaitGone(dialog);
    });
}

TEST_F(TrojanPortsTest, AddTheseAddsEachPortOnceAndNotWhileListening)
{
    harness::AddPortToList(31337);
    const struct {
        const char* name;
        bool listen;
        const char* button; // its text after the click, or while greyed
    } rows[] = {
        {"one listed already", false, "Added 23 ports"},
        {"all listed", false, "All are in the port list"},
        {"listening", true, "Stop listening to add them"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.listen)
            harness::Command(IDC_LISTEN);
        ASSERT_EQ(AppState.IsListening, row.listen ? 1 : 0) << harness::LogDump();
        RunScript([&] {
            HWND dialog = OpenDialog(IDM_TROJANPORTS, kTrojanPortsTitle);
            ASSERT_NE(dialog, (HWND)NULL);
            EXPECT_EQ(IsEnabled(dialog, IDC_TP_ADD), !row.listen);
            Click(dialog, IDC_TP_ADD);
            EXPECT_EQ(ItemText(dialog, IDC_TP_ADD), row.button);
            EXPECT_FALSE(IsEnabled(dialog, IDC_TP_ADD));
            Click(dialog, IDC_TP_OK);
            WaitGone(dialog);
        });
        std::vector<int32_t> ports = harness::PortListPorts();
        EXPECT_EQ(ports.size(), 24u);
        std::sort(ports.begin(), ports.end());
        EXPECT_EQ(std::unique(ports.begin(), ports.end()), ports.end()) << "a port listed twice";
        EXPECT_EQ(StoredPorts().size(), 24u) << "not stored at the close";
    }
}

TEST_F(TrojanPortsTest, EscLeavesItOpenWhileEnterOkAndCloseBoxClose)
{
    struct Case {
        const char* name;
        int way;
    };
    enum { kEnter, kOk, kCloseBox };
    const Case cases[] = {{"Enter", kEnter}, {"OK", kOk}, {"close box", kCloseBox}};
    RunScript([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            HWND dialog = OpenDialog(IDM_TROJANPORTS, kTrojanPortsTitle);
            ASSERT_NE(dialog, (HWND)NULL);
            PressKey(VK_ESCAPE);
            EXPECT_TRUE(IsWindowVisible(dialog)) << "Esc closed the dialog";
            if (c.way == kEnter)
                PressKey(VK_RETURN);
            else if (c.way == kOk)
                Click(dialog, IDC_TP_OK);
            else
                CloseBox(dialog);
            WaitGone(dialog);
        }
    });
}

// ---- Save Log ---------------------------------------------------------------------

namespace {

std::string JoinLines(const Lines& lines)
{
    std::string bytes;
    for (const std::string& line : lines)
        bytes += line + "\r\n";
    return bytes;
}

// The save dialog that Save Log opens, with the name it proposes checked.
HWND WaitForSaveDialog()
{
    HWND save = WaitForWindow(AppState.MainWindow, kSaveAsTitle);
    if (save != NULL) {
        EXPECT_EQ(Text(SaveNameEdit(save)), kProposedLogName) << "the proposed name";
    }
    return save;
}

// File menu, Save Log..., the path typed, Save.
void SaveFromFileMenu(const std::string& path)
{
    PostCommand(IDM_SAVELOG);
    HWND save = WaitForSaveDialog();
    ASSERT_NE(save, (HWND)NULL);
    SaveAs(save, path);
    WaitGone(save);
}

// A right-button press in the log list, at (x, y) of its client area.
void PressRightButton(int x, int y)
{
    PostMessageA(AppState.LogList, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(x, y));
}

// Chooses an item of the log menu that is up by its underlined letter.
void ChooseMenuItem(char letter)
{
    PostMessageA(AppState.LogList, WM_CHAR, (WPARAM)letter, 1);
}

bool ResetAlertEnabled(HMENU menu)
{
    harness::MenuItem item = harness::GetMenuItemByCommand(menu, IDM_RESETALERT);
    EXPECT_TRUE(item.found);
    return (item.state & MFS_GRAYED) == 0;
}

} // namespace

class SaveLogTest : public harness::AppTest {
  protected:
    void SetUp() override
    {
        harness::AppTest::SetUp();
        ASSERT_TRUE(folder_.Create("harbinel-save"));
        SendMessageA(AppState.LogList, LB_RESETCONTENT, 0, 0);
    }
    void TearDown() override
    {
        folder_.Remove();
        harness::AppTest::TearDown();
    }
    std::string Path(const std::string& name) const
    {
        return folder_.Path(name);
    }
    TempFolder folder_;
};

TEST_F(SaveLogTest, EveryLineIsWrittenWithCrLfAndNothingElse)
{
    const Lines lines = {kScanDetected, "   Accept: 127.0.0.1:40392 -> 127.0.0.1:31337",
                         "\tand a tab"};
    for (const std::string& line : lines)
        AddLogLine(line.c_str());
    const std::string path = Path("three.txt");
    RunScript([&] { SaveFromFileMenu(path); });
    EXPECT_EQ(ReadFileBytes(path), JoinLines(lines));
    EXPECT_EQ(harness::LogLines(), lines) << "saving changed the log";
}

TEST_F(SaveLogTest, EmptyLogWritesAnEmptyFile)
{
    const std::string path = Path("empty.txt");
    RunScript([&] { SaveFromFileMenu(path); });
    EXPECT_TRUE(FileExists(path));
    EXPECT_EQ(ReadFileBytes(path), "");
}

TEST_F(SaveLogTest, ExistingFileIsReplacedOnlyAfterTheQuestion)
{
    const std::string path = Path("old.txt");
    const std::string old = "an older file, longer than the log\r\nwith a second line\r\n";
    WriteFileBytes(path, old);
    AddLogLine("new");
    RunScript([&] {
        PostCommand(IDM_SAVELOG);
        HWND save = WaitForSaveDialog();
        ASSERT_NE(save, (HWND)NULL);
        SaveAs(save, path);
        HWND question = WaitForQuestion(save);
        ASSERT_NE(question, (HWND)NULL);
        Click(question, IDNO);
        WaitGone(question);
        EXPECT_TRUE(IsWindowVisible(save)) << "No must go back to the save dialog";
        EXPECT_EQ(ReadFileBytes(path), old);

        SaveAs(save, path);
        question = WaitForQuestion(save);
        ASSERT_NE(question, (HWND)NULL);
        Click(question, IDYES);
        WaitGone(save);
    });
    EXPECT_EQ(ReadFileBytes(path), "new\r\n");
}

TEST_F(SaveLogTest, NameWithoutExtensionGetsTxt)
{
    AddLogLine("line");
    const std::string path = Path("plain");
    RunScript([&] { SaveFromFileMenu(path); });
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ(ReadFileBytes(path + ".txt"), "line\r\n");
}

TEST_F(SaveLogTest, LogTxtIsProposedEveryTime)
{
    AddLogLine("line");
    RunScript([&] {
        SaveFromFileMenu(Path("other.txt")); // proposes log.txt
        PostCommand(IDM_SAVELOG);
        HWND save = WaitForSaveDialog(); // log.txt again
        ASSERT_NE(save, (HWND)NULL);
        Click(save, IDCANCEL);
        WaitGone(save);
    });
    EXPECT_EQ(ReadFileBytes(Path("other.txt")), "line\r\n");
    EXPECT_FALSE(FileExists(Path(kProposedLogName)));
}

// ---- The log menu and Clear Log ---------------------------------------------------

// Records the messages the log list passes on to its standard procedure.
class PassedOnSpy {
  public:
    PassedOnSpy()
    {
        standard_ = AppState.LogListOldProc;
        AppState.LogListOldProc = Record;
        rightButtonPresses_ = 0;
    }
    ~PassedOnSpy()
    {
        AppState.LogListOldProc = standard_;
    }
    int RightButtonPresses() const
    {
        return rightButtonPresses_;
    }

  private:
    static LRESULT CALLBACK Record(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_RBUTTONDOWN)
            ++rightButtonPresses_;
        return CallWindowProcA(standard_, window, message, wParam, lParam);
    }
    static WNDPROC standard_;
    static int rightButtonPresses_;
};

WNDPROC PassedOnSpy::standard_ = NULL;
int PassedOnSpy::rightButtonPresses_ = 0;

class LogMenuTest : public SaveLogTest {};

TEST_F(LogMenuTest, RightButtonOnAnEmptyLogShowsNoMenu)
{
    PassedOnSpy spy;
    RunScript([&] {
        PressRightButton(10, 10);
        Settle();
        EXPECT_FALSE(MenuShowing());
    });
    EXPECT_EQ(spy.RightButtonPresses(), 1) << "the press was not passed on to the list";
}

TEST_F(LogMenuTest, RightButtonOnALogShowsTheLogMenuWhereverPressed)
{
    AddLogLine("one");
    struct Case {
        const char* name;
        int x, y;
    };
    const Case cases[] = {{"on the line", 5, 5}, {"below the last line", 100, 120}};
    PassedOnSpy spy;
    RunScript([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            PressRightButton(c.x, c.y);
            HWND menu = WaitForMenu();
            ASSERT_NE(menu, (HWND)NULL);
            EXPECT_EQ((HMENU)SendMessageA(menu, MN_GETHMENU, 0, 0), AppState.LogMenu);
            PressKey(VK_ESCAPE, AppState.LogList);
            EXPECT_TRUE(WaitFor([] { return !MenuShowing(); })) << "Esc left the menu up";
            Settle();
            EXPECT_EQ(OwnedWindows(AppState.MainWindow), std::vector<HWND>{});
        }
    });
    EXPECT_EQ(spy.RightButtonPresses(), 0) << "the press was passed on";
    EXPECT_EQ(harness::LogLines(), Lines{"one"});
}

TEST_F(LogMenuTest, SaveLogFromTheMenuSavesTheLog)
{
    AddLogLine("menu line");
    const std::string path = Path("menu.txt");
    RunScript([&] {
        PressRightButton(5, 5);
        ASSERT_NE(WaitForMenu(), (HWND)NULL);
        ChooseMenuItem('s');
        HWND save = WaitForSaveDialog();
        ASSERT_NE(save, (HWND)NULL);
        SaveAs(save, path);
        WaitGone(save);
    });
    EXPECT_EQ(ReadFileBytes(path), "menu line\r\n");
}

class ClearLogTest : public harness::AppTest {
  protected:
    void PrepareSettings() override
    {
        port_ = harness::FreePort();
        WritePorts({port_});
    }

    // A caller connects and is warned and disconnected: the alert is up.
    void Scan()
    {
        harness::Caller caller;
        ASSERT_TRUE(caller.Connect(port_));
        ASSERT_TRUE(caller.WaitClosed(kStepMs));
        ASSERT_TRUE(harness::WaitForLogLine(kScanBlocked, false, kStepMs)) << harness::LogDump();
        ASSERT_TRUE(ResetAlertEnabled(AppState.MainMenu));
        ASSERT_TRUE(ResetAlertEnabled(AppState.TrayMenu));
        ASSERT_EQ(AppState.TrayIconData.hIcon, AppState.IconAlert);
    }

    void ExpectAlertReset()
    {
        EXPECT_FALSE(ResetAlertEnabled(AppState.MainMenu));
        EXPECT_FALSE(ResetAlertEnabled(AppState.TrayMenu));
        EXPECT_EQ(AppState.TrayIconData.hIcon, AppState.IconMain);
    }

    u_short port_ = 0;
};

TEST_F(ClearLogTest, ClearLogResetsTheAlertEvenOnAnEmptyLog)
{
    SendMessageA(AppState.MainWindow, WM_COMMAND, IDC_LISTEN, 0);
    ASSERT_EQ(AppState.IsListening, 1) << harness::LogDump();
    ASSERT_NO_FATAL_FAILURE(Scan());
    SendMessageA(AppState.LogList, LB_RESETCONTENT, 0, 0); // empty, alert still up
    ASSERT_TRUE(ResetAlertEnabled(AppState.MainMenu));
    SendMessageA(AppState.MainWindow, WM_COMMAND, IDM_CLEARLOG, 0);
    EXPECT_EQ(harness::LogCount(), 0);
    ExpectAlertReset();
}

TEST_F(ClearLogTest, ClearLogFromTheMenuEmptiesTheLogAndResetsTheAlert)
{
    SendMessageA(AppState.MainWindow, WM_COMMAND, IDC_LISTEN, 0);
    ASSERT_EQ(AppState.IsListening, 1) << harness::LogDump();
    ASSERT_NO_FATAL_FAILURE(Scan());
    ASSERT_GT(harness::LogCount(), 0);
    RunScript([] {
        PressRightButton(5, 5);
        ASSERT_NE(WaitForMenu(), (HWND)NULL);
        ChooseMenuItem('c');
        EXPECT_TRUE(WaitFor([] { return harness::LogCount() == 0; })) << harness::LogDump();
    });
    ExpectAlertReset();
}

// ---- DialogOpen -------------------------------------------------------------------

class ModalWindowsTest : public harness::AppTest {};

TEST_F(ModalWindowsTest, DialogOpenIsSetWhileAModalWindowIsUp)
{
    struct Case {
        const char* name;
        UINT command; // 0: Save Log from the log menu
        std::string title;
        int closeWith;
    };
    const Case cases[] = {
        {kPortSettingsTitle, IDM_PORTSETTINGS, kPortSettingsTitle, IDC_PS_OK},
        {kMessageTitle, IDM_MESSAGE, kMessageTitle, IDC_MSG_CANCEL},
        {kTrojanPortsTitle, IDM_TROJANPORTS, kTrojanPortsTitle, IDC_TP_OK},
        {"Statistics", IDM_STATISTICS, "Statistics", IDC_ST_OK},
        {"Statistics from the tray menu", IDM_TRAYSTATS, "Statistics", IDC_ST_OK},
        {"About", IDM_ABOUT, "About Harbinel", IDOK},
        {"Save Log from the File menu", IDM_SAVELOG, kSaveAsTitle, IDCANCEL},
        {"Save Log from the log menu", 0, kSaveAsTitle, IDCANCEL},
    };
    AddLogLine("a line for the log menu");
    RunScript([&] {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            EXPECT_EQ(AppState.DialogOpen, 0);
            if (c.command != 0) {
                PostCommand(c.command);
            } else {
                PressRightButton(5, 5);
                ASSERT_NE(WaitForMenu(), (HWND)NULL);
                EXPECT_EQ(AppState.DialogOpen, 0) << "the menu alone is no modal window";
                ChooseMenuItem('s');
            }
            HWND window = NULL;
            WaitFor([&] {
                for (HWND w : OwnedWindows(AppState.MainWindow))
                    if (Text(w) == c.title)
                        window = w;
                return window != NULL;
            });
            ASSERT_NE(window, (HWND)NULL) << "no window \"" << c.title << "\" came up";
            EXPECT_EQ(AppState.DialogOpen, 1);
            if (c.command == IDM_PORTSETTINGS) {
                Click(window, IDC_PS_ADD);
                HWND add = WaitForWindow(window, kAddPortTitle);
                ASSERT_NE(add, (HWND)NULL);
                EXPECT_EQ(AppState.DialogOpen, 1);
                Click(add, IDC_AP_CANCEL);
                WaitGone(add);
                EXPECT_EQ(AppState.DialogOpen, 1) << "Add Port cleared it";
            }
            Click(window, c.closeWith);
            WaitGone(window);
            EXPECT_TRUE(WaitFor([] { return AppState.DialogOpen == 0; }));
        }
    });
}

// ---- Statistics -------------------------------------------------------------------

class StatisticsTest : public harness::AppTest {};

int NoName(const NetAddress&, char*, size_t)
{
    return WSAHOST_NOT_FOUND;
}

// How many pixels of colour the chart drew in columns [from, to) of width.
int PixelsOf(const std::vector<DWORD>& bits, int width, COLORREF colour, int from, int to)
{
    const DWORD want = (DWORD)GetRValue(colour) << 16 | GetGValue(colour) << 8 | GetBValue(colour);
    int n = 0;
    for (size_t i = 0; i < bits.size(); ++i) {
        const int x = (int)(i % (size_t)width);
        n += x >= from && x < to && (bits[i] & 0xFFFFFF) == want ? 1 : 0;
    }
    return n;
}

// Both charts at the DC's own pixels per inch (96 here), at 96 and at 144:
// drawn without a failure or a leaked object, with this hour's and today's
// bar at the right end and nothing on the left.
void ExpectChartsPaint(HWND dialog)
{
    for (int id : {IDC_ST_HOURS, IDC_ST_DAYS}) {
        HWND chart = GetDlgItem(dialog, id);
        RECT r;
        GetClientRect(chart, &r);
        ASSERT_GT(r.right, 40);
        for (int dpi : {0, 96, 144}) {
            SCOPED_TRACE("chart " + std::to_string(id) + " at " + std::to_string(dpi));
            BITMAPINFO info = {};
            info.bmiHeader.biSize = sizeof info.bmiHeader;
            info.bmiHeader.biWidth = r.right;
            info.bmiHeader.biHeight = -r.bottom;
            info.bmiHeader.biPlanes = 1;
            info.bmiHeader.biBitCount = 32;
            void* bits = NULL;
            HDC dc = CreateCompatibleDC(NULL);
            HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, NULL, 0);
            ASSERT_NE(bitmap, (HBITMAP)NULL);
            HGDIOBJ old = SelectObject(dc, bitmap);
            const DWORD objects = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
            if (dpi == 0)
                SendMessageA(chart, WM_PRINTCLIENT, (WPARAM)dc, PRF_CLIENT);
            else
                EXPECT_TRUE(PaintChart(chart, dc, dpi));
            EXPECT_EQ(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS), objects);
            GdiFlush();
            std::vector<DWORD> pixels((const DWORD*)bits, (const DWORD*)bits + r.right * r.bottom);
            const COLORREF bar = GetSysColor(COLOR_HIGHLIGHT);
            EXPECT_GT(PixelsOf(pixels, r.right, bar, r.right * 9 / 10, r.right), 0);
            EXPECT_EQ(PixelsOf(pixels, r.right, bar, 0, r.right / 2), 0);
            SelectObject(dc, old);
            DeleteObject(bitmap);
            DeleteDC(dc);
        }
    }
}

// Scans counted before an Exit come back at the next start, in the lists
// and totals; Reset empties them and saves that at once.
TEST_F(StatisticsTest, ListsShowTheCountsAndResetClearsAndSaves)
{
    char skipped[8];
    ParseTrustedLines("10.0.0.0/8", &AppState.Trusted, skipped, sizeof skipped);
    AppState.ResolveAddress = NoName;
    for (int i = 0; i < 3; ++i)
        ReportScan(harness::Scan(kScanConnect, 5, false)); // 203.0.113.5
    ScanRecord other = harness::Scan(kScanConnect, 0, false);
    other.caller = NetAddressFromV4Host(0xC6336402); // 198.51.100.2
    other.port = other.highPort = 12345;
    ReportScan(other);
    ReportScan(harness::Scan(kScanConnect, 1, true)); // 10.0.0.1
    ASSERT_TRUE(harness::ExitApp());
    ASSERT_TRUE(ReadValue("Stats").exists) << "saved at Exit";
    ASSERT_TRUE(harness::StartApp());
    RunScript([] {
        HWND dialog = OpenDialog(IDM_STATISTICS, "Statistics");
        ASSERT_NE(dialog, (HWND)NULL);
        EXPECT_EQ(ListBoxLinesA(GetDlgItem(dialog, IDC_ST_CALLERS)),
                  (Lines{"3\t203.0.113.5", "1\t198.51.100.2"}));
        EXPECT_EQ(ListBoxLinesA(GetDlgItem(dialog, IDC_ST_PORTS)), (Lines{"3\t31337", "1\t12345"}));
        const std::string totals = Text(GetDlgItem(dialog, IDC_ST_TOTALS));
        EXPECT_EQ(
            totals.find("Today: 4 scans (1 trusted)\r\nThis week: 4 scans (1 trusted)\r\nSince "),
            0u)
            << totals;
        ExpectChartsPaint(dialog);
        Click(dialog, IDC_ST_RESET);
        EXPECT_EQ(ListBoxLinesA(GetDlgItem(dialog, IDC_ST_CALLERS)), Lines{});
        EXPECT_EQ(ListBoxLinesA(GetDlgItem(dialog, IDC_ST_PORTS)), Lines{});
        EXPECT_EQ(
            Text(GetDlgItem(dialog, IDC_ST_TOTALS)),
            "Today: 0 scans (0 trusted)\r\nThis week: 0 scans (0 trusted)\r\nNo scans counted yet");
        Click(dialog, IDC_ST_OK);
        WaitGone(dialog);
    });
    const RegValue saved = ReadValue("Stats");
    Stats stats;
    ASSERT_EQ(saved.type, (DWORD)REG_BINARY);
    EXPECT_EQ(StatsRead(saved.data.data(), saved.data.size(), stats), kStatsReadGood);
    EXPECT_EQ(stats.totalScans + stats.totalTrusted, 0u) << "the Reset was saved";
}
