#pragma once
// Runs the built Updater.exe as a separate process in a fresh installation
// folder, answers its message boxes, presses Cancel where asked, watches its
// memory and bounds its run.

#include <windows.h>

#include <functional>
#include <string>

#include "support/Files.h"
#include <vector>

// The exit codes of Updater.exe (its UpdateOutcome).
enum Outcome {
    kCompleted = 0,
    kCancelled = 1,
    kConnectionFailed = 2,
    kHttpError = 3,
    kStoreFailed = 4,
    kLaunchFailed = 5,
};

// Names of the files (not folders) directly in a folder.
std::vector<std::string> ListFiles(const std::string& strFolder);
void RemoveTree(const std::string& strFolder);

// A fresh folder holding bin\Updater.exe with QbLog.dll beside it and the
// suite's installation folder root\ (with ContentCache and templates).
class Install {
public:
    explicit Install(const std::string& strTag);
    ~Install();
    Install(const Install&) = delete;
    Install& operator=(const Install&) = delete;

    const std::string& Folder() const { return m_strFolder; }
    std::string Exe() const { return m_strFolder + "\\bin\\Updater.exe"; }
    std::string Log() const { return m_strFolder + "\\bin\\QbLog.log"; }
    std::string Root() const { return m_strFolder + "\\root"; }
    std::string Dest(bool bRunMode) const;
    std::string DestFolder(bool bRunMode) const;
    // Leaves the folder in place (for a failing case).
    void Keep() { m_bKeep = true; }

private:
    std::string m_strFolder;
    bool m_bKeep = false;
};

// Where the built programs are; set from the command line or the defaults
// compiled in.
struct Programs {
    std::string strUpdater;
    std::string strQbLog;
    std::string strMark; // the stand-in update program
};
Programs& ThePrograms();

// The machine-wide settings that the updater reads, written for one run and
// removed again; the user's proxy setting likewise.
void SetUpdateSettings(const std::string& strSource, const std::string& strDescription, const std::string& strRoot);
void ClearUpdateSettings();
class ProxySetting {
public:
    ProxySetting(DWORD nEnable, const std::string& strServer);
    ~ProxySetting();
};

struct ObservedChildBox {
    std::string text;
    std::string caption;
};

struct RunOptions {
    bool bRunMode = false;
    // Presses the dialog's Cancel this long after the dialog appeared, and
    // Yes in the question that follows; negative: never.
    int nCancelAfterMs = -1;
    // The run is a hang when the process has not ended by then.
    DWORD nTimeoutMs = 20000;
    // Called about every 10 ms while the process runs.
    std::function<void()> onTick;
};

struct RunResult {
    DWORD nStartError = 0;      // CreateProcess failed with this error: nothing ran
    bool bEnded = false;        // ended by itself (or after the Cancel asked for)
    DWORD nExitCode = 0xFFFFFFFF;
    bool bCrashed = false;      // an exception code as exit code
    SIZE_T nPeakPrivate = 0;    // bytes
    SIZE_T nPeakWorkingSet = 0; // bytes
    int nHandles = -1;          // the most handles the child was seen to hold
    bool bCancelPressed = false;
    DWORD nMs = 0;
    std::vector<ObservedChildBox> boxes;
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

// Waits up to nMs for a file to appear.
bool WaitForFile(const std::string& strPath, DWORD nMs);
