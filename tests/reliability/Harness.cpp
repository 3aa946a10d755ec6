#include "Harness.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <map>

namespace {

// A Linux path as Wine's Z: drive shows it; Windows paths stay as they are.
std::string WindowsPath(const char* pszPath)
{
    std::string strPath = pszPath;
    if (!strPath.empty() && strPath[0] == '/') {
        std::replace(strPath.begin(), strPath.end(), '/', '\\');
        strPath = "Z:" + strPath;
    }
    return strPath;
}

std::string TempBase()
{
    char szTemp[MAX_PATH];
    GetTempPathA(sizeof(szTemp), szTemp);
    std::string strBase = std::string(szTemp) + "qb-reliability";
    CreateDirectoryA(strBase.c_str(), nullptr);
    return strBase;
}

std::string WindowClass(HWND hWnd)
{
    char szClass[64] = {};
    GetClassNameA(hWnd, szClass, sizeof(szClass));
    return szClass;
}

std::string WindowText(HWND hWnd)
{
    char szText[2048] = {};
    GetWindowTextA(hWnd, szText, sizeof(szText));
    return szText;
}

bool StartsWith(const std::string& str, const char* pszPrefix)
{
    return str.rfind(pszPrefix, 0) == 0;
}

const char kUpdatesKey[] = "SOFTWARE\\Quillbrook\\QBSUITE\\Updates";
const char kSuiteKey[] = "SOFTWARE\\Quillbrook\\QBSUITE";
const char kChannelKey[] = "Software\\Quillbrook\\QBSUITE\\Channels\\Channel8";
const char kInternetKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

void SetString(HKEY hRoot, const char* pszKey, const char* pszName, const std::string& strValue)
{
    HKEY hKey;
    if (RegCreateKeyExA(hRoot, pszKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey, nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExA(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(strValue.c_str()),
                   static_cast<DWORD>(strValue.size() + 1));
    RegCloseKey(hKey);
}

void DeleteValue(HKEY hRoot, const char* pszKey, const char* pszName)
{
    HKEY hKey;
    if (RegOpenKeyExA(hRoot, pszKey, 0, KEY_SET_VALUE, &hKey) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(hKey, pszName);
    RegCloseKey(hKey);
}

struct ChildWindows {
    DWORD nPid;
    std::vector<HWND> boxes;
    HWND hDialog = nullptr;
};

BOOL CALLBACK CollectChildWindows(HWND hWnd, LPARAM lParam)
{
    ChildWindows& windows = *reinterpret_cast<ChildWindows*>(lParam);
    DWORD nPid = 0;
    GetWindowThreadProcessId(hWnd, &nPid);
    if (nPid != windows.nPid || WindowClass(hWnd) != "#32770")
        return TRUE;
    // A message box keeps its text in the static 0xFFFF (set before the box
    // is shown); the update dialog is the one with the progress bar.
    if (GetDlgItem(hWnd, 0xFFFF) && IsWindowVisible(hWnd))
        windows.boxes.push_back(hWnd);
    else if (GetDlgItem(hWnd, 1000))
        windows.hDialog = hWnd;
    return TRUE;
}

void Press(HWND hWnd, int nId)
{
    PostMessageA(hWnd, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(hWnd, nId)));
}

void Sample(HANDLE hProcess, RunResult& result)
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters))) {
        result.nPeakPrivate = std::max({result.nPeakPrivate, counters.PeakPagefileUsage, counters.PrivateUsage});
        result.nPeakWorkingSet = std::max(result.nPeakWorkingSet, counters.PeakWorkingSetSize);
    }
    result.nHandles = std::max(result.nHandles, CountHandles(GetProcessId(hProcess)));
}

// One row of the system's handle table (SystemHandleInformation).
struct HandleEntry {
    ULONG nPid;
    BYTE nType;
    BYTE nFlags;
    USHORT nHandle;
    PVOID pObject;
    ACCESS_MASK nAccess;
};

const ULONG kSystemHandleInformation = 16;
const NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);

} // namespace

std::vector<std::string> ListFiles(const std::string& strFolder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE hFind = FindFirstFileA((strFolder + "\\*").c_str(), &data);
    if (hFind == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(data.cFileName);
    } while (FindNextFileA(hFind, &data));
    FindClose(hFind);
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveTree(const std::string& strFolder)
{
    WIN32_FIND_DATAA data;
    HANDLE hFind = FindFirstFileA((strFolder + "\\*").c_str(), &data);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            const std::string strName = data.cFileName;
            if (strName == "." || strName == "..")
                continue;
            const std::string strPath = strFolder + "\\" + strName;
            SetFileAttributesA(strPath.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(strPath);
            else
                DeleteFileA(strPath.c_str());
        } while (FindNextFileA(hFind, &data));
        FindClose(hFind);
    }
    RemoveDirectoryA(strFolder.c_str());
}

