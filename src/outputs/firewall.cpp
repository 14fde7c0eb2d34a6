// The Windows firewall's side of blocking: the one inbound rule "Harbinel:
// blocked callers", written and removed through INetFwPolicy2 and
// INetFwRule. One rule for every address, because one rule per address
// slows the firewall down.
#include "outputs.h"

#include <netfw.h>
#include <oleauto.h>

#include "../pure/text.h"

// Every protocol, as the documentation numbers it; MinGW's header names
// only TCP and UDP.
static const long kAnyProtocol = 256;

static const wchar_t kRuleName[] = L"Harbinel: blocked callers";
static const wchar_t kRuleDescription[] =
    L"Callers Harbinel saw scanning this PC. Harbinel keeps this rule: edit the list in "
    L"Options > Blocked Callers.";

// The classes, as documented; MinGW's import library does not carry them.
static const CLSID kNetFwPolicy2 = {
    0xe2b3c97f, 0x6ae1, 0x41ac, {0x81, 0x7a, 0xf6, 0xf9, 0x21, 0x66, 0xd7, 0xdd}};
static const CLSID kNetFwRule = {
    0x2c5bc43e, 0x3369, 0x4c33, {0xab, 0x0c, 0xbe, 0x94, 0x69, 0x67, 0x7a, 0xf4}};

static BSTR WideText(const char* text)
{
    int length = MultiByteToWideChar(CP_ACP, 0, text, -1, NULL, 0);
    if (length <= 0)
        return NULL;
    BSTR out = SysAllocStringLen(NULL, (UINT)(length - 1));
    if (out != NULL)
        MultiByteToWideChar(CP_ACP, 0, text, -1, out, length);
    return out;
}

// Every property is set again on a rule that exists, which mends one that
// was edited by hand.
static HRESULT FillRule(INetFwRule* rule, BSTR name, BSTR addresses)
{
    BSTR description = SysAllocString(kRuleDescription);
    HRESULT hr = rule->put_Name(name);
    if (SUCCEEDED(hr))
        hr = rule->put_Description(description);
    if (SUCCEEDED(hr))
        hr = rule->put_Direction(NET_FW_RULE_DIR_IN);
    if (SUCCEEDED(hr))
        hr = rule->put_Action(NET_FW_ACTION_BLOCK);
    if (SUCCEEDED(hr))
        hr = rule->put_Protocol(kAnyProtocol);
    if (SUCCEEDED(hr))
        hr = rule->put_Profiles(NET_FW_PROFILE2_ALL);
    if (SUCCEEDED(hr))
        hr = rule->put_RemoteAddresses(addresses);
    if (SUCCEEDED(hr))
        hr = rule->put_Enabled(VARIANT_TRUE);
    SysFreeString(description);
    return hr;
}

static HRESULT SetRule(INetFwRules* rules, BSTR name, const char* addresses)
{
    BSTR list = WideText(addresses);
    if (list == NULL)
        return E_OUTOFMEMORY;
    INetFwRule* rule = NULL;
    bool fresh = FAILED(rules->Item(name, &rule)) || rule == NULL;
    HRESULT hr = S_OK;
    if (fresh)
        hr = CoCreateInstance(kNetFwRule, NULL, CLSCTX_INPROC_SERVER, __uuidof(INetFwRule),
                              (void**)&rule);
    if (SUCCEEDED(hr))
        hr = FillRule(rule, name, list);
    if (SUCCEEDED(hr) && fresh)
        hr = rules->Add(rule);
    if (rule != NULL)
        rule->Release();
    SysFreeString(list);
    return hr;
}

// Off for one of the profiles in force now. A firewall that cannot say
// counts as on: the rule is there for when it is.
static bool FirewallOff(INetFwPolicy2* policy)
{
    long types = 0;
    if (FAILED(policy->get_CurrentProfileTypes(&types)))
        return false;
    static const NET_FW_PROFILE_TYPE2 kProfiles[] = {
        NET_FW_PROFILE2_DOMAIN, NET_FW_PROFILE2_PRIVATE, NET_FW_PROFILE2_PUBLIC};
    for (NET_FW_PROFILE_TYPE2 profile : kProfiles) {
        VARIANT_BOOL on = VARIANT_TRUE;
        if ((types & profile) && SUCCEEDED(policy->get_FirewallEnabled(profile, &on)) &&
            on == VARIANT_FALSE)
            return true;
    }
    return false;
}

long WriteFirewallRule(const char* addresses)
{
    HRESULT init = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    INetFwPolicy2* policy = NULL;
    INetFwRules* rules = NULL;
    HRESULT hr = CoCreateInstance(kNetFwPolicy2, NULL, CLSCTX_INPROC_SERVER,
                                  __uuidof(INetFwPolicy2), (void**)&policy);
    if (SUCCEEDED(hr))
        hr = policy->get_Rules(&rules);
    BSTR name = SysAllocString(kRuleName);
    if (SUCCEEDED(hr) && name == NULL)
        hr = E_OUTOFMEMORY;
    if (SUCCEEDED(hr)) {
        if (addresses == NULL) {
            hr = rules->Remove(name);
            // A rule already gone is what was wanted.
            if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND))
                hr = S_OK;
        } else {
            hr = SetRule(rules, name, addresses);
        }
    }
    if (SUCCEEDED(hr) && addresses != NULL && FirewallOff(policy))
        hr = kFirewallIsOff;
    SysFreeString(name);
    if (rules != NULL)
        rules->Release();
    if (policy != NULL)
        policy->Release();
    if (SUCCEEDED(init))
        CoUninitialize();
    return hr;
}
