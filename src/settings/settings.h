// Settings and dialogs: the registry store and the four modal dialogs.
#ifndef HARBINEL_SETTINGS_H
#define HARBINEL_SETTINGS_H

#include "../app/appstate.h"

extern const char kSettingsKey[]; // under HKEY_CURRENT_USER

// The two start-up switches that loading hands back to window creation.
struct StartupSwitches {
    BYTE onTop;
    BYTE connected;
};

StartupSwitches LoadSettings(HWND window);
void SaveSettings();

INT_PTR CALLBACK PortSettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AddPortDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK DigitOnlyEditProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK MessageDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK TrojanPortsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

#endif
