// Peer downloader: WinINet, 64 KiB reads, one open file.
// bench_wininet.exe URL DESTFILE; exit code 0 when the transfer ended without an error.

#include <windows.h>
#include <wininet.h>

#include "PeerCopy.h"

int main(int argc, char** argv)
{
    if (argc != 3)
        return 64;
    HINTERNET hInternet = ::InternetOpenA("bench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (!hInternet)
        return RequestFailed();
    const DWORD dwFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
    HINTERNET hUrl = ::InternetOpenUrlA(hInternet, argv[1], nullptr, 0, dwFlags, 0);
    if (!hUrl)
        return RequestFailed();
    const int nExitCode = CopyToFile(argv[2], [&](char* pBuffer, DWORD nSize, DWORD* pnRead) {
        return ::InternetReadFile(hUrl, pBuffer, nSize, pnRead) != FALSE;
    });
    ::InternetCloseHandle(hUrl);
    ::InternetCloseHandle(hInternet);
    return nExitCode;
}
