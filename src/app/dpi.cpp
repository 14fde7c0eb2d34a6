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

// ---- Dialogs -------------------------------------------------------------------

// The face a dialog's copy names above 96 DPI, as the main window's fonts do.
static const wchar_t kDialogFace[] = L"Tahoma";

// The offset just past a menu or class field of a dialog template (none, an
// ordinal or a string) starting at offset; 0 when it runs past size.
static size_t SkipNameOrOrdinal(const BYTE* data, size_t size, size_t offset)
{
    if (offset + 2 > size)
        return 0;
    WORD first = (WORD)(data[offset] | (data[offset + 1] << 8));
    if (first == 0x0000)
        return offset + 2;
    if (first == 0xFFFF)
        return offset + 4 <= size ? offset + 4 : 0;
    for (; offset + 2 <= size; offset += 2)
        if (data[offset] == 0 && data[offset + 1] == 0)
            return offset + 2;
    return 0;
}

static size_t AlignDword(size_t offset)
{
    return (offset + 3) & ~(size_t)3;
}

size_t DialogCopyForDpi(const BYTE* data, size_t size, int dpi, BYTE* out, size_t outSize)
{
    // DLGTEMPLATEEX: version 1 and 0xFFFF, help id, extended style, style,
    // item count and the four coordinates, then menu, class and title.
    const size_t kFixed = 26;
    if (dpi <= kBaseDpi || size < kFixed || data[0] != 1 || data[2] != 0xFF || data[3] != 0xFF)
        return 0;
    DWORD style = (DWORD)data[12] | ((DWORD)data[13] << 8) | ((DWORD)data[14] << 16) |
                  ((DWORD)data[15] << 24);
    if ((style & DS_SETFONT) == 0)
        return 0;
    size_t offset = kFixed;
    for (int field = 0; field < 3 && offset != 0; ++field) // menu, class, title
        offset = SkipNameOrOrdinal(data, size, offset);
    // Point size, weight, italic and character set come before the face.
    if (offset == 0 || offset + 6 > size)
        return 0;
    size_t face = offset + 6;
    size_t faceEnd = SkipNameOrOrdinal(data, size, face);
    if (faceEnd == 0 || (data[face] == 0xFF && data[face + 1] == 0xFF))
        return 0;
    size_t items = AlignDword(faceEnd) <= size ? AlignDword(faceEnd) : size;
    size_t newItems = AlignDword(face + sizeof kDialogFace);
    size_t total = newItems + (size - items);
    if (total > outSize)
        return 0;
    memcpy(out, data, face);
    memcpy(out + face, kDialogFace, sizeof kDialogFace);
    memset(out + face + sizeof kDialogFace, 0, newItems - face - sizeof kDialogFace);
    // Both the old and the new item lists start on a DWORD, so every item
    // keeps its alignment.
    memcpy(out + newItems, data + items, size - items);
    return total;
}

INT_PTR ShowDialog(HWND owner, int templateId, DLGPROC proc)
{
    HRSRC found = FindResourceA(AppState.Instance, MAKEINTRESOURCEA(templateId), (LPCSTR)RT_DIALOG);
    HGLOBAL loaded = found != NULL ? LoadResource(AppState.Instance, found) : NULL;
    const BYTE* data = loaded != NULL ? (const BYTE*)LockResource(loaded) : NULL;
    size_t size = found != NULL ? SizeofResource(AppState.Instance, found) : 0;
    size_t copySize = size + sizeof kDialogFace + 4;
    BYTE* copy = data != NULL ? (BYTE*)HeapAlloc(GetProcessHeap(), 0, copySize) : NULL;
    size_t made = copy != NULL ? DialogCopyForDpi(data, size, WindowDpi(owner), copy, copySize) : 0;
    INT_PTR result =
        made > 0 ? DialogBoxIndirectParamA(AppState.Instance, (LPCDLGTEMPLATEA)(void*)copy, owner,
                                           proc, 0)
                 : DialogBoxParamA(AppState.Instance, MAKEINTRESOURCEA(templateId), owner, proc, 0);
    if (copy != NULL)
        HeapFree(GetProcessHeap(), 0, copy);
    return result;
}
