// The settings key through the ANSI registry functions, as the program
// reads and writes it.
#include "support/registry.h"

#include <string.h>

#include <gtest/gtest.h>

#include "support/texts.h"

namespace support {

const char kSettingsKey[] = "SOFTWARE\\Ferrowind\\Harbinel";

const char kValueCount[] = "Count";
const char kValueWindowX[] = "WindowX";
const char kValueWindowY[] = "WindowY";
const char kValueDisconnect[] = "Disconnnect";
const char kValueMessageType[] = "MessageType";
const char kValueConnected[] = "Connected";
const char kValueOnTop[] = "OnTop";
const char kValueCustomMessage[] = "CustomMessage";
const char kValueWindowWidth[] = "WindowWidth";
const char kValueWindowHeight[] = "WindowHeight";
const char kValueLogToFile[] = "LogToFile";
const char kValueLogFolder[] = "LogFolder";
const char kValueLogLines[] = "LogLines";
const char kValueLogFolderCap[] = "LogFolderCap";
const char kValueBalloons[] = "Balloons";
const char kValueTrusted[] = "Trusted";
const char kValueStealthWatch[] = "StealthWatch";
const char kValueSyslogServer[] = "SyslogServer";
const char kValueSyslogTcp[] = "SyslogTcp";
const char kValueRunOnScan[] = "RunOnScan";
const char kValueRunOnUnverified[] = "RunOnUnverified";
const char kValueEventLog[] = "EventLog";
const char kValueIPv6[] = "IPv6";
const char kValueBlock[] = "Block";
const char kValueBlockMinutes[] = "BlockMinutes";
const char kValueBlocked[] = "Blocked";
const char kValueFirstRunAsked[] = "FirstRunAsked";

const char kValueWebhookUrl[] = "WebhookUrl";
const char kValueWebhookFormat[] = "WebhookFormat";

std::string PortValueName(size_t index)
{
    return "Port" + std::to_string(index);
}

ValueName::ValueName(const wchar_t* name) : name_(Narrow(name))
{
}

namespace {

HKEY OpenSettings(bool create)
{
    HKEY key = NULL;
    LONG rc = create ? RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, NULL,
                                       REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &key, NULL)
                     : RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_ALL_ACCESS, &key);
    return rc == ERROR_SUCCESS ? key : NULL;
}

} // namespace

void DeleteSettings()
{
    RegDeleteTreeA(HKEY_CURRENT_USER, kSettingsKey);
}

void WriteValue(const ValueName& name, DWORD type, const void* data, DWORD size)
{
    HKEY key = OpenSettings(true);
    ASSERT_NE(key, (HKEY)NULL) << "cannot create the settings key";
    LONG rc = RegSetValueExA(key, name.c_str(), 0, type, (const BYTE*)data, size);
    RegCloseKey(key);
    ASSERT_EQ(rc, ERROR_SUCCESS) << "cannot write " << name.c_str();
}

void WriteValue(const ValueName& name, DWORD type, const std::string& bytes)
{
    WriteValue(name, type, bytes.data(), (DWORD)bytes.size());
}

void WriteDword(const ValueName& name, DWORD value)
{
    WriteValue(name, REG_DWORD, &value, sizeof value);
}

void WriteSwitch(const ValueName& name, BYTE value)
{
    WriteValue(name, REG_BINARY, &value, 1);
}

void WriteText(const ValueName& name, const std::string& text)
{
    WriteValue(name, REG_SZ, text.c_str(), (DWORD)text.size() + 1);
}

void WriteMultiText(const ValueName& name, const std::vector<std::string>& entries)
{
    std::string bytes;
    for (const std::string& e : entries)
        bytes += e + '\0';
    WriteValue(name, REG_MULTI_SZ, bytes + '\0');
}

void WritePorts(const std::vector<int>& ports)
{
    WriteDword(kValueCount, (DWORD)ports.size());
    for (size_t i = 0; i < ports.size(); ++i)
        WriteDword(PortValueName(i), (DWORD)ports[i]);
}

DWORD RegValue::AsDword() const
{
    DWORD value = 0;
    if (data.size() == sizeof value)
        memcpy(&value, data.data(), sizeof value);
    return value;
}

std::string RegValue::AsText() const
{
    std::string text(data.begin(), data.end());
    if (!text.empty() && text.back() == '\0')
        text.pop_back();
    return text;
}

RegValue ReadValue(const ValueName& name)
{
    RegValue value;
    HKEY key = OpenSettings(false);
    if (key == NULL)
        return value;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name.c_str(), NULL, &type, NULL, &size) == ERROR_SUCCESS) {
        value.data.resize(size);
        if (RegQueryValueExA(key, name.c_str(), NULL, &type, value.data.data(), &size) ==
            ERROR_SUCCESS) {
            value.exists = true;
            value.type = type;
            value.data.resize(size);
        }
    }
    RegCloseKey(key);
    return value;
}

std::vector<BYTE> DwordBytes(DWORD value)
{
    return std::vector<BYTE>{(BYTE)value, (BYTE)(value >> 8), (BYTE)(value >> 16),
                             (BYTE)(value >> 24)};
}

void ExpectValue(const ValueName& name, DWORD type, const std::vector<BYTE>& data)
{
    SCOPED_TRACE(name.c_str());
    RegValue value = ReadValue(name);
    ASSERT_TRUE(value.exists);
    EXPECT_EQ(value.type, type);
    EXPECT_EQ(value.data, data);
}

std::vector<int> StoredPorts()
{
    std::vector<int> ports;
    RegValue count = ReadValue(kValueCount);
    EXPECT_TRUE(count.exists) << "Count was not stored";
    for (DWORD i = 0; i < count.AsDword(); ++i)
        ports.push_back((int)ReadValue(PortValueName(i)).AsDword());
    return ports;
}

std::vector<std::string> SettingNames()
{
    std::vector<std::string> names;
    HKEY key = OpenSettings(false);
    if (key == NULL)
        return names;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumValueA(key, i, name, &length, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            break;
        names.push_back(std::string(name, length));
    }
    RegCloseKey(key);
    return names;
}

bool KeyExists(HKEY root, const wchar_t* key)
{
    HKEY opened = NULL;
    if (RegOpenKeyExW(root, key, 0, KEY_READ, &opened) != ERROR_SUCCESS)
        return false;
    RegCloseKey(opened);
    return true;
}

bool SettingsKeyExists()
{
    return KeyExists(HKEY_CURRENT_USER, Widen(kSettingsKey).c_str());
}

} // namespace support
