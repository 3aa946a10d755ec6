#include "SuiteSettings.h"

#include <gtest/gtest.h>

namespace {

// Native view first, then the 32-bit view, each with its backup.
// The installer's trees in both views, and the administrator's policies.
const char* const kSuiteTrees[] = {"SOFTWARE\\Quillbrook", "SOFTWARE\\WOW6432Node\\Quillbrook",
                                   "SOFTWARE\\Policies\\Quillbrook"};
const char* const kBackupTrees[] = {"SOFTWARE\\QuillbrookTestBackup", "SOFTWARE\\WOW6432Node\\QuillbrookTestBackup",
                                    "SOFTWARE\\Policies\\QuillbrookTestBackup"};
const int kTreeCount = sizeof(kSuiteTrees) / sizeof(kSuiteTrees[0]);
const char kInternetSettings[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

bool KeyExists(const char* pszKey)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, pszKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

void CopyTree(const char* pszFrom, const char* pszTo)
{
    HKEY hFrom = nullptr, hTo = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, pszFrom, 0, KEY_READ, &hFrom), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, pszTo, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hTo, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCopyTreeA(hFrom, nullptr, hTo), ERROR_SUCCESS);
    RegCloseKey(hFrom);
    RegCloseKey(hTo);
}

void WriteValue(HKEY hRoot, const char* pszKey, const char* pszName, DWORD nType, const void* pData, DWORD nSize)
{
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExA(hRoot, pszKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey, nullptr), ERROR_SUCCESS)
        << pszKey;
    EXPECT_EQ(RegSetValueExA(hKey, pszName, 0, nType, static_cast<const BYTE*>(pData), nSize), ERROR_SUCCESS)
        << pszName;
    RegCloseKey(hKey);
}

void RemoveValue(HKEY hRoot, const char* pszKey, const char* pszName)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(hRoot, pszKey, 0, KEY_SET_VALUE, &hKey) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(hKey, pszName);
    RegCloseKey(hKey);
}

} // namespace

namespace SuiteSettings {

const char kUpdatesKey[] = "SOFTWARE\\Quillbrook\\QBSUITE\\Updates";
const char kSuiteKey[] = "SOFTWARE\\Quillbrook\\QBSUITE";
const char kChannelKey[] = "SOFTWARE\\Quillbrook\\QBSUITE\\Channels\\Channel8";
const char kUpdatesKey32[] = "SOFTWARE\\WOW6432Node\\Quillbrook\\QBSUITE\\Updates";
const char kSuiteKey32[] = "SOFTWARE\\WOW6432Node\\Quillbrook\\QBSUITE";
const char kChannelKey32[] = "SOFTWARE\\WOW6432Node\\Quillbrook\\QBSUITE\\Channels\\Channel8";
const char kPolicyKey[] = "SOFTWARE\\Policies\\Quillbrook\\QBSUITE\\Updates";

// A backup left by an interrupted run is the original and is kept.
void Backup()
{
    for (int i = 0; i < kTreeCount; ++i)
        if (!KeyExists(kBackupTrees[i]) && KeyExists(kSuiteTrees[i]))
            CopyTree(kSuiteTrees[i], kBackupTrees[i]);
}

void Restore()
{
    for (int i = 0; i < kTreeCount; ++i) {
        Delete(kSuiteTrees[i]);
        if (KeyExists(kBackupTrees[i])) {
            CopyTree(kBackupTrees[i], kSuiteTrees[i]);
            Delete(kBackupTrees[i]);
        }
    }
}

void Clear()
{
    for (const char* pszTree : kSuiteTrees)
        Delete(pszTree);
}

void Delete(const char* pszKey)
{
    const LONG n = RegDeleteTreeA(HKEY_LOCAL_MACHINE, pszKey);
    EXPECT_TRUE(n == ERROR_SUCCESS || n == ERROR_FILE_NOT_FOUND) << pszKey << ": " << n;
}

void SetValue(const char* pszKey, const char* pszName, DWORD nType, const std::string& data)
{
    WriteValue(HKEY_LOCAL_MACHINE, pszKey, pszName, nType, data.data(), static_cast<DWORD>(data.size()));
}

void Set(const char* pszKey, const char* pszName, const std::string& strValue)
{
    SetValue(pszKey, pszName, REG_SZ, strValue + '\0');
}

void Remove(const char* pszKey, const char* pszName)
{
    RemoveValue(HKEY_LOCAL_MACHINE, pszKey, pszName);
}

} // namespace SuiteSettings

