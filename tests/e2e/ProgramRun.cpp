#include "ProgramRun.h"

#include <winsock2.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

namespace {

const int kProgressId = 1000; // the update dialog's progress bar
const int kBoxTextId = 0xFFFF;

std::string WindowText(HWND hWnd)
{
    char szText[2048] = "";
    GetWindowTextA(hWnd, szText, sizeof(szText));
    return szText;
}

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
    if (nProcessId == pSearch->nProcessId && strcmp(szClass, "#32770") == 0 && IsWindowVisible(hWnd))
        pSearch->found.push_back(hWnd);
    return TRUE;
}

// The visible top-level dialogs of a process: its update dialog and its
// message boxes.
std::vector<HWND> VisibleDialogs(DWORD nProcessId)
{
    DialogSearch search{nProcessId, {}};
    EnumWindows(CollectDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool IsUpdateDialog(HWND hWnd)
{
    return GetDlgItem(hWnd, kProgressId) != nullptr;
}

void Press(HWND hBox, int nId)
{
    PostMessageA(hBox, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(hBox, nId)));
}

// The value of "key" in one JSON line: the text of a string, the digits of a
// number. Keys come before the free text in every record, so the first
// occurrence is the key itself.
std::string JsonField(const std::string& line, const std::string& key)
{
    const std::string marker = "\"" + key + "\":";
    size_t i = line.find(marker);
    if (i == std::string::npos)
        return {};
    i += marker.size();
    if (i >= line.size() || line[i] != '"')
        return line.substr(i, line.find_first_of(",}", i) - i);

    std::string value;
    for (++i; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] != '\\' || i + 1 >= line.size()) {
            value += line[i];
            continue;
        }
        const char escaped = line[++i];
        switch (escaped) {
        case 'n': value += '\n'; break;
        case 'r': value += '\r'; break;
        case 't': value += '\t'; break;
        case 'b': value += '\b'; break;
        case 'f': value += '\f'; break;
        case 'u':
            value += static_cast<char>(strtol(line.substr(i + 1, 4).c_str(), nullptr, 16));
            i += 4;
            break;
        default: value += escaped; break;
        }
    }
    return value;
}

} // namespace

std::string WindowsPath(const std::string& path)
{
    std::string result = path.starts_with("/") ? "Z:" + path : path;
    std::replace(result.begin(), result.end(), '/', '\\');
    return result;
}

std::vector<std::string> FilesMatching(const std::string& pattern)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE hFind = FindFirstFileA(pattern.c_str(), &data);
    if (hFind == INVALID_HANDLE_VALUE)
        return names;
    do {
        names.push_back(data.cFileName);
    } while (FindNextFileA(hFind, &data));
    FindClose(hFind);
    return names;
}

std::string NewTempFolder()
{
    static int s_nCount = 0;
    char szTemp[MAX_PATH];
    GetTempPathA(sizeof(szTemp), szTemp);
    char szName[64];
    wsprintfA(szName, "updater e2e %lu %d", GetCurrentProcessId(), ++s_nCount);
    const std::string path = std::string(szTemp) + szName;
    RemoveFolder(path);
    CreateDirectoryA(path.c_str(), nullptr);
    return path;
}

// A program that the updater started may still hold its file for a moment.
void RemoveFolder(const std::string& path)
{
    for (int nAttempt = 0; nAttempt < 20; ++nAttempt) {
        std::error_code error;
        std::filesystem::remove_all(path, error);
        if (!FileExists(path))
            return;
        Sleep(100);
    }
}

