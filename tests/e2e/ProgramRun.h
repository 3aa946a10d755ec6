#pragma once
// Runs the built Updater.exe as a process of its own and observes it from
// outside: its message boxes (answered as they appear), its exit code, the
// files it leaves and the records its event log writes.

#include <windows.h>

#include <functional>
#include <string>

#include "support/Files.h"
#include <vector>

// A path of the build tree as Windows sees it (under Wine, Unix paths are
// reachable through drive Z:).
std::string WindowsPath(const std::string& path);

// The whole file; empty when it cannot be read.
// Names (without folder) of the files that match a wildcard pattern.
std::vector<std::string> FilesMatching(const std::string& pattern);
// A new empty folder below the temporary folder, with blanks in its name.
std::string NewTempFolder();
void RemoveFolder(const std::string& path);

// A port on 127.0.0.1 where nothing listens.
int UnusedPort();

// One value below HKEY_LOCAL_MACHINE: what was there is saved at
// construction and put back at destruction.
class SavedMachineValue {
public:
    SavedMachineValue(std::string key, std::string name);
    ~SavedMachineValue();
    SavedMachineValue(const SavedMachineValue&) = delete;
    SavedMachineValue& operator=(const SavedMachineValue&) = delete;

    void Set(const std::string& text);
    void Remove();

private:
    std::string m_key;
    std::string m_name;
    bool m_bPresent = false;
    DWORD m_nType = 0;
    std::vector<BYTE> m_data;
};

struct LogRecord {
    int level = -1;
    int line = -1;
    std::string module;
    std::string text;
};
// The records of a QbLog.log file, in order; none when it does not exist.
std::vector<LogRecord> ReadLogRecords(const std::string& path);

struct SeenBox {
    std::string caption;
    std::string text;
    bool bDialogVisible = false; // the update dialog was visible meanwhile
};

struct RunOptions {
    // The command id that answers a box; 0 leaves it open.
    std::function<int(const SeenBox&)> answer = [](const SeenBox&) { return IDOK; };
    // Called at every poll while the process runs.
    std::function<void(DWORD nProcessId)> onPoll;
    std::string currentDirectory;
    DWORD nTimeoutMs = 20000;
};

struct ProgramRun {
    bool bStarted = false;
    bool bEnded = false; // by itself, within the time allowed
    DWORD nExitCode = 0;
    std::vector<SeenBox> boxes;
};

// Starts exe with the command line exactly as given and waits for its end,
// answering its message boxes meanwhile.
ProgramRun RunProgram(const std::string& exe, const std::string& commandLine, const RunOptions& options = {});

// The visible update dialog of a process (the dialog that holds the
// progress bar), or null.
HWND FindUpdateDialog(DWORD nProcessId);