ProxySettings::ProxySettings(std::optional<DWORD> nEnable, std::optional<std::string> strServer,
                             std::optional<std::string> strOverride, std::optional<std::string> strAutoConfigUrl)
    : m_enable(Save("ProxyEnable")), m_server(Save("ProxyServer")), m_override(Save("ProxyOverride")),
      m_autoConfigUrl(Save("AutoConfigURL"))
{
    if (nEnable)
        SetRaw("ProxyEnable", REG_DWORD, &*nEnable, sizeof(DWORD));
    else
        Remove("ProxyEnable");
    SetText("ProxyServer", strServer);
    SetText("ProxyOverride", strOverride);
    SetText("AutoConfigURL", strAutoConfigUrl);
}

ProxySettings::~ProxySettings()
{
    Restore("ProxyEnable", m_enable);
    Restore("ProxyServer", m_server);
    Restore("ProxyOverride", m_override);
    Restore("AutoConfigURL", m_autoConfigUrl);
}

void ProxySettings::SetText(const char* pszName, const std::optional<std::string>& strValue)
{
    if (strValue)
        SetRaw(pszName, REG_SZ, strValue->c_str(), static_cast<DWORD>(strValue->size() + 1));
    else
        Remove(pszName);
}

void ProxySettings::SetRaw(const char* pszName, DWORD nType, const void* pData, DWORD nSize)
{
    WriteValue(HKEY_CURRENT_USER, kInternetSettings, pszName, nType, pData, nSize);
}

void ProxySettings::Remove(const char* pszName)
{
    RemoveValue(HKEY_CURRENT_USER, kInternetSettings, pszName);
}

ProxySettings::Saved ProxySettings::Save(const char* pszName)
{
    Saved saved;
    HKEY hKey;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return saved;
    DWORD nSize = 0;
    if (RegQueryValueExA(hKey, pszName, nullptr, &saved.nType, nullptr, &nSize) == ERROR_SUCCESS) {
        saved.data.resize(nSize);
        saved.bPresent = RegQueryValueExA(hKey, pszName, nullptr, &saved.nType, saved.data.data(), &nSize) ==
                         ERROR_SUCCESS;
    }
    RegCloseKey(hKey);
    return saved;
}

void ProxySettings::Restore(const char* pszName, const Saved& saved)
{
    if (saved.bPresent)
        SetRaw(pszName, saved.nType, saved.data.data(), static_cast<DWORD>(saved.data.size()));
    else
        Remove(pszName);
}

namespace {

std::wstring WideOf(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

} // namespace

SavedCredential::SavedCredential(DWORD nType, const std::string& target, const std::string& user,
                                 const std::string& password)
    : m_nType(nType), m_target(WideOf(target))
{
    std::wstring wideUser = WideOf(user);
    std::wstring widePassword = WideOf(password);
    CREDENTIALW credential = {};
    credential.Type = nType;
    credential.TargetName = m_target.data();
    credential.UserName = wideUser.data();
    credential.CredentialBlobSize = static_cast<DWORD>(widePassword.size() * sizeof(wchar_t));
    credential.CredentialBlob = reinterpret_cast<BYTE*>(widePassword.data());
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    if (!CredWriteW(&credential, 0))
        ADD_FAILURE() << "CredWriteW failed: " << GetLastError();
}

SavedCredential::~SavedCredential()
{
    CredDeleteW(m_target.c_str(), m_nType, 0);
}
