// Sizes at the screen's DPI. The program declares itself DPI-aware, so
// Windows no longer stretches its pictures: every size it sets itself is
// given at 96 DPI and scaled here. The per-window calls came with Windows 10
// (1607) and are looked up at run time; before that the system DPI serves.
#include "app.h"

#include "resource.h"

typedef UINT(WINAPI* DpiForWindowCall)(HWND);
typedef UINT(WINAPI* DpiForSystemCall)();
typedef int(WINAPI* MetricsForDpiCall)(int, UINT);

// The calls found in user32, once; null where this Windows lacks one.
struct DpiCalls {
    bool looked;
    DpiForWindowCall forWindow;
    DpiForSystemCall forSystem;
    MetricsForDpiCall metrics;
};
static DpiCalls dpiCalls;

template <typename Call> static void FindCall(HMODULE user32, const char* name, Call& call)
{
    FARPROC found = user32 != NULL ? GetProcAddress(user32, name) : NULL;
    call = reinterpret_cast<Call>(reinterpret_cast<void*>(found));
}

static const DpiCalls& Calls()
{
    if (!dpiCalls.looked) {
        HMODULE user32 = GetModuleHandleA("user32.dll");
        FindCall(user32, "GetDpiForWindow", dpiCalls.forWindow);
        FindCall(user32, "GetDpiForSystem", dpiCalls.forSystem);
        FindCall(user32, "GetSystemMetricsForDpi", dpiCalls.metrics);
        dpiCalls.looked = true;
    }
    return dpiCalls;
}

// A DPI outside what any screen has is taken for a failed answer.
static int Checked(UINT dpi)
{
    return dpi >= 48 && dpi <= 960 ? (int)dpi : kBaseDpi;
}

int SystemDpi()
{
    if (Calls().forSystem != NULL)
        return Checked(Calls().forSystem());
    HDC screen = GetDC(NULL);
    int dpi = screen != NULL ? GetDeviceCaps(screen, LOGPIXELSY) : kBaseDpi;
    if (screen != NULL)
        ReleaseDC(NULL, screen);
    return Checked((UINT)dpi);
}

int WindowDpi(HWND window)
{
    if (window != NULL && Calls().forWindow != NULL)
        return Checked(Calls().forWindow(window));
    return SystemDpi();
}

int ScaleToDpi(int pixels, int dpi)
{
    return MulDiv(pixels, dpi, kBaseDpi);
}

int MetricForDpi(int index, int dpi)
{
    if (Calls().metrics != NULL)
        return Calls().metrics(index, (UINT)dpi);
    // The system metrics are at the system DPI.
    return MulDiv(GetSystemMetrics(index), dpi, SystemDpi());
}

static HICON LoadTrayPicture(int id, int dpi)
{
    return (HICON)LoadImageA(AppState.Instance, MAKEINTRESOURCEA(id), IMAGE_ICON,
                             MetricForDpi(SM_CXSMICON, dpi), MetricForDpi(SM_CYSMICON, dpi), 0);
}

void LoadTrayIcons()
{
    int dpi = AppState.Dpi > 0 ? AppState.Dpi : SystemDpi();
    HICON* icons[] = {&AppState.IconMain, &AppState.IconIdle, &AppState.IconAlert};
    const int ids[] = {IDI_MAIN, IDI_IDLE, IDI_ALERT};
    HICON shown = AppState.TrayIconData.hIcon;
    HICON newShown = NULL;
    for (int i = 0; i < 3; ++i) {
        HICON old = *icons[i];
        HICON fresh = LoadTrayPicture(ids[i], dpi);
        if (fresh == NULL)
            continue; // the old picture stays, at its old size
        *icons[i] = fresh;
        if (old == shown && shown != NULL)
            newShown = fresh;
        if (old != NULL)
            DestroyIcon(old);
    }
    if (newShown != NULL)
        SetTrayIcon(newShown, NULL);
}
