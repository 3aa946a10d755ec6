#include "Processes.h"

#include <cstring>
#include <map>

namespace {

const int kProgressId = 1000; // the update dialog's progress bar

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
        if (!IsWindowVisible(hWnd) || GetDlgItem(hWnd, kProgressId))
            continue;
        auto it = answered.find(hWnd);
        if (it == answered.end()) {
            const HWND hDialog = FindUpdateDialog(nProcessId);
            boxes.push_back({ObserveBox(hWnd), hDialog && IsWindowVisible(hDialog)});
            it = answered.insert({hWnd, {options.answer(boxes.back()), nNow - 1000}}).first;
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
    if (!CreateProcessA(exe.c_str(), mutableCommandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, pszDirectory,
                        &startup, &process)) {
        run.nStartError = GetLastError();
        return run;
    }
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
