// The settings store: one key of the current user, read once while the main
// window is created and written whenever a setting changes, at Exit and when
// the Windows session ends, so that a program ended in any way keeps them.
#include <string.h>

#include "../log/log.h"
#include "../outputs/outputs.h"
#include "../pure/commandline.h"
#include "../pure/decimal.h"
#include "../pure/errortext.h"
#include "../pure/linetext.h"
#include "../pure/text.h"
#include "settings.h"

const char kSettingsKey[] = "SOFTWARE\\Ferrowind\\Harbinel";

static const char kValueCount[] = "Count";
static const char kValuePort[] = "Port"; // followed by the decimal index
static const char kValueWindowX[] = "WindowX";
static const char kValueWindowY[] = "WindowY";
static const char kValueDisconnect[] = "Disconnnect"; // three n's, as stored
static const char kValueMessageType[] = "MessageType";
static const char kValueConnected[] = "Connected";
static const char kValueOnTop[] = "OnTop";
static const char kValueCustomMessage[] = "CustomMessage";
static const char kValueWindowWidth[] = "WindowWidth";
static const char kValueWindowHeight[] = "WindowHeight";
static const char kValueLogToFile[] = "LogToFile";
static const char kValueLogFolder[] = "LogFolder";
static const char kValueLogLines[] = "LogLines";
static const char kValueLogFolderCap[] = "LogFolderCap";
static const char kValueBalloons[] = "Balloons";
static const char kValueTrusted[] = "Trusted";
static const char kValueStealthWatch[] = "StealthWatch";
static const char kValueSyslogServer[] = "SyslogServer";
static const char kValueSyslogTcp[] = "SyslogTcp";
static const char kValueWebhookUrl[] = "WebhookUrl";
static const char kValueWebhookFormat[] = "WebhookFormat";
static const char kValueRunOnScan[] = "RunOnScan";
static const char kValueRunOnUnverified[] = "RunOnUnverified";
static const char kValueEventLog[] = "EventLog";
static const char kValueIPv6[] = "IPv6";
static const char kValueStats[] = "Stats";
static const char kValueBlock[] = "Block";
static const char kValueBlockMinutes[] = "BlockMinutes";
static const char kValueBlocked[] = "Blocked";
static const char kValueFirstRunAsked[] = "FirstRunAsked";

// A hand-edited Count must not make start-up try billions of values.
static const DWORD kMaxPortValues = 65536;

// Opens the key, creating it when it is missing; the system's error code,
// or 0 when both are open.
static LONG OpenSettingsKey(HKEY& root, HKEY& key)
{
    LONG result = RegOpenKeyExA(HKEY_CURRENT_USER, NULL, 0, KEY_ALL_ACCESS, &root);
    if (result != ERROR_SUCCESS)
        return result;
    result = RegCreateKeyExA(root, kSettingsKey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                             NULL, &key, NULL);
    if (result != ERROR_SUCCESS)
        RegCloseKey(root);
    return result;
}

static void CloseSettingsKey(HKEY root, HKEY key)
{
    RegCloseKey(key);
    RegCloseKey(root);
}

// Reads at most size bytes of a value into target, whatever its stored
// type. Data shorter than size fills only the low-order bytes; a value that
// is absent or larger leaves the target as it was.
static bool ReadValue(HKEY key, const char* name, void* target, DWORD size)
{
    BYTE data[256];
    DWORD length = size;
    if (size > sizeof data ||
        RegQueryValueExA(key, name, NULL, NULL, data, &length) != ERROR_SUCCESS)
        return false;
    memcpy(target, data, length);
    return true;
}

// The lines about values that are set but cannot be used, while
// LoadSettings runs; the readers below keep their short form and add here.
static StartupSwitches* g_loading;

static void NoteIgnored(const char* name, const char* reason)
{
    if (g_loading == NULL || g_loading->noteCount >= kSettingsNotesCap)
        return;
    char(&line)[128] = g_loading->notes[g_loading->noteCount++];
    TextCopy(line, "Settings: ");
    TextAppend(line, name);
    TextAppend(line, " ignored: ");
    TextAppend(line, reason);
}

