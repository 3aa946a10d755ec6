#include "Harness.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>

namespace {

bool StartsWith(const std::string& str, const char* pszPrefix)
{
    return str.rfind(pszPrefix, 0) == 0;
}

void Sample(HANDLE hProcess, RunResult& result)
{
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters)))
        result.nPeakPrivate = std::max({result.nPeakPrivate, counters.PeakPagefileUsage, counters.PrivateUsage});
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

Install::Install(const std::string& strTag)
    : Installation("qb-reliability " + strTag, ThePrograms().strUpdater, ThePrograms().strQbLog)
{
}

Programs& ThePrograms()
{
    static Programs programs = {WindowsPath(UPDATER_EXE_PATH), WindowsPath(QBLOG_DLL_PATH),
                                WindowsPath(MARK_EXE_PATH)};
    return programs;
}

void SetUpdateSettings(const std::string& strSource, const std::string& strDescription, const std::string& strRoot)
{
    using namespace SuiteSettings;
    Clear();
    Set(kUpdatesKey, "Source", strSource);
    Set(kUpdatesKey, "Description", strDescription);
    Set(kSuiteKey, "RootPath", strRoot);
}

void ServeBothModesFrom(int nPort, const char* pszPath, const std::string& strRoot)
{
    const std::string strUrl = "http://127.0.0.1:" + std::to_string(nPort) + pszPath;
    SetUpdateSettings(strUrl, strUrl, strRoot);
}

RunResult RunUpdater(const Install& install, const RunOptions& options)
{
    RunResult result;
    DWORD nDialogSeen = 0;
    bool bCancelPressed = false;
    ProgramOptions program;
    program.currentDirectory = install.ProgramFolder();
    program.nTimeoutMs = options.nTimeoutMs;
    // Yes to the cancel question, OK to every report.
    program.answer = [](const SeenBox& box) { return std::ranges::count(box.buttons, IDYES) ? IDYES : IDOK; };
    program.onPoll = [&](HANDLE hProcess) {
        Sample(hProcess, result);
        const HWND hDialog = FindUpdateDialog(GetProcessId(hProcess));
        const DWORD nNow = GetTickCount();
        // Shown, the dialog has started its transfer, and its Cancel asks
        // first; pressed earlier (a busy machine is slow to show it), it
        // would end the dialog before the transfer and without a question.
        if (hDialog && IsWindowVisible(hDialog) && !nDialogSeen)
            nDialogSeen = nNow;
        if (options.nCancelAfterMs >= 0 && !bCancelPressed && hDialog && nDialogSeen &&
            nNow - nDialogSeen >= static_cast<DWORD>(options.nCancelAfterMs)) {
            PressButton(hDialog, IDCANCEL);
            bCancelPressed = true;
        }
    };
    static_cast<ProgramRun&>(result) =
        RunProgram(install.Exe(), "\"" + install.Exe() + "\"" + (options.bRunMode ? " /run" : ""), program);
    result.bCrashed = result.bEnded && result.nExitCode >= 0xC0000000;
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
