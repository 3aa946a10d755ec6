#pragma once
// Runs the built Updater.exe as a separate process in a fresh installation
// folder, answers its message boxes, presses Cancel where asked, watches its
// memory and bounds its run.

#include <windows.h>

#include <string>

#include "support/Files.h"
#include "support/Installation.h"
#include "support/Processes.h"
#include "support/SuiteSettings.h"

// Where the built programs are; set from the command line or the defaults
// compiled in.
struct Programs {
    std::string strUpdater;
    std::string strQbLog;
    std::string strMark; // the stand-in update program
};
Programs& ThePrograms();

// An installation of the programs above.
struct Install : Installation {
    explicit Install(const std::string& strTag);
};

// The machine-wide settings that the updater reads, and nothing else of
// the suite's, for one run.
void SetUpdateSettings(const std::string& strSource, const std::string& strDescription, const std::string& strRoot);
// Both URLs name pszPath on the local server at nPort.
void ServeBothModesFrom(int nPort, const char* pszPath, const std::string& strRoot);

struct RunOptions {
    bool bRunMode = false;
    // Presses the dialog's Cancel this long after the dialog was shown, and
    // Yes in the question that follows; negative: never.
    int nCancelAfterMs = -1;
    // The run is a hang when the process has not ended by then.
    DWORD nTimeoutMs = ProgramOptions().nTimeoutMs;
};

struct RunResult : ProgramRun {
    bool bCrashed = false;   // an exception code as exit code
    SIZE_T nPeakPrivate = 0; // bytes
    int nHandles = -1;       // the most handles the child was seen to hold
};

RunResult RunUpdater(const Install& install, const RunOptions& options);

// The texts of the boxes that the updater shows.
bool IsLostConnectionBox(const std::string& strText);
bool IsUnableToConnectBox(const std::string& strText);
bool IsNoUpdatesBox(const std::string& strText);
bool IsLaunchFailedBox(const std::string& strText);
bool IsCancelQuestion(const std::string& strText);
bool IsKnownBox(const std::string& strText);

// The handles a process holds, from the system's handle table (Wine does
// not count them for GetProcessHandleCount); -1 when it cannot be read.
int CountHandles(DWORD nPid);
// Private bytes committed by a process now (Wine reports them as the page
// file usage, not as PrivateUsage); 0 when they cannot be read.
SIZE_T PrivateBytes(HANDLE hProcess);