Install::Install(const std::string& strTag)
{
    static int s_nCounter = 0;
    m_strFolder = TempBase() + "\\" + strTag + "-" + std::to_string(GetCurrentProcessId()) + "-" +
                  std::to_string(++s_nCounter);
    RemoveTree(m_strFolder);
    CreateDirectoryA(m_strFolder.c_str(), nullptr);
    CreateDirectoryA((m_strFolder + "\\bin").c_str(), nullptr);
    CreateDirectoryA(Root().c_str(), nullptr);
    CreateDirectoryA(DestFolder(true).c_str(), nullptr);
    CreateDirectoryA(DestFolder(false).c_str(), nullptr);
    CopyFileA(ThePrograms().strUpdater.c_str(), Exe().c_str(), FALSE);
    CopyFileA(ThePrograms().strQbLog.c_str(), (m_strFolder + "\\bin\\QbLog.dll").c_str(), FALSE);
}

// A process that has just ended may hold its folder a moment longer.
Install::~Install()
{
    if (m_bKeep)
        return;
    for (int i = 0; i < 20 && FileExists(m_strFolder); ++i) {
        if (i > 0)
            Sleep(50);
        RemoveTree(m_strFolder);
    }
}

std::string Install::Dest(bool bRunMode) const
{
    return bRunMode ? DestFolder(true) + "\\Update.exe" : DestFolder(false) + "\\upgrade_info.html";
}

std::string Install::DestFolder(bool bRunMode) const
{
    return Root() + (bRunMode ? "\\ContentCache" : "\\templates");
}

Programs& ThePrograms()
{
    static Programs programs = {WindowsPath(UPDATER_EXE_PATH), WindowsPath(QBLOG_DLL_PATH),
                                WindowsPath(MARK_EXE_PATH)};
    return programs;
}

void SetUpdateSettings(const std::string& strSource, const std::string& strDescription, const std::string& strRoot)
{
    SetString(HKEY_LOCAL_MACHINE, kUpdatesKey, "Source", strSource);
    SetString(HKEY_LOCAL_MACHINE, kUpdatesKey, "Description", strDescription);
    SetString(HKEY_LOCAL_MACHINE, kSuiteKey, "RootPath", strRoot);
    DeleteValue(HKEY_LOCAL_MACHINE, kChannelKey, "Cache");
}

void ClearUpdateSettings()
{
    DeleteValue(HKEY_LOCAL_MACHINE, kUpdatesKey, "Source");
    DeleteValue(HKEY_LOCAL_MACHINE, kUpdatesKey, "Description");
    DeleteValue(HKEY_LOCAL_MACHINE, kSuiteKey, "RootPath");
}

