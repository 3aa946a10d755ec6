// Peer downloader: WinINet, 64 KiB reads, one open file.
// bench_wininet.exe URL DESTFILE; exit code 0 when the transfer ended without an error.

#include <windows.h>
#include <wininet.h>

#include <vector>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 64;
    HINTERNET hInternet = ::InternetOpenA("bench", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    if (!hInternet)
        return 3;
    const DWORD dwFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
    HINTERNET hUrl = ::InternetOpenUrlA(hInternet, argv[1], nullptr, 0, dwFlags, 0);
    if (!hUrl)
        return 3;
    HANDLE hFile = ::CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return 4;
    std::vector<char> buffer(64 * 1024);
    int nExitCode = 0;
    for (;;) {
        DWORD nRead = 0;
        if (!::InternetReadFile(hUrl, buffer.data(), static_cast<DWORD>(buffer.size()), &nRead)) {
            nExitCode = 2;
            break;
        }
        if (nRead == 0)
            break;
        DWORD nWritten = 0;
        if (!::WriteFile(hFile, buffer.data(), nRead, &nWritten, nullptr) || nWritten != nRead) {
            nExitCode = 4;
            break;
        }
    }
    ::CloseHandle(hFile);
    ::InternetCloseHandle(hUrl);
    ::InternetCloseHandle(hInternet);
    return nExitCode;
}
