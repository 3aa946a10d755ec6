#include "QbLog.h"

#include <windows.h>

#include <climits>
#include <cstdio>
#include <string>

namespace {

// Guards the two settings below; initialised in DllMain.
CRITICAL_SECTION g_lock;
int g_nMaxLevel = INT_MAX;
std::string g_strLogFile; // empty: the default file beside this DLL

class CLock {
public:
    CLock() { EnterCriticalSection(&g_lock); }
    ~CLock() { LeaveCriticalSection(&g_lock); }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;
};

// QbLog.log in the folder of this DLL, whichever process loaded it and
// whatever its current directory is. Empty when the folder cannot be found.
std::string DefaultLogFile()
{
    HMODULE hSelf = nullptr;
    // Any address inside this DLL names it; the reference count stays as is.
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&g_nMaxLevel), &hSelf))
        return {};
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(hSelf, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return {};
        if (n < path.size()) { // a full name; n == size means it was cut
            path.resize(n);
            break;
        }
        if (path.size() >= 32768)
            return {};
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of("\\/");
    if (slash == std::string::npos)
        return {};
    path.resize(slash + 1);
    return path + "QbLog.log";
}

// Texts arrive in the ANSI code page; the log is UTF-8 throughout.
bool AnsiToUtf8(const char* psz, std::string& utf8)
{
    const int nWide = MultiByteToWideChar(CP_ACP, 0, psz, -1, nullptr, 0);
    if (nWide <= 0)
        return false;
    std::wstring wide(nWide, L'\0');
    if (MultiByteToWideChar(CP_ACP, 0, psz, -1, wide.data(), nWide) != nWide)
        return false;
    const int nUtf8 = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (nUtf8 <= 0)
        return false;
    utf8.assign(nUtf8, '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8.data(), nUtf8, nullptr, nullptr) != nUtf8)
        return false;
    utf8.pop_back(); // both counts include the terminator
    return true;
}

// A JSON string of the ANSI text, or null. Only what JSON requires is
// escaped; everything else, non-ASCII included, stays as UTF-8.
bool AppendJsonString(std::string& record, const char* psz)
{
    if (psz == nullptr) {
        record += "null";
        return true;
    }
    std::string utf8;
    if (!AnsiToUtf8(psz, utf8))
        return false;
    record += '"';
    for (const char c : utf8) {
        switch (c) {
        case '"': record += "\\\""; break;
        case '\\': record += "\\\\"; break;
        case '\n': record += "\\n"; break;
        case '\r': record += "\\r"; break;
        case '\t': record += "\\t"; break;
        case '\b': record += "\\b"; break;
        case '\f': record += "\\f"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escape[8];
                snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
                record += escape;
            } else {
                record += c;
            }
        }
    }
    record += '"';
    return true;
}

std::string UtcTimestamp()
{
    SYSTEMTIME st;
    GetSystemTime(&st);
    char text[32];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", st.wYear, st.wMonth, st.wDay, st.wHour,
             st.wMinute, st.wSecond, st.wMilliseconds);
    return text;
}

// One line: {"time":...,"level":...,"program":...,"version":...,"module":...,"line":...,"text":...}
bool FormatRecord(std::string& record, const QbLogSource* pSource, int nLevel, const char* pszText, int nLine)
{
    record = "{\"time\":\"" + UtcTimestamp() + "\",\"level\":" + std::to_string(nLevel) + ",\"program\":";
    if (!AppendJsonString(record, pSource ? pSource->pszProgram : nullptr))
        return false;
    record += ",\"version\":";
    if (!AppendJsonString(record, pSource ? pSource->pszVersion : nullptr))
        return false;
    record += ",\"module\":";
    if (!AppendJsonString(record, pSource ? pSource->pszModule : nullptr))
        return false;
    record += ",\"line\":" + std::to_string(nLine) + ",\"text\":";
    if (!AppendJsonString(record, pszText))
        return false;
    record += "}\n";
    return true;
}

// Opened for append only and closed again: the system puts each write at the
// end of the file as one piece, so records of several processes never mix
// within a line, and no handle stays open to hinder others.
bool AppendToFile(const std::string& path, const std::string& record)
{
    if (record.size() > MAXDWORD)
        return false;
    const HANDLE hFile = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    DWORD nWritten = 0;
    const BOOL bWritten = WriteFile(hFile, record.data(), static_cast<DWORD>(record.size()), &nWritten, nullptr);
    CloseHandle(hFile);
    return bWritten && nWritten == record.size();
}

} // namespace

extern "C" int WriteLog(const QbLogSource* pSource, int nLevel, const char* pszText, int nLine)
{
    try {
        CLock lock;
        if (nLevel > g_nMaxLevel)
            return 0;
        std::string record;
        if (!FormatRecord(record, pSource, nLevel, pszText, nLine))
            return 0;
        const std::string path = g_strLogFile.empty() ? DefaultLogFile() : g_strLogFile;
        if (path.empty())
            return 0;
        return AppendToFile(path, record) ? 1 : 0;
    } catch (...) { // out of memory: no record, and nothing may escape into the caller
        return 0;
    }
}

extern "C" void SetLogLevel(int nLevel)
{
    CLock lock;
    g_nMaxLevel = nLevel;
}

extern "C" void SetLogFile(const char* pszPath)
{
    try {
        CLock lock;
        g_strLogFile = pszPath ? pszPath : "";
    } catch (...) { // out of memory: the previous file stays in use
    }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD dwReason, LPVOID)
{
    if (dwReason == DLL_PROCESS_ATTACH)
        InitializeCriticalSection(&g_lock);
    else if (dwReason == DLL_PROCESS_DETACH)
        DeleteCriticalSection(&g_lock);
    return TRUE;
}
