// Blocking scanners: which verified callers go into the firewall's rule and
// for how long, what is never blocked (the PC, its gateways, DNS and DHCP
// servers, trusted and link-local callers), and the rule and the key
// written at most once a second, so a burst of blocks costs few writes.
#include "outputs.h"

#include <ws2tcpip.h>
#include <iphlpapi.h>

#include "../log/log.h"
#include "../pure/decimal.h"
#include "../pure/syslogmsg.h"
#include "../pure/text.h"
#include "../pure/trusted.h"
#include "../settings/settings.h"

// The never-blocked table is read again after this long in any case, for
// the address changes nobody told.
static const DWORD kNeverBlockAgeMs = 30000;
// A write the firewall refused is tried again this often, silently.
static const DWORD kRetryMs = 60000;
// The adapters' list is asked for in this much room, and at most in this.
static const ULONG kAdapterBytes = 16384;
static const ULONG kAdapterBytesCap = 1u << 20;

struct BlockState {
    BlockSet set;
    NeverBlockTable never;
    DWORD neverTick;
    bool neverRead;
    bool changed; // the rule and the key wait for a write
    bool written; // a write was tried this run
    DWORD writeTick;
    long failure; // the refusal told last, 0 when the last write went through
    bool offTold; // "the Windows firewall is off" said since it was last on
};

static BlockState g_block;
static char g_ruleText[kBlockRuleTextSize];

void ResetBlocking()
{
    g_block = BlockState();
}

const BlockSet& BlockedCallers()
{
    return g_block.set;
}

