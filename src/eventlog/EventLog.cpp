#include "EventLog.h"

#include <cstring>

#include "framework/Handles.h"
#include "framework/WinApp.h"

namespace {

const char kLibraryName[] = "QbLog.dll";

typedef decltype(&::WriteLog) PFN_WRITELOG;
typedef decltype(&::SetLogLevel) PFN_SETLOGLEVEL;
typedef decltype(&::SetLogFile) PFN_SETLOGFILE;

CUniqueModule g_logLibrary;
PFN_SETLOGFILE g_pfnSetLogFile = nullptr;
PFN_SETLOGLEVEL g_pfnSetLogLevel = nullptr;
PFN_WRITELOG g_pfnWriteLog = nullptr;

void ClearEntryPoints()
{
    g_pfnSetLogFile = nullptr;
    g_pfnSetLogLevel = nullptr;
    g_pfnWriteLog = nullptr;
}

// The library is taken from the program's own folder only: a QbLog.dll
// planted in the current directory or on the search path must never run
// inside the updater.
HMODULE LoadFromProgramFolder()
{
    char szPath[MAX_PATH];
    const DWORD nLength = ::GetModuleFileNameA(nullptr, szPath, sizeof(szPath));
    if (nLength == 0 || nLength >= sizeof(szPath))
        return nullptr;
    char* pSlash = strrchr(szPath, '\\');
    const size_t nFolder = pSlash ? static_cast<size_t>(pSlash - szPath + 1) : 0;
    if (nFolder + sizeof(kLibraryName) > sizeof(szPath))
        return nullptr;
    memcpy(szPath + nFolder, kLibraryName, sizeof(kLibraryName));
    return ::LoadLibraryA(szPath);
}

void ShowBindingError(const char* pszFormat, const char* pszCaption)
{
    char szText[1024];
    wsprintfA(szText, pszFormat, kLibraryName);
    CWnd* pMainWnd = AfxGetMainWnd();
    ::MessageBoxA(pMainWnd ? pMainWnd->m_hWnd : nullptr, szText, pszCaption, MB_ICONHAND);
}


} // namespace

int LoadLogLibrary()
{
    ClearEntryPoints();
    if (!g_logLibrary.IsValid()) {
        g_logLibrary.Reset(LoadFromProgramFolder());
        if (!g_logLibrary.IsValid()) {
            ShowBindingError("Error loading logging library: %s", "Quillbrook Updater");
            return FALSE;
        }
    }

    g_pfnSetLogFile = ProcAddressOf<PFN_SETLOGFILE>(g_logLibrary, "SetLogFile");
    g_pfnSetLogLevel = ProcAddressOf<PFN_SETLOGLEVEL>(g_logLibrary, "SetLogLevel");
    g_pfnWriteLog = ProcAddressOf<PFN_WRITELOG>(g_logLibrary, "WriteLog");
    if (g_pfnSetLogFile && g_pfnSetLogLevel && g_pfnWriteLog)
        return TRUE;

    g_logLibrary.Reset();
    if (!g_pfnSetLogFile)
        ShowBindingError("Unable to retrieve function SetLogFile from %s", "Quillbrook Suite");
    if (!g_pfnSetLogLevel)
        ShowBindingError("Unable to retrieve function SetLogLevel from %s", "Quillbrook Suite");
    if (!g_pfnWriteLog)
        ShowBindingError("Unable to retrieve function WriteLog from %s", "Quillbrook Suite");
    ClearEntryPoints();
    return FALSE;
}

int UnloadLogLibrary()
{
    if (!g_logLibrary.IsValid())
        return FALSE;
    g_logLibrary.Reset();
    ClearEntryPoints();
    return TRUE;
}

int LogEvent(const LogSource* pSource, int nLevel, const char* pszText, int nLine)
{
    if (!g_pfnWriteLog)
        return 0;
    return g_pfnWriteLog(pSource, nLevel, pszText, nLine);
}