// The newer values are read strictly: a value of another type or size
// (edited by hand) leaves the default in place and is named in the log.
// False, without a word, when the value is not there at all.
static bool ReadTyped(HKEY key, const char* name, DWORD type, void* target, DWORD size,
                      bool exactSize, const char* reason)
{
    DWORD stored = 0;
    DWORD length = size;
    LONG result = RegQueryValueExA(key, name, NULL, &stored, (BYTE*)target, &length);
    if (result == ERROR_FILE_NOT_FOUND)
        return false;
    bool good = result == ERROR_SUCCESS && stored == type && (!exactSize || length == size);
    if (!good)
        NoteIgnored(name, reason);
    return good;
}

static void ReadStrictDword(HKEY key, const char* name, DWORD& target)
{
    DWORD value = 0;
    if (ReadTyped(key, name, REG_DWORD, &value, sizeof value, true, "not a number (REG_DWORD)"))
        target = value;
}

static void ReadStrictSwitch(HKEY key, const char* name, BYTE& target)
{
    BYTE value = 0;
    if (ReadTyped(key, name, REG_BINARY, &value, 1, true, "not a switch (one REG_BINARY byte)"))
        target = value != 0;
}

// A text of at most N - 1 characters; anything longer or of another type
// leaves the target as it was and is named, a wrong type with notText.
template <size_t N>
static void ReadStrictText(HKEY key, const char* name, char (&target)[N],
                           const char* notText = "not a text (REG_SZ)")
{
    char text[N + 1] = {};
    DWORD stored = 0;
    DWORD length = sizeof text - 1;
    LONG result = RegQueryValueExA(key, name, NULL, &stored, (BYTE*)text, &length);
    if (result == ERROR_FILE_NOT_FOUND)
        return;
    if ((result == ERROR_SUCCESS || result == ERROR_MORE_DATA) && stored != REG_SZ) {
        NoteIgnored(name, notText);
    } else if (result != ERROR_SUCCESS || TextLength(text) >= N) {
        NoteIgnored(name, "too long");
    } else {
        TextCopy(target, text);
    }
}

// The trusted callers: a multi-string of entries, or a plain text of them
// (one a line, or apart by commas or blanks) as a deployment script may
// write it. Those that are not valid are named in `skipped` for the log;
// the rest become the list and the dialog's text.
static void LoadTrusted(HKEY key, char (&skipped)[256])
{
    char data[kTrustedTextSize];
    DWORD stored = 0;
    DWORD length = sizeof data;
    LONG result = RegQueryValueExA(key, kValueTrusted, NULL, &stored, (BYTE*)data, &length);
    if (result == ERROR_FILE_NOT_FOUND)
        return;
    if (result == ERROR_MORE_DATA) {
        NoteIgnored(kValueTrusted, "longer than 64 entries can be");
        return;
    }
    if (result != ERROR_SUCCESS || (stored != REG_MULTI_SZ && stored != REG_SZ)) {
        NoteIgnored(kValueTrusted, "not a list of addresses");
        return;
    }
    if (stored == REG_SZ)
        ParseTrustedText(data, length, &AppState.Trusted, skipped, sizeof skipped);
    else
        ParseTrustedMulti(data, length, &AppState.Trusted, skipped, sizeof skipped);
    TrustedListText(AppState.Trusted, AppState.TrustedText);
}

// The writes of one save keep the first failure, so that one line can
// name it.
struct SaveResult {
    LONG error;
};

static void Note(SaveResult& result, LONG error)
{
    if (result.error == ERROR_SUCCESS)
        result.error = error;
}

static void WriteDword(HKEY key, const char* name, DWORD value, SaveResult& result)
{
    Note(result, RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE*)&value, sizeof value));
}

static void WriteByte(HKEY key, const char* name, BYTE value, SaveResult& result)
{
    Note(result, RegSetValueExA(key, name, 0, REG_BINARY, &value, 1));
}

static void WriteText(HKEY key, const char* name, const char* text, DWORD bytes, DWORD type,
                      SaveResult& result)
{
    Note(result, RegSetValueExA(key, name, 0, type, (const BYTE*)text, bytes));
}

