// The installation settings: machine-wide registry values that locate the
// update source and the destination file. Reading never fails; a value that
// cannot be read gives its default.

#include <cstring>

#include "UpdaterDlg.h"
#include "framework/Handles.h"

namespace {

const char kUpdatesKey[] = "SOFTWARE\\Quillbrook\\QBSUITE\\Updates";
const char kSuiteKey[] = "SOFTWARE\\Quillbrook\\QBSUITE";
const char kChannelKey[] = "Software\\Quillbrook\\QBSUITE\\Channels\\Channel8";

const DWORD kValueBufferSize = 1024;

// Opens a key under HKEY_LOCAL_MACHINE for reading. The suite is a 32-bit
// program, so on 64-bit Windows its installer writes its keys into the
// 32-bit view; that view is read first, the native one only when the key is
// not there.
LONG OpenMachineKey(const char* pszKey, CUniqueHKey& key)
{
    const LONG nResult = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, pszKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, key.Put());
    if (nResult != ERROR_FILE_NOT_FOUND)
        return nResult;
    return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, pszKey, 0, KEY_QUERY_VALUE, key.Put());
}

// Reads one value of a key under HKEY_LOCAL_MACHINE as single-byte text, or
// gives pszDefault when the key or the value cannot be read or the data does
// not fit the buffer. The type is not examined: any data is text up to its
// first NUL.
CString ReadSetting(const char* pszKey, const char* pszValue, const char* pszDefault)
{
    CUniqueHKey key;
    if (OpenMachineKey(pszKey, key) != ERROR_SUCCESS)
        return pszDefault;

    BYTE buffer[kValueBufferSize];
    DWORD nSize = kValueBufferSize;
    const LONG nResult = ::RegQueryValueExA(key.Get(), pszValue, nullptr, nullptr, buffer, &nSize);
    key.Reset();
    if (nResult != ERROR_SUCCESS)
        return pszDefault;

    // Data need not end in a NUL (binary values, or text stored without
    // one), so the text stops at the bytes returned at the latest.
    const char* pch = reinterpret_cast<const char*>(buffer);
    const void* pNul = std::memchr(pch, 0, nSize);
    const size_t nLength = pNul ? static_cast<const char*>(pNul) - pch : nSize;
    return CString(pch, static_cast<int>(nLength));
}

} // namespace

CString CUpdaterDlg::ReadUpdateSetting(const CString& strValueName)
{
    return ReadSetting(kUpdatesKey, strValueName, "");
}

DWORD CUpdaterDlg::ReadUpdatePolicy(const CString& strValueName)
{
    CUniqueHKey key;
    if (OpenMachineKey(kUpdatesKey, key) != ERROR_SUCCESS)
        return 0;
    DWORD nType = REG_NONE;
    DWORD nValue = 0;
    DWORD nSize = sizeof(nValue);
    const LONG nResult =
        ::RegQueryValueExA(key.Get(), strValueName, nullptr, &nType, reinterpret_cast<BYTE*>(&nValue), &nSize);
    return nResult == ERROR_SUCCESS && nType == REG_DWORD ? nValue : 0;
}

CString CUpdaterDlg::GetRootPath()
{
    return ReadSetting(kSuiteKey, "RootPath", "C:\\Program Files\\Quillbrook");
}

CString CUpdaterDlg::GetUpdateProgramPath()
{
    return GetRootPath() + "\\ContentCache\\Update.exe";
}

CString CUpdaterDlg::GetDescriptionPagePath()
{
    // The root key is closed before the channel key is opened.
    const CString strRoot = GetRootPath();
    return strRoot + ReadSetting(kChannelKey, "Cache", "\\templates\\upgrade_info.html");
}
