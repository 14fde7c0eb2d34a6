// The in-process driver of modal windows. The script fiber runs only when a
// thread timer fires, which every message loop of the thread dispatches, so
// it always acts from inside the innermost loop that is running, exactly
// where a user's input would arrive.
#include "dialog_driver.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include "app/appstate.h"

namespace dialogs {

namespace {

const UINT kMarkerMessage = WM_APP + 17;

struct ScriptState {
    LPVOID mainFiber = NULL;
    LPVOID scriptFiber = NULL;
    bool inScript = false; // the script's fiber is the one running
    const std::function<void()>* script = nullptr;
    bool done = false;
    HWND marker = NULL;
    LONG markersPosted = 0;
    LONG markersSeen = 0;
};

ScriptState state;

bool InScript()
{
    return state.inScript;
}

void YieldToLoop()
{
    state.inScript = false;
    SwitchToFiber(state.mainFiber);
}

LRESULT CALLBACK MarkerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == kMarkerMessage) {
        state.markersSeen = (LONG)wParam;
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND MarkerWindow()
{
    if (state.marker == NULL) {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = MarkerProc;
        wc.hInstance = GetModuleHandleA(NULL);
        wc.lpszClassName = "HarbinelTestMarker";
        RegisterClassA(&wc);
        state.marker = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL,
                                       wc.hInstance, NULL);
    }
    return state.marker;
}

std::vector<HWND> ThreadWindows()
{
    return TopLevelWindows(GetCurrentThreadId());
}

// The modal windows still up: dialogs, message boxes, menus.
std::vector<HWND> ModalWindows()
{
    std::vector<HWND> found;
    for (HWND w : ThreadWindows()) {
        std::string name = ClassName(w);
        if (IsWindowVisible(w) && (name == kDialogClass || name == kMenuClass))
            found.push_back(w);
    }
    return found;
}

// After the script: nothing it opened may stay up, or the test's pump
// would never get control back.
void CloseLeftovers()
{
    std::vector<HWND> left = ModalWindows();
    if (left.empty())
        return;
    std::string titles;
    for (HWND w : left)
        titles += " [" + Text(w) + "]";
    ADD_FAILURE() << "the script left modal windows up:" << titles;
    for (int round = 0; round < 10 && !ModalWindows().empty(); ++round) {
        EndMenu();
        for (HWND w : ModalWindows())
            if (ClassName(w) == kDialogClass)
                EndDialog(w, IDCANCEL);
        WaitFor([] { return ModalWindows().empty(); }, 1000);
    }
}

void CALLBACK ScriptFiberMain(LPVOID)
{
    (*state.script)();
    CloseLeftovers();
    state.done = true;
    for (;;)
        YieldToLoop();
}

void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD)
{
    if (state.scriptFiber != NULL && !state.done && !InScript()) {
        state.inScript = true;
        SwitchToFiber(state.scriptFiber);
    }
}

} // namespace

bool RunScript(const std::function<void()>& script, DWORD timeoutMs)
{
    if (state.mainFiber == NULL)
        state.mainFiber = ConvertThreadToFiber(NULL);
    if (state.mainFiber == NULL) {
        ADD_FAILURE() << "cannot run the script beside the message loop";
        return false;
    }
    MarkerWindow();
    state.script = &script;
    state.done = false;
    state.scriptFiber = CreateFiber(256 * 1024, ScriptFiberMain, NULL);
    UINT_PTR timer = SetTimer(NULL, 0, 5, Tick);
    bool ended = PumpUntil([] { return state.done; }, timeoutMs);
    KillTimer(NULL, timer);
    EXPECT_TRUE(ended) << "the script did not end within " << timeoutMs << " ms";
    DeleteFiber(state.scriptFiber);
    state.scriptFiber = NULL;
    state.script = nullptr;
    return ended;
}

bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs)
{
    if (!InScript())
        return PumpUntil(done, timeoutMs);
    DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= timeoutMs)
            return done();
        YieldToLoop();
    }
    return true;
}

bool Settle()
{
    LONG serial = ++state.markersPosted;
    PostMessageA(MarkerWindow(), kMarkerMessage, (WPARAM)serial, 0);
    bool settled = WaitFor([serial] { return state.markersSeen >= serial; });
    EXPECT_TRUE(settled) << "the posted messages were not handled";
    return settled;
}