static void PortValueName(DWORD index, char (&name)[24])
{
    TextCopy(name, kValuePort);
    AppendDecimal((int32_t)index, name);
}

// Whether a value name is one of Port0 .. Port<count-1>, spelt as loading
// asks for it (value names match whatever their case).
static bool IsPortValueName(const char* name, DWORD count)
{
    const size_t prefix = sizeof kValuePort - 1;
    if (strlen(name) <= prefix)
        return false;
    const char* digits = name + prefix;
    DWORD index = 0;
    for (const char* p = digits; *p != 0; ++p) {
        if (*p < '0' || *p > '9' || index >= count)
            return false;
        index = index * 10 + (DWORD)(*p - '0');
    }
    char canonical[24];
    PortValueName(index, canonical);
    return index < count && lstrcmpiA(name, canonical) == 0;
}

// How many of the port values below `count` loading has to find before it
// can stop. When Count is no larger than the number of values in the key,
// asking for every index costs no more than walking the key, so that is
// all of them; otherwise one walk over the value names counts the ones
// there are, so a large Count with few ports does not ask for every
// missing index.
static int32_t PortValuesToRead(HKEY key, DWORD count)
{
    DWORD values = 0;
    if (RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL,
                         NULL) == ERROR_SUCCESS &&
        count <= values)
        return (int32_t)count;
    int32_t found = 0;
    for (DWORD index = 0;; ++index) {
        char name[24];
        DWORD length = sizeof name;
        LONG result = RegEnumValueA(key, index, name, &length, NULL, NULL, NULL, NULL);
        if (result == ERROR_NO_MORE_ITEMS)
            return found;
        if (result == ERROR_MORE_DATA)
            continue; // a name too long to be a port value
        if (result != ERROR_SUCCESS)
            return (int32_t)count; // no bound: ask for every index
        if (IsPortValueName(name, count))
            ++found;
    }
}

DWORD ClampLogLines(DWORD lines)
{
    return lines < kMinLogLines ? kMinLogLines : lines > kMaxLogLines ? kMaxLogLines : lines;
}

// The window's size, no smaller than it starts and no larger than twice the
// screen, whatever a hand-edited key says.
static void LoadWindowSize(HKEY key)
{
    DWORD width = (DWORD)AppState.WindowWidth;
    DWORD height = (DWORD)AppState.WindowHeight;
    ReadStrictDword(key, kValueWindowWidth, width);
    ReadStrictDword(key, kValueWindowHeight, height);
    const DWORD maxWidth =
        AppState.ScreenWidth > kWindowWidth ? (DWORD)AppState.ScreenWidth * 2 : 4096;
    const DWORD maxHeight =
        AppState.ScreenHeight > kWindowHeight ? (DWORD)AppState.ScreenHeight * 2 : 4096;
    if (width >= (DWORD)kWindowWidth && width <= maxWidth)
        AppState.WindowWidth = (int)width;
    if (height >= (DWORD)kWindowHeight && height <= maxHeight)
        AppState.WindowHeight = (int)height;
}

static void LoadPorts(HKEY key)
{
    DWORD count = 0;
    if (!ReadValue(key, kValueCount, &count, sizeof count))
        return;
    if (count > kMaxPortValues)
        count = kMaxPortValues;
    int32_t remaining = PortValuesToRead(key, count);
    const BYTE noAddress[16] = {};
    for (DWORD i = 0; i < count && remaining > 0; ++i) {
        char name[24];
        PortValueName(i, name);
        DWORD port = 0;
        DWORD length = sizeof port;
        LONG result = RegQueryValueExA(key, name, NULL, NULL, (BYTE*)&port, &length);
        if (result == ERROR_FILE_NOT_FOUND)
            continue;
        --remaining;
        // Only real port numbers are taken; anything else was edited by hand.
        // Data shorter than four bytes fills the low-order bytes; a larger
        // value is skipped.
        if (result == ERROR_SUCCESS && port <= 65535)
            ListAppend(AppState.PortList, kInvalidSocket, (int32_t)port, noAddress,
                       sizeof noAddress);
    }
}

