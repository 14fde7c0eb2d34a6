// The application shell: start-up, the message loop, the main window
// procedure, commands, the tray icon and the alert.
#ifndef HARBINEL_APP_H
#define HARBINEL_APP_H

#include "../monitor/monitor.h"
#include "appstate.h"

extern const char kClassName[];   // "Harbinel_Class"
extern const char kWindowTitle[]; // "Harbinel"
extern const char kWebSite[];
extern const DWORD kWindowStyle;

// Runs the program from start-up to the quit message; returns the exit code.
int RunHarbinel(HINSTANCE instance);

// Start-up up to the message loop: returns false when another instance was
// brought forward instead. Registers the class and creates the main window.
bool StartHarbinel(HINSTANCE instance);

// One pass of the message loop's key tracking for a message it fetched:
// turns Ctrl+letter releases into commands sent to the main window.
void TrackShortcutKeys(const MSG& msg);

// The command a Ctrl+letter release sends, or 0 for a key that sends none.
UINT ShortcutCommand(WPARAM virtualKey);
// Brings the Ctrl flag back in line with the key after a modal loop.
void ResyncCtrlKey();
// The message loop; returns the quit code.
int RunMessageLoop();

// A command that runs a modal window sets DialogOpen around it, so the tray
// menu stays closed meanwhile.
void BeginModal();
void EndModal();

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void OnCommand(HWND window, UINT command);
void OnTrayNotify(HWND window, WPARAM id, LPARAM mouseMessage);
// The shell's three states, each shown by one function: everything the
// window, tray icon and menus show about them changes there and nowhere else.
void ShowListening();
void ShowIdle();
void RaiseAlert();
void ResetAlert();
// Shows what the port monitor reports it did.
void ShowMonitorReport(const MonitorReport& report);
// The tray balloon for a scan by caller (family 0 when unknown) on port.
void ShowScanBalloon(const NetAddress& caller, int32_t port);
// Enables or greys Reset Alert in both menus.
void SetResetAlertItems(bool enabled);
// Changes the tray icon; a non-null state word changes the tip with it.
void SetTrayIcon(HICON icon, const char* stateWord);
void SetStatusText(const char* text);
// Puts the Stealth Watch item's check mark in line with its switch.
void ShowStealthChecked();

// Restart as Administrator. The Options item shows while Stealth Watch or
// Block Scanners is on and this copy lacks administrator rights; refreshed
// at start, when Stealth Watch changes and whenever Options opens.
void ShowRestartAdminItem();
// Starts this exe again with administrator rights, naming this process,
// then ends this copy through Exit; a refused start leaves it running.
void RestartAsAdministrator(HWND window);
// In a copy started by that restart, waits (a while at most) for the copy
// it replaces to end; any other command line returns at once.
void WaitForEarlierCopy(const wchar_t* commandLine);

// Sizes the program sets are given at 96 DPI and scaled to the window's.
const int kBaseDpi = 96;
// The DPI of the screen the window is on; the system's where Windows cannot
// tell one window's.
int WindowDpi(HWND window);
int SystemDpi();
int ScaleToDpi(int pixels, int dpi);
// A system metric as it is at dpi.
int MetricForDpi(int index, int dpi);
// (Re)loads the three tray pictures at the notification area's size for the
// window's DPI; the tray shows the new copy of the picture it showed.
void LoadTrayIcons();
// Dialog templates name "Small Fonts", a raster face that keeps its drawn
// size above 96 DPI, and dialog units follow the font: there a dialog is made
// from a copy of its template (size bytes at data) that names Tahoma, so its
// text and its layout grow with the DPI. Returns the copy's size in out, or
// 0 where the template serves as it is (96 DPI, no font, no room, no
// template of the extended form).
size_t DialogCopyForDpi(const BYTE* data, size_t size, int dpi, BYTE* out, size_t outSize);
// A modal dialog from templateId at its owner's DPI.
INT_PTR ShowDialog(HWND owner, int templateId, DLGPROC proc);

// The main window's timers beside the log file's (1), the stealth watch's
// (2) and the syslog sender's (3): the tray icon's retries and the wait
// before a moved window's place is stored.
// The outputs' tick, which also times the connections' limits.
const UINT_PTR kOutputsTimer = 3;
const UINT_PTR kTrayTimer = 4;
const UINT_PTR kPlaceTimer = 5;

#endif