HWND WaitForWindow(HWND owner, const std::string& title, DWORD timeoutMs)
{
    HWND found = NULL;
    WaitFor(
        [&] {
            for (HWND w : ThreadWindows())
                if (IsWindowVisible(w) && IsWindowEnabled(w) && GetWindow(w, GW_OWNER) == owner &&
                    Text(w) == title) {
                    found = w;
                    return true;
                }
            return false;
        },
        timeoutMs);
    if (found == NULL)
        ADD_FAILURE() << "no window \"" << title << "\" came up";
    return found;
}

bool WaitGone(HWND window, DWORD timeoutMs)
{
    bool gone = WaitFor([window] { return !IsWindow(window); }, timeoutMs);
    EXPECT_TRUE(gone) << "the window \"" << Text(window) << "\" stayed up";
    return gone;
}

std::vector<HWND> OwnedWindows(HWND owner)
{
    std::vector<HWND> owned;
    for (HWND w : ThreadWindows())
        if (IsWindowVisible(w) && GetWindow(w, GW_OWNER) == owner)
            owned.push_back(w);
    return owned;
}

bool MenuShowing()
{
    for (HWND w : ThreadWindows())
        if (IsWindowVisible(w) && ClassName(w) == kMenuClass)
            return true;
    return false;
}

HWND WaitForMenu(DWORD timeoutMs)
{
    HWND found = NULL;
    WaitFor(
        [&] {
            for (HWND w : ThreadWindows())
                if (IsWindowVisible(w) && ClassName(w) == kMenuClass)
                    found = w;
            return found != NULL;
        },
        timeoutMs);
    if (found == NULL)
        ADD_FAILURE() << "no popup menu came up";
    return found;
}

void PostCommand(UINT command)
{
    support::PostCommand(AppState.MainWindow, command);
}

void Click(HWND dialog, int id)
{
    PostClick(dialog, id);
    Settle();
}

void CloseBox(HWND window)
{
    PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    Settle();
}

void PressKey(UINT virtualKey, HWND target)
{
    HWND focus = target != NULL ? target : GetFocus();
    EXPECT_NE(focus, (HWND)NULL) << "no window has the keyboard focus";
    LPARAM scan = (LPARAM)MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC) << 16;
    PostMessageA(focus, WM_KEYDOWN, virtualKey, scan | 1);
    PostMessageA(focus, WM_KEYUP, virtualKey, scan | (LPARAM)0xC0000001u);
    Settle();
}

void SelectLine(HWND list, int index)
{
    SendMessageA(list, LB_SETCURSEL, (WPARAM)index, 0);
}

std::vector<LRESULT> ListBoxData(HWND list)
{
    std::vector<LRESULT> data;
    LRESULT count = SendMessageA(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i)
        data.push_back(SendMessageA(list, LB_GETITEMDATA, (WPARAM)i, 0));
    return data;
}

std::vector<ListViewColumn> ListViewColumns(HWND view)
{
    std::vector<ListViewColumn> columns;
    for (int i = 0;; ++i) {
        char title[128] = {};
        LVCOLUMNA column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = title;
        column.cchTextMax = sizeof title;
        if (!SendMessageA(view, LVM_GETCOLUMNA, (WPARAM)i, (LPARAM)&column))
            break;
        columns.push_back({title, column.cx});
    }
    return columns;
}

std::vector<std::vector<std::string>> ListViewRows(HWND view, int columns)
{
    std::vector<std::vector<std::string>> rows;
    LRESULT count = SendMessageA(view, LVM_GETITEMCOUNT, 0, 0);
    for (LRESULT r = 0; r < count; ++r) {
        std::vector<std::string> row;
        for (int c = 0; c < columns; ++c) {
            char text[256] = {};
            LVITEMA item = {};
            item.iSubItem = c;
            item.pszText = text;
            item.cchTextMax = sizeof text;
            SendMessageA(view, LVM_GETITEMTEXTA, (WPARAM)r, (LPARAM)&item);
            row.push_back(text);
        }
        rows.push_back(row);
    }
    return rows;
}

void SaveAs(HWND saveDialog, const std::string& path)
{
    ASSERT_NO_FATAL_FAILURE(EnterSaveName(saveDialog, Widen(path)));
    Click(saveDialog, IDOK);
}

HWND WaitForQuestion(HWND owner, DWORD timeoutMs)
{
    HWND found = NULL;
    WaitFor([&] { return (found = FindQuestion(owner)) != NULL; }, timeoutMs);
    if (found == NULL)
        ADD_FAILURE() << "no Yes/No question came up";
    return found;
}

} // namespace dialogs
