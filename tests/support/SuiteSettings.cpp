#include "SuiteSettings.h"

#include <gtest/gtest.h>

namespace {

// Native view first, then the 32-bit view, each with its backup.
const char* const kSuiteTrees[] = {"SOFTWARE\\Quillbrook", "SOFTWARE\\WOW6432Node\\Quillbrook"};
const char* const kBackupTrees[] = {"SOFTWARE\\QuillbrookTestBackup", "SOFTWARE\\WOW6432Node\\QuillbrookTestBackup"};

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

} // namespace

namespace SuiteSettings {

const char kUpdatesKey[] = "SOFTWARE\\Quillbrook\\QBSUITE\\Updates";
const char kSuiteKey[] = "SOFTWARE\\Quillbrook\\QBSUITE";
const char kChannelKey[] = "SOFTWARE\\Quillbrook\\QBSUITE\\Channels\\Channel8";
const char kUpdatesKey32[] = "SOFTWARE\\WOW6432Node\\Quillbrook\\QBSUITE\\Updates";
const char kSuiteKey32[] = "SOFTWARE\\WOW6432Node\\Quillbrook\\QBSUITE";
const char kChannelKey32[] = "SOFTWARE\\WOW6432Node\\Quillbrook\\QBSUITE\\Channels\\Channel8";

// A backup left by an interrupted run is the original and is kept.
void Backup()
{
    for (int i = 0; i < 2; ++i)
        if (!KeyExists(kBackupTrees[i]) && KeyExists(kSuiteTrees[i]))
            CopyTree(kSuiteTrees[i], kBackupTrees[i]);
}

void Restore()
{
    for (int i = 0; i < 2; ++i) {
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
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, pszKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(hKey, pszName, 0, nType, reinterpret_cast<const BYTE*>(data.data()),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(hKey);
}

void Set(const char* pszKey, const char* pszName, const std::string& strValue)
{
    SetValue(pszKey, pszName, REG_SZ, strValue + '\0');
}

} // namespace SuiteSettings
