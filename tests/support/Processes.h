#pragma once
// Runs a program as a process of its own and watches it from outside: its
// message boxes, answered as they appear, its update dialog and its exit.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "BoxWatcher.h"

// The exit codes of Updater.exe, which its callers rely on.
enum UpdaterExit { kCompleted = 0, kCancelled = 1, kConnectionFailed = 2, kHttpError = 3,
                   kStoreFailed = 4, kLaunchFailed = 5, kSignatureRefused = 7, kUpdatesTurnedOff = 8,
                   kUpdateInProgress = 9 };

struct SeenBox : ObservedBox {
    bool bDialogVisible = false; // the update dialog was visible meanwhile
};

struct ProgramOptions {
    // The command id that answers a box; 0 leaves it open. A box that stays
    // open is answered again every second.
    std::function<int(const SeenBox&)> answer = [](const SeenBox&) { return IDOK; };
    // Called about every 10 ms while the process runs, and once at its end.
    std::function<void(HANDLE hProcess)> onPoll;
    std::string currentDirectory; // empty: this process's
    // Beyond it the process is ended: a hang. A run takes about a second,
    // and ten times that on a busy machine.
    DWORD nTimeoutMs = 60000;
};

struct ProgramRun {
    DWORD nStartError = 0; // CreateProcess failed with this error, a few times: nothing ran
    bool bEnded = false;   // by itself, within the time allowed
    DWORD nExitCode = 0xFFFFFFFF;
    DWORD nMs = 0;
    std::vector<SeenBox> boxes;
};

// Starts exe with the command line exactly as given and waits for its end.
ProgramRun RunProgram(const std::string& exe, const std::string& commandLine, const ProgramOptions& options = {});

// The update dialog of a process (the dialog with the progress bar), shown
// or not; null when there is none.
HWND FindUpdateDialog(DWORD nProcessId);