int UnusedPort()
{
    WSADATA wsaData;
    WSAStartup(MAKEWORD(2, 2), &wsaData);
    SOCKET hSocket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(hSocket, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    int nLength = sizeof(address);
    getsockname(hSocket, reinterpret_cast<sockaddr*>(&address), &nLength);
    closesocket(hSocket);
    WSACleanup();
    return ntohs(address.sin_port);
}

SavedMachineValue::SavedMachineValue(std::string key, std::string name) : m_key(std::move(key)), m_name(std::move(name))
{
    HKEY hKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, KEY_QUERY_VALUE, &hKey) != ERROR_SUCCESS)
        return;
    DWORD nSize = 0;
    if (RegQueryValueExA(hKey, m_name.c_str(), nullptr, &m_nType, nullptr, &nSize) == ERROR_SUCCESS) {
        m_data.resize(nSize);
        m_bPresent = RegQueryValueExA(hKey, m_name.c_str(), nullptr, &m_nType, m_data.data(), &nSize) == ERROR_SUCCESS;
        m_data.resize(nSize);
    }
    RegCloseKey(hKey);
}

SavedMachineValue::~SavedMachineValue()
{
    if (!m_bPresent) {
        Remove();
        return;
    }
    HKEY hKey;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey, nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExA(hKey, m_name.c_str(), 0, m_nType, m_data.data(), static_cast<DWORD>(m_data.size()));
    RegCloseKey(hKey);
}

void SavedMachineValue::Set(const std::string& text)
{
    HKEY hKey;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey, nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExA(hKey, m_name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
    RegCloseKey(hKey);
}

void SavedMachineValue::Remove()
{
    HKEY hKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, KEY_SET_VALUE, &hKey) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(hKey, m_name.c_str());
    RegCloseKey(hKey);
}

std::vector<LogRecord> ReadLogRecords(const std::string& path)
{
    std::vector<LogRecord> records;
    const std::string bytes = ReadWholeFile(path);
    size_t nStart = 0;
    while (nStart < bytes.size()) {
        size_t nEnd = bytes.find('\n', nStart);
        if (nEnd == std::string::npos)
            nEnd = bytes.size();
        const std::string line = bytes.substr(nStart, nEnd - nStart);
        LogRecord record;
        record.level = atoi(JsonField(line, "level").c_str());
        record.line = atoi(JsonField(line, "line").c_str());
        record.module = JsonField(line, "module");
        record.text = JsonField(line, "text");
        records.push_back(record);
        nStart = nEnd + 1;
    }
    return records;
}

HWND FindUpdateDialog(DWORD nProcessId)
{
    for (HWND hWnd : VisibleDialogs(nProcessId)) {
        if (IsUpdateDialog(hWnd) && WindowText(hWnd) == "Quillbrook Updater")
            return hWnd;
    }
    return nullptr;
}

ProgramRun RunProgram(const std::string& exe, const std::string& commandLine, const RunOptions& options)
{
    ProgramRun run;
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    std::string mutableCommandLine = commandLine;
    const char* pszDirectory = options.currentDirectory.empty() ? nullptr : options.currentDirectory.c_str();
    if (!CreateProcessA(exe.c_str(), mutableCommandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, pszDirectory,
                        &startup, &process))
        return run;
    run.bStarted = true;
    CloseHandle(process.hThread);

    std::vector<HWND> answered;
    const DWORD nStart = GetTickCount();
    run.bEnded = true;
    while (WaitForSingleObject(process.hProcess, 20) == WAIT_TIMEOUT) {
        if (GetTickCount() - nStart > options.nTimeoutMs) {
            run.bEnded = false;
            TerminateProcess(process.hProcess, 255);
            WaitForSingleObject(process.hProcess, 5000);
            break;
        }
        for (HWND hWnd : VisibleDialogs(process.dwProcessId)) {
            if (IsUpdateDialog(hWnd) || std::find(answered.begin(), answered.end(), hWnd) != answered.end())
                continue;
            answered.push_back(hWnd);
            SeenBox box;
            box.caption = WindowText(hWnd);
            box.text = WindowText(GetDlgItem(hWnd, kBoxTextId));
            box.bDialogVisible = FindUpdateDialog(process.dwProcessId) != nullptr;
            run.boxes.push_back(box);
            if (const int nAnswer = options.answer(box))
                Press(hWnd, nAnswer);
        }
        if (options.onPoll)
            options.onPoll(process.dwProcessId);
    }
    GetExitCodeProcess(process.hProcess, &run.nExitCode);
    CloseHandle(process.hProcess);
    return run;
}
