// The program's settings key, HKCU\SOFTWARE\Ferrowind\Harbinel: the names of
// the values it stores, and small typed helpers that write the key as a test
// needs it and read back what the program stored.
#ifndef HARBINEL_TESTS_SUPPORT_REGISTRY_H
#define HARBINEL_TESTS_SUPPORT_REGISTRY_H

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

namespace support {

// Under HKEY_CURRENT_USER.
extern const char kSettingsKey[];

// The values, by the names the program gives them.
extern const char kValueCount[];
extern const char kValueWindowX[];
extern const char kValueWindowY[];
extern const char kValueDisconnect[]; // "Disconnnect": three n's, as stored
extern const char kValueMessageType[];
extern const char kValueConnected[];
extern const char kValueOnTop[];
extern const char kValueCustomMessage[];
extern const char kValueWindowWidth[];
extern const char kValueWindowHeight[];
extern const char kValueLogToFile[];
extern const char kValueLogFolder[];
extern const char kValueLogLines[];
extern const char kValueLogFolderCap[];
extern const char kValueBalloons[];
extern const char kValueTrusted[];
extern const char kValueStealthWatch[];
extern const char kValueSyslogServer[];
extern const char kValueSyslogTcp[];
extern const char kValueRunOnScan[];
extern const char kValueRunOnUnverified[];
extern const char kValueEventLog[];
extern const char kValueIPv6[];
extern const char kValueBlock[];
extern const char kValueBlockMinutes[];
extern const char kValueBlocked[];
extern const char kValueFirstRunAsked[];

extern const char kValueWebhookUrl[];
extern const char kValueWebhookFormat[];
// "Port" followed by the decimal index.
std::string PortValueName(size_t index);

// A value's name, written in either width (the names are plain ASCII). The
// key is always read and written through the ANSI functions the program
// uses, so text values are the bytes it stores.
class ValueName {
  public:
    ValueName(const char* name) : name_(name)
    {
    }
    ValueName(const std::string& name) : name_(name)
    {
    }
    ValueName(const wchar_t* name);
    const char* c_str() const
    {
        return name_.c_str();
    }

  private:
    std::string name_;
};

// Deletes the whole key, as before a first start.
void DeleteSettings();

// Writers: each creates the key when needed, and a failure is fatal to the
// helper (wrap the call in ASSERT_NO_FATAL_FAILURE to stop the test).
// Any type, exactly the bytes given: a test decides about a terminator.
void WriteValue(const ValueName& name, DWORD type, const void* data, DWORD size);
void WriteValue(const ValueName& name, DWORD type, const std::string& bytes);
void WriteDword(const ValueName& name, DWORD value);
// A one-byte REG_BINARY value: the switches ("Disconnnect", "Connected",
// "OnTop") and "MessageType", which the program reads as one byte.
void WriteSwitch(const ValueName& name, BYTE value);
// REG_SZ with its terminating zero added.
void WriteText(const ValueName& name, const std::string& text);
// REG_MULTI_SZ: each entry with its zero, then the empty entry ending it.
void WriteMultiText(const ValueName& name, const std::vector<std::string>& entries);
// "Count" and "Port0".. as DWORDs.
void WritePorts(const std::vector<int>& ports);

struct RegValue {
    bool exists = false;
    DWORD type = 0;
    std::vector<BYTE> data;
    // 0 unless a 4-byte value.
    DWORD AsDword() const;
    // The bytes as text, without the one terminating zero the registry may
    // count after a text stored without it.
    std::string AsText() const;
};
RegValue ReadValue(const ValueName& name);
// A value's bytes as the program stores a DWORD.
std::vector<BYTE> DwordBytes(DWORD value);
// That the value is there with this type and these bytes; a missing value
// is fatal to the helper.
void ExpectValue(const ValueName& name, DWORD type, const std::vector<BYTE>& data);
// "Count" and as many "Port<n>" as it says, in the order stored; a missing
// Count is a test failure.
std::vector<int> StoredPorts();
// Names of all values in the key, in the registry's order.
std::vector<std::string> SettingNames();

bool KeyExists(HKEY root, const wchar_t* key);
bool SettingsKeyExists();

} // namespace support

#endif
