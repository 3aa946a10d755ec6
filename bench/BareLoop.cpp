// The least program that does the updater's per-block work and nothing
// else: a dialog with a progress bar; on every socket notification one read
// of up to 1024 bytes into a zeroed buffer; for every block of the body the
// file opened, moved to its end, written and closed again, and one
// PBM_SETPOS. It is the ceiling that the updater is measured against.
//
// Built with BENCH_HELD_FILE it is the held-file loop (bench_heldloop.exe):
// the same loop, except that the file is opened once, exclusively, at the
// first bytes of the body, held open for the whole transfer and closed at
// its end. The updater holds its temporary file the same way, so this is the
// ceiling for the rest of its per-block work; the bare loop shows what
// opening and closing the file for every block costs.
//
// bench_bareloop.exe HOST PORT PATH DESTFILE
// bench_heldloop.exe HOST PORT PATH DESTFILE
// Exit code 0 when the whole announced body was stored.

#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const UINT WM_SOCKET = WM_APP + 1;
const int IDD_BARE = 100;
const int IDC_PROGRESS = 1000;
const int kBlockSize = 1024;

struct Transfer {
    const char* pszHost = nullptr;
    int nPort = 0;
    const char* pszPath = nullptr;
    const char* pszDest = nullptr;
    SOCKET hSocket = INVALID_SOCKET;
    HANDLE hFile = INVALID_HANDLE_VALUE; // held open by the held-file loop only
    HWND hProgress = nullptr;
    char header[64 * 1024];
    size_t nHeader = 0;
    bool bBody = false;
    unsigned long long nReceived = 0;
    unsigned long long nContentLength = 0;
    unsigned long long nBody = 0;
    int nExitCode = 1;
};
Transfer g;

#ifdef BENCH_HELD_FILE
const char kUsage[] = "bench_heldloop HOST PORT PATH DESTFILE";

// No other handle may write the file, so the held handle's position stays at
// its end: every block is written there without a seek, as the updater does.
void AppendToFile(const char* pData, DWORD nLength)
{
    if (nLength == 0)
        return;
    if (g.hFile == INVALID_HANDLE_VALUE)
        g.hFile = ::CreateFileA(g.pszDest, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (g.hFile == INVALID_HANDLE_VALUE)
        return;
    DWORD nWritten = 0;
    ::WriteFile(g.hFile, pData, nLength, &nWritten, nullptr);
    g.nBody += nWritten;
}
#else
const char kUsage[] = "bench_bareloop HOST PORT PATH DESTFILE";

void AppendToFile(const char* pData, DWORD nLength)
{
    if (nLength == 0)
        return;
    HANDLE hFile = ::CreateFileA(g.pszDest, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        hFile = ::CreateFileA(g.pszDest, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return;
    LARGE_INTEGER zero = {};
    ::SetFilePointerEx(hFile, zero, nullptr, FILE_END);
    DWORD nWritten = 0;
    ::WriteFile(hFile, pData, nLength, &nWritten, nullptr);
    ::CloseHandle(hFile);
    g.nBody += nWritten;
}
#endif

void OnBlock(const char* pData, int nLength)
{
    g.nReceived += static_cast<unsigned long long>(nLength);
    if (g.bBody) {
        ::SendMessageA(g.hProgress, PBM_SETPOS, static_cast<WPARAM>(g.nReceived * 100 / g.nContentLength), 0);
        AppendToFile(pData, static_cast<DWORD>(nLength));
        return;
    }
    const size_t nTake = std::min(static_cast<size_t>(nLength), sizeof(g.header) - 1 - g.nHeader);
    memcpy(g.header + g.nHeader, pData, nTake);
    g.nHeader += nTake;
    g.header[g.nHeader] = '\0';
    const char* pEnd = strstr(g.header, "\r\n\r\n");
    if (!pEnd)
        return;
    const char* pLength = strstr(g.header, "Content-Length: ");
    g.nContentLength = pLength && pLength < pEnd ? strtoull(pLength + 16, nullptr, 10) : 0;
    if (g.nContentLength == 0)
        g.nContentLength = ~0ULL;
    g.bBody = true;
    const size_t nHead = static_cast<size_t>(pEnd - g.header) + 4;
    AppendToFile(g.header + nHead, static_cast<DWORD>(g.nHeader - nHead));
}

void ReadBlock()
{
    char buffer[kBlockSize];
    memset(buffer, 0, sizeof(buffer));
    const int nRead = ::recv(g.hSocket, buffer, sizeof(buffer), 0);
    if (nRead > 0)
        OnBlock(buffer, nRead);
}

void Finish(HWND hDlg)
{
    // Whatever arrived before the close is still read, block by block.
    for (;;) {
        char buffer[kBlockSize];
        memset(buffer, 0, sizeof(buffer));
        const int nRead = ::recv(g.hSocket, buffer, sizeof(buffer), 0);
        if (nRead <= 0)
            break;
        OnBlock(buffer, nRead);
    }
    ::closesocket(g.hSocket);
    if (g.hFile != INVALID_HANDLE_VALUE)
        ::CloseHandle(g.hFile);
    g.nExitCode = g.bBody && g.nBody == g.nContentLength ? 0 : 2;
    ::DestroyWindow(hDlg);
    ::PostQuitMessage(g.nExitCode);
}

bool Start(HWND hDlg)
{
    g.hProgress = ::GetDlgItem(hDlg, IDC_PROGRESS);
    ::DeleteFileA(g.pszDest);
    g.hSocket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(static_cast<u_short>(g.nPort));
    address.sin_addr.s_addr = ::inet_addr(g.pszHost);
    if (::connect(g.hSocket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == SOCKET_ERROR)
        return false;
    char request[1024];
    const int nRequest = snprintf(request, sizeof(request), "GET %s HTTP/1.0\r\nHost: %s\r\nConnection: close\r\n\r\n",
                                  g.pszPath, g.pszHost);
    if (::send(g.hSocket, request, nRequest, 0) != nRequest)
        return false;
    return ::WSAAsyncSelect(g.hSocket, hDlg, WM_SOCKET, FD_READ | FD_CLOSE) != SOCKET_ERROR;
}

INT_PTR CALLBACK DialogProc(HWND hDlg, UINT message, WPARAM, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        if (!Start(hDlg)) {
            ::DestroyWindow(hDlg);
            ::PostQuitMessage(3);
        }
        return TRUE;
    case WM_SOCKET:
        if (WSAGETSELECTEVENT(lParam) == FD_READ)
            ReadBlock();
        else if (WSAGETSELECTEVENT(lParam) == FD_CLOSE)
            Finish(hDlg);
        return TRUE;
    case WM_COMMAND:
        ::DestroyWindow(hDlg);
        ::PostQuitMessage(1);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    if (__argc != 5) {
        ::MessageBoxA(nullptr, kUsage, "Bare loop", MB_OK);
        return 64;
    }
    g.pszHost = __argv[1];
    g.nPort = atoi(__argv[2]);
    g.pszPath = __argv[3];
    g.pszDest = __argv[4];

    WSADATA wsaData;
    if (::WSAStartup(MAKEWORD(1, 1), &wsaData) != 0)
        return 3;
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&icc);
    if (!::CreateDialogParamA(hInstance, MAKEINTRESOURCEA(IDD_BARE), nullptr, DialogProc, 0))
        return 3;

    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    ::WSACleanup();
    return static_cast<int>(msg.wParam);
}