// A URL edited by hand into something that cannot be sent to loads as none.
static void LoadWebhook(HKEY key)
{
    static const char kNotUrl[] = "not an http:// or https:// URL";
    WebhookUrl url;
    ReadStrictText(key, kValueWebhookUrl, AppState.WebhookUrl, kNotUrl);
    if (AppState.WebhookUrl[0] != '\0' && !ParseWebhookUrl(AppState.WebhookUrl, &url)) {
        NoteIgnored(kValueWebhookUrl, kNotUrl);
        AppState.WebhookUrl[0] = '\0';
    }
    DWORD format = kWebhookJson;
    ReadStrictDword(key, kValueWebhookFormat, format);
    if (format > (DWORD)kWebhookChat) {
        NoteIgnored(kValueWebhookFormat, "not 0, 1 or 2");
        format = kWebhookJson;
    }
    AppState.WebhookFormat = format;
}

// The scan counts: checked whole by their own reader. A value that fails
// is named once and the counts start afresh; the next save replaces it.
static void LoadStats(HKEY key)
{
    static BYTE data[kStatsValueMax + 1];
    DWORD stored = 0;
    DWORD length = sizeof data;
    LONG result = RegQueryValueExA(key, kValueStats, NULL, &stored, data, &length);
    StatisticsLoad(NULL, 0);
    if (result == ERROR_FILE_NOT_FOUND)
        return;
    const char* problem = NULL;
    if (result == ERROR_MORE_DATA || (result == ERROR_SUCCESS && length > kStatsValueMax))
        problem = StatsReadProblem(kStatsReadTooLarge);
    else if (result != ERROR_SUCCESS || stored != REG_BINARY)
        problem = StatsReadProblem(kStatsReadForeign);
    else
        problem = StatisticsLoad(data, length);
    if (problem == NULL)
        return;
    char reason[96];
    TextCopy(reason, problem);
    TextAppend(reason, "; the counts start afresh");
    NoteIgnored(kValueStats, reason);
}

// The blocking switch, its minutes (a year at most) and the blocked set.
static void LoadBlocking(HKEY key)
{
    ReadStrictSwitch(key, kValueBlock, AppState.Block);
    ReadStrictDword(key, kValueBlockMinutes, AppState.BlockMinutes);
    if (AppState.BlockMinutes > kMaxBlockMinutes) {
        NoteIgnored(kValueBlockMinutes, "more than a year; 525600 minutes (a year) used");
        AppState.BlockMinutes = kMaxBlockMinutes;
    }
    static char data[kBlockMultiSize];
    DWORD stored = 0;
    DWORD length = sizeof data;
    LONG result = RegQueryValueExA(key, kValueBlocked, NULL, &stored, (BYTE*)data, &length);
    if (result == ERROR_FILE_NOT_FOUND)
        return;
    if (result != ERROR_SUCCESS || stored != REG_MULTI_SZ) {
        NoteIgnored(kValueBlocked, "not a list of \"address end-time\" (REG_MULTI_SZ)");
        return;
    }
    char note[128];
    BlockLoadStored(data, length, note);
    if (note[0] != '\0' && g_loading != NULL && g_loading->noteCount < kSettingsNotesCap)
        TextCopy(g_loading->notes[g_loading->noteCount++], note);
}

