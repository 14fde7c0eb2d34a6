// Settings and dialogs: the registry store and the four modal dialogs.
#ifndef HARBINEL_SETTINGS_H
#define HARBINEL_SETTINGS_H

#include "../app/appstate.h"

extern const char kSettingsKey[]; // under HKEY_CURRENT_USER

const int kSettingsNotesCap = 20; // one for each value read strictly, and room

// What loading hands back to window creation: the two start-up switches,
// the trusted entries that were skipped, and one line for each value that
// was set but could not be used ("Settings: LogLines ignored: not a
// number"), for the log once it exists.
struct StartupSwitches {
    BYTE onTop;
    BYTE connected;
    BYTE firstRun; // the key holds nothing: offer the trojan ports
    char trustedSkipped[256];
    int noteCount;
    char notes[kSettingsNotesCap][128];
};

StartupSwitches LoadSettings(HWND window);
// The number of window lines, brought within what the program allows.
DWORD ClampLogLines(DWORD lines);
// Writes every setting (the port list only when withPorts is set). A
// failure is logged as "Settings error: " and the reason, once until a save
// succeeds again.
void SaveSettings(bool withPorts = true);
// Writes the scan counts ("Stats") alone, failures told as SaveSettings tells them.
void SaveStats();
// Writes the blocked callers alone ("Blocked"), as the set changes.
void SaveBlockedCallers();

// Stores the first start's answer ("FirstRunAsked", one byte, 1 for yes),
// so that the offer never comes again.
void SaveFirstRunAnswer(bool yes);

// Adds the Trojan Ports table's ports that are not in the port list yet,
// at its end; returns how many it added (fewer when memory ran out).
const int kTrojanPortsCap = 256; // more than the table holds
int AddTrojanPorts();

INT_PTR CALLBACK PortSettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AddPortDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK DigitOnlyEditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK MessageDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AlertsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK BlockedDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK TrojanPortsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif
