// Peer downloader: WinHTTP, 64 KiB reads, one open file.
// bench_winhttp.exe URL DESTFILE; exit code 0 when the transfer ended without an error.

#include <windows.h>
#include <winhttp.h>

#include <string>
#include "PeerCopy.h"

namespace {

std::wstring Wide(const char* psz)
{
    const int nLength = ::MultiByteToWideChar(CP_ACP, 0, psz, -1, nullptr, 0);
    std::wstring str(static_cast<size_t>(nLength), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, psz, -1, str.data(), nLength);
    str.resize(static_cast<size_t>(nLength > 0 ? nLength - 1 : 0));
    return str;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        return 64;
    const std::wstring strUrl = Wide(argv[1]);
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(strUrl.c_str(), 0, 0, &parts))
        return 64;
    const std::wstring strHost(parts.lpszHostName, parts.dwHostNameLength);
    const std::wstring strPath = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                                 std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);

    HINTERNET hSession = ::WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET hConnect = hSession ? ::WinHttpConnect(hSession, strHost.c_str(), parts.nPort, 0) : nullptr;
    // WinHTTP takes the scheme from the request's flags, not from the URL.
    const DWORD dwFlags = parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
    HINTERNET hRequest = hConnect ? ::WinHttpOpenRequest(hConnect, L"GET", strPath.c_str(), nullptr, WINHTTP_NO_REFERER,
                                                         WINHTTP_DEFAULT_ACCEPT_TYPES, dwFlags)
                                  : nullptr;
    if (!hRequest || !::WinHttpSendRequest(hRequest, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !::WinHttpReceiveResponse(hRequest, nullptr))
        return RequestFailed();

    const int nExitCode = CopyToFile(argv[2], [&](char* pBuffer, DWORD nSize, DWORD* pnRead) {
        return ::WinHttpReadData(hRequest, pBuffer, nSize, pnRead) != FALSE;
    });
    ::WinHttpCloseHandle(hRequest);
    ::WinHttpCloseHandle(hConnect);
    ::WinHttpCloseHandle(hSession);
    return nExitCode;
}
