// The Statistics window: bar charts of the scans per hour over the last 48
// hours and per day over the last 30 days, the busiest callers and ports of
// the last 30 days, the totals and a Reset. The charts are drawn with GDI,
// their text sized from the device's pixels per inch, so they stay
// readable on any screen.
#include "../app/app.h"
#include "../pure/decimal.h"
#include "../pure/text.h"
#include "outputs.h"
#include "resource.h"

static const char kChartClass[] = "Harbinel_Chart";
static const int kChartPoints = 8; // the size of the charts' text
// A trusted caller's scans sit on top of the others' in a colour of their own.
static const COLORREF kTrustedColour = RGB(160, 160, 160);

// ---- The charts ------------------------------------------------------------

struct ChartSeries {
    StatsBucket buckets[kStatsHours]; // the hours, or the days in the first 30
    int count;
    bool days;
};

static ChartSeries SeriesOf(HWND chart)
{
    ChartSeries series = {};
    const StatsStamp now = StatisticsNow();
    series.days = GetDlgCtrlID(chart) == IDC_ST_DAYS;
    if (series.days) {
        StatsBucket days[kStatsDays];
        StatsDaySeries(CurrentStats(), now, days);
        for (int i = 0; i < kStatsDays; ++i)
            series.buckets[i] = days[i];
        series.count = kStatsDays;
    } else {
        StatsHourSeries(CurrentStats(), now, series.buckets);
        series.count = kStatsHours;
    }
    return series;
}

// The label under a bar: every sixth hour of the day, every fifth day of
// the month counted back from today; empty for the others.
static void BarLabel(const ChartSeries& series, int index, char (&label)[12])
{
    label[0] = '\0';
    const int32_t key = series.buckets[index].key;
    if (series.days) {
        if ((series.count - 1 - index) % 5 == 0)
            FormatDecimal(StatsDateOf(key).day, label);
    } else if (key % 24 % 6 == 0) {
        FormatDecimal(key % 24, label);
    }
}

static void ChartText(HDC dc, int x, int y, const char* text, UINT align)
{
    SetTextAlign(dc, align);
    TextOutA(dc, x, y, text, (int)TextLength(text));
}

static void DrawBars(HDC dc, const ChartSeries& series, const RECT& plot, uint32_t top,
                     HBRUSH scans, HBRUSH trusted)
{
    const int width = plot.right - plot.left;
    const int height = plot.bottom - plot.top;
    for (int i = 0; i < series.count; ++i) {
        const StatsBucket& b = series.buckets[i];
        const int left = plot.left + width * i / series.count;
        const int right = plot.left + width * (i + 1) / series.count - 1;
        const int own = (int)((uint64_t)b.scans * (uint32_t)height / top);
        const int all = (int)(((uint64_t)b.scans + b.trusted) * (uint32_t)height / top);
        RECT bar = {left, plot.bottom - own, right > left ? right : left + 1, plot.bottom};
        FillRect(dc, &bar, scans);
        RECT over = {bar.left, plot.bottom - all, bar.right, bar.top};
        FillRect(dc, &over, trusted);
    }
}

static void DrawLabels(HDC dc, const ChartSeries& series, const RECT& plot)
{
    const int width = plot.right - plot.left;
    for (int i = 0; i < series.count; ++i) {
        char label[12];
        BarLabel(series, i, label);
        const int middle = plot.left + (width * (2 * i + 1)) / (2 * series.count);
        if (label[0] != '\0')
            ChartText(dc, middle, plot.bottom + 1, label, TA_CENTER | TA_TOP);
    }
}

bool PaintChart(HWND chart, HDC dc, int dpi)
{
    RECT area;
    GetClientRect(chart, &area);
    FillRect(dc, &area, GetSysColorBrush(COLOR_WINDOW));
    const ChartSeries series = SeriesOf(chart);
    uint32_t top = 1;
    for (int i = 0; i < series.count; ++i) {
        const uint32_t all = series.buckets[i].scans + series.buckets[i].trusted;
        top = all > top ? all : top;
    }
    HFONT font = CreateFontA(-MulDiv(kChartPoints, dpi, 72), 0, 0, 0, FW_NORMAL, 0, 0, 0,
                             DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                             DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, "Tahoma");
    HBRUSH scans = CreateSolidBrush(GetSysColor(COLOR_HIGHLIGHT));
    HBRUSH trusted = CreateSolidBrush(kTrustedColour);
    HPEN axis = CreatePen(PS_SOLID, MulDiv(1, dpi, 96), GetSysColor(COLOR_WINDOWTEXT));
    const bool made = font != NULL && scans != NULL && trusted != NULL && axis != NULL;
    if (made) {
        HGDIOBJ oldFont = SelectObject(dc, font);
        HGDIOBJ oldPen = SelectObject(dc, axis);
        const int oldMode = SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        char most[16];
        FormatDecimal((int32_t)(top > 0x7FFFFFFF ? 0x7FFFFFFF : top), most);
        TEXTMETRICA metrics = {};
        GetTextMetricsA(dc, &metrics);
        SIZE extent = {};
        GetTextExtentPoint32A(dc, most, (int)TextLength(most), &extent);
        // Room on the left for the largest count, below for the labels, and
        // on the right for half of the last bar's label.
        const int gap = metrics.tmHeight / 4 + 1;
        RECT plot = {area.left + extent.cx + 2 * gap, area.top + metrics.tmHeight / 2 + gap,
                     area.right - gap - metrics.tmAveCharWidth,
                     area.bottom - metrics.tmHeight - gap};
        if (plot.right > plot.left && plot.bottom > plot.top) {
            DrawBars(dc, series, plot, top, scans, trusted);
            MoveToEx(dc, plot.left - 1, plot.top, NULL);
            LineTo(dc, plot.left - 1, plot.bottom);
            LineTo(dc, plot.right, plot.bottom);
            ChartText(dc, plot.left - gap, plot.top - metrics.tmHeight / 2, most,
                      TA_RIGHT | TA_TOP);
            ChartText(dc, plot.left - gap, plot.bottom - metrics.tmHeight, "0", TA_RIGHT | TA_TOP);
            DrawLabels(dc, series, plot);
        }
        SetBkMode(dc, oldMode);
        SelectObject(dc, oldPen);
        SelectObject(dc, oldFont);
    }
    DeleteObject(font);
    DeleteObject(scans);
    DeleteObject(trusted);
    DeleteObject(axis);
    return made;
}