StartupSwitches LoadSettings(HWND window)
{
    StartupSwitches switches = {};
    HKEY root, key;
    if (OpenSettingsKey(root, key) != ERROR_SUCCESS)
        return switches;
    g_loading = &switches;
    // No settings at all, not even the first start's answer: the very first
    // start (or one ended before it was answered).
    DWORD values = 0;
    switches.firstRun = RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL,
                                         NULL, NULL, NULL) == ERROR_SUCCESS &&
                        values == 0;
    LoadPorts(key);
    LoadWindowSize(key);
    bool placed = ReadValue(key, kValueWindowX, &AppState.WindowX, 4) &&
                  ReadValue(key, kValueWindowY, &AppState.WindowY, 4);
    if (placed || AppState.WindowWidth != kWindowWidth || AppState.WindowHeight != kWindowHeight)
        MoveWindow(window, AppState.WindowX, AppState.WindowY, AppState.WindowWidth,
                   AppState.WindowHeight, TRUE);
    ReadValue(key, kValueDisconnect, &AppState.DisconnectImmediately, 1);
    // Read into a copy of the low byte, so that an empty value keeps it.
    BYTE messageType = (BYTE)AppState.MessageType;
    if (ReadValue(key, kValueMessageType, &messageType, 1))
        AppState.MessageType = messageType;
    ReadValue(key, kValueConnected, &switches.connected, 1);
    ReadValue(key, kValueOnTop, &switches.onTop, 1);
    // The registry keeps a string's terminating zero when the byte after its
    // data is zero, as it always is in the zero-filled block, so a text of 255
    // characters comes back as 256 bytes. A longer text is not loaded.
    char text[kCustomMessageSize] = {};
    if (ReadValue(key, kValueCustomMessage, text, sizeof text) && text[sizeof text - 1] == '\0')
        memcpy(AppState.CustomMessage, text, sizeof text);
    ReadStrictSwitch(key, kValueLogToFile, AppState.LogToFile);
    ReadStrictText(key, kValueLogFolder, AppState.LogFolder);
    ReadStrictDword(key, kValueLogLines, AppState.LogLines);
    AppState.LogLines = ClampLogLines(AppState.LogLines);
    // Set by hand only, and so never written back: the folder cap in MiB.
    ReadStrictDword(key, kValueLogFolderCap, AppState.LogFolderCap);
    ReadStrictSwitch(key, kValueBalloons, AppState.Balloons);
    ReadStrictSwitch(key, kValueStealthWatch, AppState.StealthWatch);
    LoadTrusted(key, switches.trustedSkipped);
    ReadStrictText(key, kValueSyslogServer, AppState.SyslogServer);
    ReadStrictSwitch(key, kValueSyslogTcp, AppState.SyslogTcp);
    LoadWebhook(key);
    // A command line edited by hand into several lines runs nothing.
    ReadStrictText(key, kValueRunOnScan, AppState.RunOnScan, "not a command line (REG_SZ)");
    if (!CommandTemplateValid(AppState.RunOnScan))
        AppState.RunOnScan[0] = '\0';
    ReadStrictSwitch(key, kValueRunOnUnverified, AppState.RunOnUnverified);
    ReadStrictSwitch(key, kValueEventLog, AppState.EventLog);
    ReadStrictSwitch(key, kValueIPv6, AppState.IPv6);
    LoadStats(key);
    LoadBlocking(key);
    g_loading = NULL;
    CloseSettingsKey(root, key);
    return switches;
}

static void SavePorts(HKEY key, SaveResult& result)
{
    DWORD count = 0;
    for (SocketNode* node = AppState.PortList; node != NULL; node = node->next, ++count) {
        char name[24];
        PortValueName(count, name);
        WriteDword(key, name, (DWORD)node->port, result);
    }
    WriteDword(key, kValueCount, count, result);
}

