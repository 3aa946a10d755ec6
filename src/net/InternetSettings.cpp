#include "InternetSettings.h"

#include <string>

#include "eventlog/EventLog.h"
#include "eventlog/LogLines.h"
#include "framework/Handles.h"

namespace {

// Whatever the registry type: the values are read as Windows reads them.
bool QueryValue(HKEY hKey, const char* pszName, void* pBuffer, DWORD nSize)
{
    return ::RegQueryValueExA(hKey, pszName, nullptr, nullptr, static_cast<BYTE*>(pBuffer), &nSize) == ERROR_SUCCESS;
}

// A text value that fits nSize bytes with its terminator; empty otherwise.
CString ReadBoundedText(HKEY hKey, const char* pszName, DWORD nSize)
{
    std::string value(nSize, '\0');
    if (!QueryValue(hKey, pszName, value.data(), nSize))
        return CString();
    // A value that fills the whole buffer has no terminator of its own.
    value.back() = '\0';
    return CString(value.c_str());
}

// A text value at its whole length, its size asked first; it may grow
// between the two calls, so a value that no longer fits is asked again.
CString ReadWholeText(HKEY hKey, const char* pszName)
{
    for (int nTry = 0; nTry < 4; ++nTry) {
        DWORD nSize = 0;
        if (::RegQueryValueExA(hKey, pszName, nullptr, nullptr, nullptr, &nSize) != ERROR_SUCCESS)
            return CString();
        std::string value(nSize + 1, '\0');
        const LONG nResult =
            ::RegQueryValueExA(hKey, pszName, nullptr, nullptr, reinterpret_cast<BYTE*>(value.data()), &nSize);
        if (nResult == ERROR_SUCCESS)
            return CString(value.c_str());
        if (nResult != ERROR_MORE_DATA)
            return CString();
    }
    return CString();
}

// The value's bytes at their whole length; false when there is none.
bool ReadBinary(HKEY hKey, const char* pszName, std::string& value)
{
    for (int nTry = 0; nTry < 4; ++nTry) {
        DWORD nSize = 0;
        if (::RegQueryValueExA(hKey, pszName, nullptr, nullptr, nullptr, &nSize) != ERROR_SUCCESS)
            return false;
        value.assign(nSize, '\0');
        const LONG nResult =
            ::RegQueryValueExA(hKey, pszName, nullptr, nullptr, reinterpret_cast<BYTE*>(value.data()), &nSize);
        if (nResult == ERROR_SUCCESS) {
            value.resize(nSize);
            return true;
        }
        if (nResult != ERROR_MORE_DATA)
            return false;
    }
    return false;
}

bool IsAutoDetectOn()
{
    CUniqueHKey key;
    std::string value;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER,
                        "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections", 0,
                        KEY_READ, key.Put()) != ERROR_SUCCESS ||
        !ReadBinary(key.Get(), "DefaultConnectionSettings", value))
        return false;
    SavedConnectionSettings saved;
    if (ParseConnectionSettings(value, &saved))
        return (saved.nFlags & SavedConnectionSettings::kAutoDetect) != 0;
    static bool s_bRecorded = false;
    if (!s_bRecorded) {
        s_bRecorded = true;
        static const LogSource kLogSource = ModuleLogSource("ProxyScript");
        const std::string text = "The connection settings DefaultConnectionSettings are ignored: " +
                                 std::to_string(value.size()) + " bytes, cut short";
        LogEvent(&kLogSource, 1, text.c_str(), LOG_LINE_CONNECTION_SETTINGS_IGNORED);
    }
    return false;
}

} // namespace

InternetProxySettings ReadInternetProxySettings()
{
    InternetProxySettings settings;
    settings.bAutoDetect = IsAutoDetectOn();
    CUniqueHKey key;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                        KEY_READ, key.Put()) != ERROR_SUCCESS)
        return settings;
    settings.strAutoConfigUrl = ReadWholeText(key.Get(), "AutoConfigURL");
    DWORD nEnable = 0;
    settings.manual.bEnabled = QueryValue(key.Get(), "ProxyEnable", &nEnable, sizeof(nEnable)) && nEnable != 0;
    if (settings.manual.bEnabled)
        settings.manual.strServer = ReadBoundedText(key.Get(), "ProxyServer", 1024);
    settings.manual.strBypassList = ReadWholeText(key.Get(), "ProxyOverride");
    return settings;
}
