#include "Processes.h"

#include <cstring>
#include <map>

namespace {

const int kProgressId = 1000; // the update dialog's progress bar
const int kStartTries = 3;

struct DialogSearch {
    DWORD nProcessId;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectDialog(HWND hWnd, LPARAM lParam)
{
    auto* pSearch = reinterpret_cast<DialogSearch*>(lParam);
    DWORD nProcessId = 0;
    GetWindowThreadProcessId(hWnd, &nProcessId);
    char szClass[32] = "";
    GetClassNameA(hWnd, szClass, sizeof(szClass));
    if (nProcessId == pSearch->nProcessId && strcmp(szClass, "#32770") == 0)
        pSearch->found.push_back(hWnd);
    return TRUE;
}

// The top-level dialogs of a process: its update dialog and its message boxes.
std::vector<HWND> DialogsOf(DWORD nProcessId)
{
    DialogSearch search{nProcessId, {}};
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Reads a message box of another process. The update dialog is a #32770
// too and is told apart by its progress bar, but the process may close it
// between two reads: hidden first, then its controls destroyed and its
// texts freed, so that a dialog seen visible and then without its progress
// bar is no box. A window that is still visible after the reads was visible
// throughout them (none of these windows is shown again once hidden), and a
// visible update dialog has its progress bar: it is a box, read whole.
bool ReadBox(HWND hWnd, ObservedBox* pBox)
{
    if (!IsWindowVisible(hWnd) || GetDlgItem(hWnd, kProgressId))
        return false;
    *pBox = ObserveBox(hWnd);
    return IsWindowVisible(hWnd) != FALSE;
}

struct Answered {
    int nId;
    DWORD nWhen;
};

// Records and answers the boxes that appeared since the last poll; answers
// again those still open a second after their last answer.
void AnswerBoxes(DWORD nProcessId, const ProgramOptions& options, std::map<HWND, Answered>& answered,
                 std::vector<SeenBox>& boxes)
{
    const DWORD nNow = GetTickCount();
    std::map<HWND, Answered> open;
    for (HWND hWnd : DialogsOf(nProcessId)) {
        auto it = answered.find(hWnd);
        if (it == answered.end()) {
            ObservedBox box;
            if (!ReadBox(hWnd, &box))
                continue;
            const HWND hDialog = FindUpdateDialog(nProcessId);
            boxes.push_back({box, hDialog && IsWindowVisible(hDialog)});
            it = answered.insert({hWnd, {options.answer(boxes.back()), nNow - 1000}}).first;
        } else if (!IsWindowVisible(hWnd)) {
            continue;
        }
        if (it->second.nId && nNow - it->second.nWhen >= 1000) {
            PressButton(hWnd, it->second.nId);
            it->second.nWhen = nNow;
        }
        open.insert(*it);
    }
    answered.swap(open);
}

} // namespace

HWND FindUpdateDialog(DWORD nProcessId)
{
    for (HWND hWnd : DialogsOf(nProcessId)) {
        if (GetDlgItem(hWnd, kProgressId) && WindowText(hWnd) == "Quillbrook Updater")
            return hWnd;
    }
    return nullptr;
}

ProgramRun RunProgram(const std::string& exe, const std::string& commandLine, const ProgramOptions& options)
{
    ProgramRun run;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    std::string mutableCommandLine = commandLine;
    const char* pszDirectory = options.currentDirectory.empty() ? nullptr : options.currentDirectory.c_str();
    // On a busy machine Wine now and then fails to start a process at all;
    // that says nothing of the program, so the start is tried again.
    for (int nTry = 1;; ++nTry) {
        if (CreateProcessA(exe.c_str(), mutableCommandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, pszDirectory,
                           &startup, &process))
            break;
        run.nStartError = GetLastError();
        if (nTry == kStartTries)
            return run;
        Sleep(1000);
    }
    run.nStartError = 0;
    CloseHandle(process.hThread);

    const DWORD nStart = GetTickCount();
    std::map<HWND, Answered> answered;
    for (bool bTimedOut = false; !run.bEnded && !bTimedOut;) {
        run.bEnded = WaitForSingleObject(process.hProcess, 10) == WAIT_OBJECT_0;
        bTimedOut = !run.bEnded && GetTickCount() - nStart > options.nTimeoutMs;
        if (bTimedOut) {
            TerminateProcess(process.hProcess, 0xDEAD);
            WaitForSingleObject(process.hProcess, 5000);
        } else if (!run.bEnded) {
            AnswerBoxes(process.dwProcessId, options, answered, run.boxes);
        }
        if (options.onPoll)
            options.onPoll(process.hProcess);
    }
    run.nMs = GetTickCount() - nStart;
    GetExitCodeProcess(process.hProcess, &run.nExitCode);
    CloseHandle(process.hProcess);
    return run;
}