static void SaveEverythingElse(HKEY key, SaveResult& result)
{
    WriteDword(key, kValueWindowX, (DWORD)AppState.WindowX, result);
    WriteDword(key, kValueWindowY, (DWORD)AppState.WindowY, result);
    WriteByte(key, kValueDisconnect, AppState.DisconnectImmediately, result);
    WriteByte(key, kValueMessageType, (BYTE)AppState.MessageType, result);
    WriteByte(key, kValueConnected, AppState.IsListening, result);
    WriteByte(key, kValueOnTop, AppState.OnTop, result);
    // The text's own bytes, without a terminating zero.
    WriteText(key, kValueCustomMessage, AppState.CustomMessage,
              (DWORD)TextLength(AppState.CustomMessage), REG_SZ, result);
    WriteDword(key, kValueWindowWidth, (DWORD)AppState.WindowWidth, result);
    WriteDword(key, kValueWindowHeight, (DWORD)AppState.WindowHeight, result);
    WriteByte(key, kValueLogToFile, AppState.LogToFile, result);
    WriteText(key, kValueLogFolder, AppState.LogFolder, (DWORD)TextLength(AppState.LogFolder) + 1,
              REG_SZ, result);
    WriteDword(key, kValueLogLines, AppState.LogLines, result);
    WriteByte(key, kValueBalloons, AppState.Balloons, result);
    WriteByte(key, kValueStealthWatch, AppState.StealthWatch, result);
    char trusted[kTrustedTextSize];
    DWORD bytes = (DWORD)TrustedListMulti(AppState.Trusted, trusted, sizeof trusted);
    WriteText(key, kValueTrusted, trusted, bytes, REG_MULTI_SZ, result);
    WriteText(key, kValueSyslogServer, AppState.SyslogServer,
              (DWORD)TextLength(AppState.SyslogServer) + 1, REG_SZ, result);
    WriteByte(key, kValueSyslogTcp, AppState.SyslogTcp, result);
    WriteText(key, kValueWebhookUrl, AppState.WebhookUrl,
              (DWORD)TextLength(AppState.WebhookUrl) + 1, REG_SZ, result);
    WriteDword(key, kValueWebhookFormat, AppState.WebhookFormat, result);
    WriteText(key, kValueRunOnScan, AppState.RunOnScan, (DWORD)TextLength(AppState.RunOnScan) + 1,
              REG_SZ, result);
    WriteByte(key, kValueRunOnUnverified, AppState.RunOnUnverified, result);
    WriteByte(key, kValueEventLog, AppState.EventLog, result);
    WriteByte(key, kValueIPv6, AppState.IPv6, result);
    WriteByte(key, kValueBlock, AppState.Block, result);
    WriteDword(key, kValueBlockMinutes, AppState.BlockMinutes, result);
    static char blocked[kBlockMultiSize];
    WriteText(key, kValueBlocked, blocked,
              (DWORD)BlockSetMulti(BlockedCallers(), blocked, sizeof blocked), REG_MULTI_SZ,
              result);
}

// One line for a run of failed saves: a key that cannot be written fails
// every save until something changes, and the log says so once.
static void ReportSaveResult(LONG error)
{
    if (error == ERROR_SUCCESS) {
        AppState.SettingsFailed = 0;
        return;
    }
    if (AppState.SettingsFailed)
        return;
    AppState.SettingsFailed = 1;
    char line[128];
    TextCopy(line, "Settings error: ");
    TextAppend(line, SettingsErrorText((unsigned long)error));
    ReportError(line);
}

void SaveFirstRunAnswer(bool yes)
{
    HKEY root, key;
    SaveResult result = {OpenSettingsKey(root, key)};
    if (result.error == ERROR_SUCCESS) {
        WriteByte(key, kValueFirstRunAsked, yes ? 1 : 0, result);
        CloseSettingsKey(root, key);
    }
    ReportSaveResult(result.error);
}

void SaveSettings(bool withPorts)
{
    HKEY root, key;
    SaveResult result = {OpenSettingsKey(root, key)};
    if (result.error == ERROR_SUCCESS) {
        // The port list changes only in Port Settings; a list of thousands
        // is not written again for every move of the window.
        if (withPorts)
            SavePorts(key, result);
        SaveEverythingElse(key, result);
        CloseSettingsKey(root, key);
    }
    ReportSaveResult(result.error);
}

// Writes one value alone, as it changes; failures are told as SaveSettings
// tells them.
static void SaveAlone(void (*write)(HKEY key, SaveResult& result))
{
    HKEY root, key;
    SaveResult result = {OpenSettingsKey(root, key)};
    if (result.error == ERROR_SUCCESS) {
        write(key, result);
        CloseSettingsKey(root, key);
    }
    ReportSaveResult(result.error);
}

static void WriteStats(HKEY key, SaveResult& result)
{
    DWORD size = 0;
    const BYTE* value = StatisticsValue(size);
    Note(result, RegSetValueExA(key, kValueStats, 0, REG_BINARY, value, size));
}

static void WriteBlockedCallers(HKEY key, SaveResult& result)
{
    static char blocked[kBlockMultiSize];
    WriteText(key, kValueBlocked, blocked,
              (DWORD)BlockSetMulti(BlockedCallers(), blocked, sizeof blocked), REG_MULTI_SZ,
              result);
}

void SaveStats()
{
    SaveAlone(WriteStats);
}

void SaveBlockedCallers()
{
    SaveAlone(WriteBlockedCallers);
}
