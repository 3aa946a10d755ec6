#pragma once
// The registry settings that the updater reads in the test prefix. The
// suite's machine-wide keys: whatever the prefix held is kept aside at the
// start of a test program and put back at its end (Backup/Restore); in
// between each test writes its own values. The user's proxy: set for a
// scope and put back after it (ProxySettings).

#include <windows.h>
#include <wincred.h>

#include <optional>
#include <string>
#include <vector>

namespace SuiteSettings {

extern const char kUpdatesKey[];
extern const char kSuiteKey[];
extern const char kChannelKey[];
// The same keys in the 32-bit view of the registry, where a 32-bit
// installer writes them on 64-bit Windows.
extern const char kUpdatesKey32[];
extern const char kSuiteKey32[];
extern const char kChannelKey32[];
// Where Group Policy writes the administrator's values, in the native view.
extern const char kPolicyKey[];

void Backup();
void Restore();
// Removes the whole suite tree, in both views.
void Clear();
// Removes one key and everything below it.
void Delete(const char* pszKey);
// Raw data of any type, stored exactly as given.
void SetValue(const char* pszKey, const char* pszName, DWORD nType, const std::string& data);
// A text value stored with its terminating NUL, as installers write it.
void Set(const char* pszKey, const char* pszName, const std::string& strValue);
void Remove(const char* pszKey, const char* pszName);

} // namespace SuiteSettings

// ProxyEnable, ProxyServer, the bypass list ProxyOverride and the script
// address AutoConfigURL of the current user's Internet settings, each set
// or (when not given) removed for the object's lifetime.
class ProxySettings {
public:
    ProxySettings(std::optional<DWORD> nEnable, std::optional<std::string> strServer,
                  std::optional<std::string> strOverride = std::nullopt,
                  std::optional<std::string> strAutoConfigUrl = std::nullopt);
    ~ProxySettings();
    ProxySettings(const ProxySettings&) = delete;
    ProxySettings& operator=(const ProxySettings&) = delete;

    static void SetRaw(const char* pszName, DWORD nType, const void* pData, DWORD nSize);
    static void Remove(const char* pszName);

private:
    struct Saved {
        bool bPresent = false;
        DWORD nType = 0;
        std::vector<BYTE> data;
    };
    static Saved Save(const char* pszName);
    static void Restore(const char* pszName, const Saved& saved);

    static void SetText(const char* pszName, const std::optional<std::string>& strValue);

    Saved m_enable;
    Saved m_server;
    Saved m_override;
    Saved m_autoConfigUrl;
};

// A credential saved for the current user as cmdkey saves it, for the
// object's lifetime: CRED_TYPE_GENERIC ("cmdkey /generic:HOST") or
// CRED_TYPE_DOMAIN_PASSWORD ("cmdkey /add:HOST"), the password as UTF-16LE
// without a terminator.
class SavedCredential {
public:
    SavedCredential(DWORD nType, const std::string& target, const std::string& user, const std::string& password);
    ~SavedCredential();
    SavedCredential(const SavedCredential&) = delete;
    SavedCredential& operator=(const SavedCredential&) = delete;

private:
    DWORD m_nType;
    std::wstring m_target;
};