static void OnChartPaint(HWND chart)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(chart, &paint);
    if (dc != NULL) {
        PaintChart(chart, dc, GetDeviceCaps(dc, LOGPIXELSY));
        EndPaint(chart, &paint);
    }
}

static LRESULT CALLBACK ChartProc(HWND chart, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT:
        OnChartPaint(chart);
        return 0;
    case WM_PRINTCLIENT:
        PaintChart(chart, (HDC)wParam, GetDeviceCaps((HDC)wParam, LOGPIXELSY));
        return 0;
    case WM_ERASEBKGND:
        return 1; // the paint fills the whole client area
    }
    return DefWindowProcA(chart, message, wParam, lParam);
}

void RegisterChartClass(HINSTANCE instance)
{
    WNDCLASSA wc = {};
    if (GetClassInfoA(instance, kChartClass, &wc))
        return;
    wc.lpfnWndProc = ChartProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursor(NULL, IDC_ARROW);
    wc.lpszClassName = kChartClass;
    RegisterClassA(&wc);
}

// ---- The lists and totals ----------------------------------------------------

static void FillTop(HWND list, const StatsTable& table, bool callers)
{
    SendMessageA(list, LB_RESETCONTENT, 0, 0);
    StatsEntry top[kStatsTop];
    const int count = StatsTop(table, StatisticsNow(), top);
    for (int i = 0; i < count; ++i) {
        char line[32 + kNetAddressTextSize];
        FormatDecimal((int32_t)(top[i].count > 0x7FFFFFFF ? 0x7FFFFFFF : top[i].count), line);
        TextAppend(line, "\t");
        if (callers) {
            char address[kNetAddressTextSize];
            FormatNetAddress(top[i].caller, address);
            TextAppend(line, address);
        } else {
            AppendDecimal(top[i].port, line);
        }
        SendMessageA(list, LB_ADDSTRING, 0, (LPARAM)line);
    }
}

static void AppendCount(char (&line)[192], const char* head, uint32_t scans, uint32_t trusted)
{
    TextAppend(line, head);
    AppendDecimal((int32_t)(scans > 0x7FFFFFFF ? 0x7FFFFFFF : scans), line);
    TextAppend(line, scans == 1 ? " scan (" : " scans (");
    AppendDecimal((int32_t)(trusted > 0x7FFFFFFF ? 0x7FFFFFFF : trusted), line);
    TextAppend(line, " trusted)");
}

static void ShowTotals(HWND dialog)
{
    const Stats& stats = CurrentStats();
    const StatsTotals totals = StatsTotalsAt(stats, StatisticsNow());
    char line[192] = "";
    AppendCount(line, "Today: ", totals.today, totals.todayTrusted);
    AppendCount(line, "\r\nThis week: ", totals.week, totals.weekTrusted);
    if (stats.beganDay == 0) {
        TextAppend(line, "\r\nNo scans counted yet");
    } else {
        const StatsDate began = StatsDateOf(stats.beganDay);
        char head[32] = "\r\nSince ";
        AppendDecimal(began.year, head);
        TextAppend(head, began.month < 10 ? "-0" : "-");
        AppendDecimal(began.month, head);
        TextAppend(head, began.day < 10 ? "-0" : "-");
        AppendDecimal(began.day, head);
        TextAppend(head, ": ");
        AppendCount(line, head, totals.all, totals.allTrusted);
    }
    SetDlgItemTextA(dialog, IDC_ST_TOTALS, line);
}

static void ShowCounts(HWND dialog)
{
    FillTop(GetDlgItem(dialog, IDC_ST_CALLERS), CurrentStats().callers, true);
    FillTop(GetDlgItem(dialog, IDC_ST_PORTS), CurrentStats().ports, false);
    ShowTotals(dialog);
    InvalidateRect(GetDlgItem(dialog, IDC_ST_HOURS), NULL, FALSE);
    InvalidateRect(GetDlgItem(dialog, IDC_ST_DAYS), NULL, FALSE);
}

static void OnStatsCommand(HWND dialog, WPARAM wParam)
{
    if (HIWORD(wParam) != 0)
        return;
    if (LOWORD(wParam) == IDC_ST_OK) {
        EndDialog(dialog, 0);
    } else if (LOWORD(wParam) == IDC_ST_RESET) {
        StatisticsReset();
        ShowCounts(dialog);
    }
}

INT_PTR CALLBACK StatsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        ShowCounts(dialog);
        return TRUE;
    case WM_COMMAND:
        OnStatsCommand(dialog, wParam);
        return TRUE;
    case WM_CLOSE:
        EndDialog(dialog, 0);
        return TRUE;
    }
    return FALSE;
}