uint64_t WallSeconds()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint64_t ticks = ((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime;
    return ticks / 10000000u - 11644473600ull; // 100 ns units since 1601
}

void BlockLoadStored(const char* data, size_t bytes, char (&note)[128])
{
    BlockLoadReport report = BlockSetFromMulti(data, bytes, &g_block.set);
    note[0] = '\0';
    if (report.invalid > 0) {
        TextCopy(note, "Settings: Blocked ignored: not \"address end-time\": ");
        TextAppend(note, report.firstBad);
        if (report.invalid > 1)
            TextAppend(note, " and more");
    } else if (report.dropped > 0) {
        TextCopy(note, "Settings: Blocked ignored: entries beyond 1,000");
    }
    // Rebuilt at the first tick, which also mends a rule edited by hand.
    g_block.changed = g_block.set.count > 0;
}

// ---- What is never blocked ---------------------------------------------------

static void AddSocketAddress(const SOCKET_ADDRESS& address, BlockVerdict reason)
{
    const sockaddr* sa = address.lpSockaddr;
    if (sa == NULL)
        return;
    if (sa->sa_family == AF_INET && address.iSockaddrLength >= (int)sizeof(sockaddr_in))
        NeverBlockAdd(&g_block.never, NetAddressFromV4(((const sockaddr_in*)sa)->sin_addr.s_addr),
                      reason);
    else if (sa->sa_family == AF_INET6 && address.iSockaddrLength >= (int)sizeof(sockaddr_in6))
        NeverBlockAdd(&g_block.never,
                      NetAddressFromV6(((const sockaddr_in6*)sa)->sin6_addr.s6_addr, 0), reason);
}

static void AddAdapter(const IP_ADAPTER_ADDRESSES_LH& a)
{
    for (const IP_ADAPTER_UNICAST_ADDRESS_LH* u = a.FirstUnicastAddress; u != NULL; u = u->Next)
        AddSocketAddress(u->Address, kBlockThisPc);
    for (const IP_ADAPTER_GATEWAY_ADDRESS_LH* g = a.FirstGatewayAddress; g != NULL; g = g->Next)
        AddSocketAddress(g->Address, kBlockGateway);
    for (const IP_ADAPTER_DNS_SERVER_ADDRESS_XP* d = a.FirstDnsServerAddress; d != NULL;
         d = d->Next)
        AddSocketAddress(d->Address, kBlockDns);
    AddSocketAddress(a.Dhcpv4Server, kBlockDhcp);
    AddSocketAddress(a.Dhcpv6Server, kBlockDhcp);
}

// A list that cannot be read keeps the table it had: blocking goes on with
// the loopback and trusted safeguards, which need no list.
static void ReadNeverBlocked()
{
    g_block.neverTick = GetTickCount();
    g_block.neverRead = true;
    ULONG bytes = kAdapterBytes;
    for (int attempt = 0; attempt < 3 && bytes <= kAdapterBytesCap; ++attempt) {
        IP_ADAPTER_ADDRESSES_LH* list = (IP_ADAPTER_ADDRESSES_LH*)BlockAlloc(bytes, false);
        if (list == NULL)
            return;
        ULONG flags = GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                      GAA_FLAG_SKIP_FRIENDLY_NAME;
        ULONG result = GetAdaptersAddresses(AF_UNSPEC, flags, NULL,
                                            (IP_ADAPTER_ADDRESSES*)(void*)list, &bytes);
        if (result == ERROR_SUCCESS) {
            g_block.never = NeverBlockTable();
            for (const IP_ADAPTER_ADDRESSES_LH* a = list; a != NULL; a = a->Next)
                AddAdapter(*a);
        }
        BlockFree(list);
        if (result != ERROR_BUFFER_OVERFLOW)
            return;
    }
}

void BlockNoteAddressChange()
{
    g_block.neverRead = false;
}

// ---- Blocking ------------------------------------------------------------------

static void ReportUnblocked(const NetAddress& address, const char* reason)
{
    char line[96];
    BuildUnblockedLine(address, reason, line);
    AddLogLine(line);
    char caller[kNetAddressTextSize];
    FormatNetAddress(address, caller);
    SyslogSendEvent(kSyslogInfo, "UNBLOCK", line);
    EventLogUnblocked(caller, reason);
}

// True when the caller went into the set; the log says either way.
static bool Block(const ScanRecord& record)
{
    if (!g_block.neverRead || GetTickCount() - g_block.neverTick >= kNeverBlockAgeMs)
        ReadNeverBlocked();
    char line[64];
    BlockVerdict verdict = BlockVerdictFor(record.caller, record.trusted, g_block.never);
    if (verdict != kBlockYes) {
        BuildNotBlockedLine(verdict, line);
        AddLogLine(line);
        return false;
    }
    BlockEntry letGo;
    uint64_t end = BlockEndTime(WallSeconds(), AppState.BlockMinutes);
    BlockAddResult added = BlockSetAdd(&g_block.set, record.caller, end, &letGo);
    g_block.changed = true;
    BuildBlockedLine(AppState.BlockMinutes, line);
    AddLogLine(line);
    if (added == kBlockLetGo)
        ReportUnblocked(letGo.address, "1,000 blocked: the one nearest its end");
    if (added == kBlockRenewed)
        return true;
    // "Blocked 203.0.113.5 for 60 minutes" for the outputs that go away.
    char caller[kNetAddressTextSize];
    FormatScanCaller(record, caller);
    char text[96];
    TextCopy(text, "Blocked ");
    TextAppend(text, caller);
    TextAppend(text, line + 10);
    SyslogSendEvent(kSyslogWarning, "BLOCK", text);
    EventLogBlocked(caller, line + 3);
    WebhookBlocked(record);
    return true;
}

void BlockScan(const ScanRecord& record)
{
    // A SYN's source can be anyone's: only a finished handshake is blocked.
    if (AppState.Block && record.verified)
        Block(record);
}

void BlockByHand(const NetAddress& caller)
{
    ScanRecord record = NewScanRecord(kScanConnect);
    record.caller = Unmap(caller);
    record.trusted = IsTrustedAddress(AppState.Trusted, record.caller);
    char address[kNetAddressTextSize];
    FormatNetAddress(record.caller, address);
    char line[96];
    TextCopy(line, "Block this caller: ");
    TextAppend(line, address);
    BeginLogBatch();
    AddLogLine(line);
    Block(record);
    EndLogBatch();
}

bool UnblockByHand(const NetAddress& caller)
{
    if (!BlockSetRemove(&g_block.set, caller))
        return false;
    g_block.changed = true;
    ReportUnblocked(Unmap(caller), "by the user");
    return true;
}

void UnblockAll()
{
    if (g_block.set.count == 0)
        return;
    char line[64];
    TextCopy(line, "Unblocked all ");
    AppendDecimal((int32_t)g_block.set.count, line);
    TextAppend(line, g_block.set.count == 1 ? " caller (by the user)" : " callers (by the user)");
    g_block.set.count = 0;
    g_block.changed = true;
    AddLogLine(line);
    SyslogSendEvent(kSyslogInfo, "UNBLOCK", line);
    EventLogUnblocked("*", line);
}

// ---- The rule ------------------------------------------------------------------

static void TellFailure(long hr)
{
    if (hr == g_block.failure)
        return;
    g_block.failure = hr;
    char line[96];
    if (hr == E_ACCESSDENIED) {
        TextCopy(line, "Block error: administrator rights needed");
    } else {
        static const char kHex[] = "0123456789ABCDEF";
        char code[11] = "0x";
        for (int i = 0; i < 8; ++i)
            code[2 + i] = kHex[((unsigned long)hr >> (28 - 4 * i)) & 0xF];
        code[10] = '\0';
        TextCopy(line, "Block error: the firewall refused the rule (");
        TextAppend(line, code);
        TextAppend(line, ")");
    }
    ReportError(line);
}

static void WriteRule()
{
    g_block.changed = false;
    g_block.written = true;
    g_block.writeTick = GetTickCount();
    SaveBlockedCallers();
    FirewallRuleWriter write =
        AppState.FirewallWrite != NULL ? AppState.FirewallWrite : WriteFirewallRule;
    // Never an empty list: the firewall reads it as every address.
    size_t length = BlockRuleTextN(g_block.set, g_ruleText, sizeof g_ruleText);
    long hr = write(length > 0 ? g_ruleText : NULL);
    if (FAILED(hr)) {
        // Kept to be tried again: the set stays as it is meanwhile.
        g_block.changed = true;
        TellFailure(hr);
        return;
    }
    g_block.failure = 0;
    if (hr != kFirewallIsOff) {
        g_block.offTold = false;
    } else if (!g_block.offTold) {
        g_block.offTold = true;
        ReportError("Block error: the Windows firewall is off");
    }
}

void BlockTick()
{
    uint64_t now = WallSeconds();
    BlockEntry ended;
    while (BlockSetTakeExpired(&g_block.set, now, &ended)) {
        g_block.changed = true;
        ReportUnblocked(ended.address, "time up");
    }
    DWORD tick = GetTickCount();
    if (!BlockWriteDue(g_block.changed, g_block.written, tick, g_block.writeTick))
        return;
    if (g_block.failure != 0 && tick - g_block.writeTick < kRetryMs)
        return;
    WriteRule();
}
