#include "InternetSettings.h"

#include "framework/Handles.h"

bool QueryInternetSetting(const char* pszName, void* pBuffer, DWORD nSize)
{
    CUniqueHKey key;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                        KEY_READ, key.Put()) != ERROR_SUCCESS)
        return false;
    return ::RegQueryValueExA(key.Get(), pszName, nullptr, nullptr, static_cast<BYTE*>(pBuffer), &nSize) ==
           ERROR_SUCCESS;
}

CString ReadInternetSetting(const char* pszName)
{
    char szValue[1024] = {};
    if (!QueryInternetSetting(pszName, szValue, sizeof(szValue)))
        return CString();
    // A value that fills the whole buffer has no terminator of its own.
    szValue[sizeof(szValue) - 1] = '\0';
    return CString(szValue);
}