ProxySetting::ProxySetting(DWORD nEnable, const std::string& strServer)
{
    HKEY hKey;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kInternetKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey, nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExA(hKey, "ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&nEnable), sizeof(nEnable));
    RegSetValueExA(hKey, "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(strServer.c_str()),
                   static_cast<DWORD>(strServer.size() + 1));
    RegCloseKey(hKey);
}

// Other tests of the prefix expect no proxy.
ProxySetting::~ProxySetting()
{
    DeleteValue(HKEY_CURRENT_USER, kInternetKey, "ProxyEnable");
    DeleteValue(HKEY_CURRENT_USER, kInternetKey, "ProxyServer");
}

RunResult RunUpdater(const Install& install, const RunOptions& options)
{
    RunResult result;
    std::string strCommandLine = "\"" + install.Exe() + "\"";
    if (options.bRunMode)
        strCommandLine += " /run";
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    const std::string strFolder = install.Folder() + "\\bin";
    if (!CreateProcessA(install.Exe().c_str(), &strCommandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                        strFolder.c_str(), &startup, &process)) {
        result.nStartError = GetLastError();
        return result;
    }
    CloseHandle(process.hThread);

    const DWORD nStart = GetTickCount();
    DWORD nDialogSeen = 0;
    std::map<HWND, DWORD> pressed; // box -> when it was last pressed
    for (;;) {
        const DWORD nWait = WaitForSingleObject(process.hProcess, 10);
        Sample(process.hProcess, result);
        if (nWait == WAIT_OBJECT_0) {
            result.bEnded = true;
            break;
        }
        const DWORD nNow = GetTickCount();
        if (nNow - nStart > options.nTimeoutMs) {
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, 5000);
            break;
        }

        ChildWindows windows;
        windows.nPid = process.dwProcessId;
        EnumWindows(CollectChildWindows, reinterpret_cast<LPARAM>(&windows));
        std::map<HWND, DWORD> still;
        for (HWND hBox : windows.boxes) {
            auto it = pressed.find(hBox);
            if (it == pressed.end()) {
                result.boxes.push_back({WindowText(GetDlgItem(hBox, 0xFFFF)), WindowText(hBox)});
            } else if (nNow - it->second < 1000) {
                still[hBox] = it->second;
                continue;
            }
            // Under Wine every button of a box exists; the unused are hidden.
            const HWND hYes = GetDlgItem(hBox, IDYES);
            Press(hBox, hYes && IsWindowVisible(hYes) ? IDYES : IDOK);
            still[hBox] = nNow;
        }
        pressed.swap(still);

        if (windows.hDialog && !nDialogSeen)
            nDialogSeen = nNow;
        if (options.nCancelAfterMs >= 0 && !result.bCancelPressed && nDialogSeen &&
            nNow - nDialogSeen >= static_cast<DWORD>(options.nCancelAfterMs)) {
            Press(windows.hDialog, IDCANCEL);
            result.bCancelPressed = true;
        }
        if (options.onTick)
            options.onTick();
    }
    result.nMs = GetTickCount() - nStart;
    Sample(process.hProcess, result);
    GetExitCodeProcess(process.hProcess, &result.nExitCode);
    result.bCrashed = result.bEnded && result.nExitCode >= 0xC0000000;
    CloseHandle(process.hProcess);
    return result;
}

bool IsLostConnectionBox(const std::string& strText)
{
    return StartsWith(strText, "Your connection to the update server ") &&
           strText.find(" was unexpectedly terminated. Please check your connection and try again.") !=
               std::string::npos;
}

bool IsUnableToConnectBox(const std::string& strText)
{
    return StartsWith(strText, "Unable to connect to update server ");
}

bool IsNoUpdatesBox(const std::string& strText)
{
    return strText == "No updates are currently available";
}

bool IsLaunchFailedBox(const std::string& strText)
{
    return StartsWith(strText, "An error occurred launching ") &&
           strText.find(". See your Quillbrook event log for more information.") != std::string::npos;
}

bool IsCancelQuestion(const std::string& strText)
{
    return strText == "Are you sure you want to cancel your software update?";
}

bool IsKnownBox(const std::string& strText)
{
    return IsLostConnectionBox(strText) || IsUnableToConnectBox(strText) || IsNoUpdatesBox(strText) ||
           IsLaunchFailedBox(strText) || IsCancelQuestion(strText);
}

int CountHandles(DWORD nPid)
{
    typedef NTSTATUS(NTAPI * PFN_QUERY)(ULONG, PVOID, ULONG, PULONG);
    static const PFN_QUERY pfnQuery = reinterpret_cast<PFN_QUERY>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!pfnQuery)
        return -1;
    static std::vector<char> buffer(1 << 20);
    NTSTATUS nStatus;
    ULONG nLength = 0;
    while ((nStatus = pfnQuery(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &nLength)) ==
               kInfoLengthMismatch &&
           buffer.size() < (64u << 20))
        buffer.resize(buffer.size() * 2);
    if (nStatus != 0)
        return -1;
    const ULONG nCount = *reinterpret_cast<const ULONG*>(buffer.data());
    const HandleEntry* pEntries = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(ULONG_PTR));
    int nHandles = 0;
    for (ULONG i = 0; i < nCount; ++i)
        nHandles += pEntries[i].nPid == nPid ? 1 : 0;
    return nHandles;
}

SIZE_T PrivateBytes(HANDLE hProcess)
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters)))
        return 0;
    return std::max(counters.PrivateUsage, counters.PagefileUsage);
}

bool WaitForFile(const std::string& strPath, DWORD nMs)
{
    const DWORD nStart = GetTickCount();
    while (!FileExists(strPath)) {
        if (GetTickCount() - nStart > nMs)
            return false;
        Sleep(20);
    }
    return true;
}
