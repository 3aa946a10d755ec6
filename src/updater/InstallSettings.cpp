// The installation settings: machine-wide registry values that locate the
// update source and the destination file, and the administrator's policy
// values that win over the installer's. Reading never fails; a value that
// cannot be read gives its default.

#include <cstring>
#include <set>
#include <string>

#include "UpdaterDlg.h"
#include "eventlog/EventLog.h"
#include "eventlog/LogLines.h"
#include "framework/Handles.h"

namespace {

const char kUpdatesKey[] = "SOFTWARE\\Quillbrook\\QBSUITE\\Updates";
const char kSuiteKey[] = "SOFTWARE\\Quillbrook\\QBSUITE";
const char kChannelKey[] = "Software\\Quillbrook\\QBSUITE\\Channels\\Channel8";

const DWORD kValueBufferSize = 1024;

// Group Policy writes machine policies here, in the native view, which
// 32-bit and 64-bit programs share.
const char kPolicyKey[] = "SOFTWARE\\Policies\\Quillbrook\\QBSUITE\\Updates";

struct PolicyValue {
    const char* pszName;
    DWORD nType;
};
// The values an administrator's policy may set, with the type that Group
// Policy writes for each; the template in deploy/PolicyDefinitions names
// exactly these.
const PolicyValue kPolicyValues[] = {
    {"Source", REG_SZ},
    {"Description", REG_SZ},
    {"RequireSignature", REG_DWORD},
    {"SignerThumbprint", REG_SZ},
    {"SignInServers", REG_SZ},
    {"UpdatesDisabled", REG_DWORD},
};

// A policy value that is present but unusable is recorded once a run, not
// at every read.
void RecordIgnoredPolicy(const char* pszName, const char* pszWhy)
{
    static std::set<std::string> recorded;
    if (!recorded.insert(pszName).second)
        return;
    const std::string text = std::string("The policy value ") + pszName + " under HKEY_LOCAL_MACHINE\\" + kPolicyKey +
                             " is ignored: " + pszWhy;
    LogEvent(&g_logUpdaterDlg, 1, text.c_str(), LOG_LINE_POLICY_IGNORED);
}

// The administrator's value when the policy key holds it with its type (a
// text also as REG_EXPAND_SZ, which the template's text elements may
// write); false when it is absent or unusable.
bool ReadPolicy(const char* pszName, BYTE* pData, DWORD& nSize)
{
    DWORD nType = REG_NONE;
    for (const PolicyValue& value : kPolicyValues) {
        if (std::strcmp(value.pszName, pszName) == 0)
            nType = value.nType;
    }
    CUniqueHKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPolicyKey, 0, KEY_QUERY_VALUE, key.Put()) != ERROR_SUCCESS)
        return false;
    DWORD nFound = REG_NONE;
    const LONG nResult = ::RegQueryValueExA(key.Get(), pszName, nullptr, &nFound, pData, &nSize);
    if (nResult == ERROR_FILE_NOT_FOUND)
        return false;
    const bool bText = nType == REG_SZ && (nFound == REG_SZ || nFound == REG_EXPAND_SZ);
    if (nFound != nType && !bText) {
        RecordIgnoredPolicy(pszName, nType == REG_SZ ? "it is not a REG_SZ value" : "it is not a REG_DWORD value");
        return false;
    }
    if (nResult != ERROR_SUCCESS) {
        RecordIgnoredPolicy(pszName, "it cannot be read (longer than 1023 bytes?)");
        return false;
    }
    return true;
}

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
    char szValue[kValueBufferSize] = {};
    DWORD nSize = sizeof(szValue) - 1;
    if (ReadPolicy(strValueName, reinterpret_cast<BYTE*>(szValue), nSize))
        return CString(szValue);
    return ReadSetting(kUpdatesKey, strValueName, "");
}

DWORD CUpdaterDlg::ReadUpdatePolicy(const CString& strValueName)
{
    DWORD nPolicy = 0;
    DWORD nPolicySize = sizeof(nPolicy);
    if (ReadPolicy(strValueName, reinterpret_cast<BYTE*>(&nPolicy), nPolicySize))
        return nPolicy;
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

bool CUpdaterDlg::AreUpdatesTurnedOff()
{
    DWORD nDisabled = 0;
    DWORD nSize = sizeof(nDisabled);
    return ReadPolicy("UpdatesDisabled", reinterpret_cast<BYTE*>(&nDisabled), nSize) && nDisabled != 0;
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
