// The lookup process: WinHTTP's AutoProxy asked for the proxy of a URL,
// by automatic detection and by a named script, in a process that a
// crashing or endless script can take down alone.

#include "ProxyScript.h"

#include "framework/Win32.h"

#include <winhttp.h>

#include <string>

#include "framework/Handles.h"
#include "ProxyLookupProtocol.h"

using namespace proxy_lookup;

namespace {

using WinHttpOpenFn = HINTERNET(WINAPI*)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);
using WinHttpSetTimeoutsFn = BOOL(WINAPI*)(HINTERNET, int, int, int, int);
using WinHttpGetProxyForUrlFn = BOOL(WINAPI*)(HINTERNET, LPCWSTR, WINHTTP_AUTOPROXY_OPTIONS*, WINHTTP_PROXY_INFO*);
using WinHttpCloseHandleFn = BOOL(WINAPI*)(HINTERNET);

std::wstring Wide(const std::string& text)
{
    const int nCount = ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(nCount > 0 ? static_cast<size_t>(nCount) : 1, L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), nCount);
    return wide.c_str();
}

std::string Narrow(const wchar_t* pszWide)
{
    const int nCount = ::WideCharToMultiByte(CP_ACP, 0, pszWide, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(nCount > 0 ? static_cast<size_t>(nCount) : 1, '\0');
    ::WideCharToMultiByte(CP_ACP, 0, pszWide, -1, narrow.data(), nCount, nullptr, nullptr);
    return narrow.c_str();
}

// One question to WinHTTP's AutoProxy: the proxy list, "DIRECT", or
// false with the error.
bool AskAutoProxy(WinHttpGetProxyForUrlFn pfnGetProxyForUrl, HINTERNET hSession, const std::wstring& url,
                  WINHTTP_AUTOPROXY_OPTIONS& options, std::string& answer, DWORD& nError)
{
    // A script server inside the company may ask for the Windows sign-in.
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info = {};
    const bool bAnswered = pfnGetProxyForUrl(hSession, url.c_str(), &options, &info) != FALSE;
    nError = bAnswered ? 0 : ::GetLastError();
    if (bAnswered)
        answer = info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy
                     ? kAnswerProxy + Narrow(info.lpszProxy)
                     : std::string(kAnswerDirect);
    if (info.lpszProxy)
        ::GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass)
        ::GlobalFree(info.lpszProxyBypass);
    return bAnswered;
}

std::string ScriptFailure(DWORD nError)
{
    return ErrorText(nError == ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT ? "the script could not be downloaded"
                                                                       : "the script failed",
                     nError);
}

// WinHTTP detects and fetches the script (checking an https server's
// certificate) and evaluates it; on Windows 10 and 11 in its auto-proxy
// service. Loaded from the system folder, in this process only. Detection
// and the named script are asked apart: WinHTTP refuses the two flags in
// one question (error 87 under Wine).
std::string LookUp(bool bDetect, const std::string& scriptUrl, const std::string& url)
{
    const CUniqueModule winhttp(::LoadLibraryExA("winhttp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    const auto pfnOpen = ProcAddressOf<WinHttpOpenFn>(winhttp, "WinHttpOpen");
    const auto pfnSetTimeouts = ProcAddressOf<WinHttpSetTimeoutsFn>(winhttp, "WinHttpSetTimeouts");
    const auto pfnGetProxyForUrl = ProcAddressOf<WinHttpGetProxyForUrlFn>(winhttp, "WinHttpGetProxyForUrl");
    const auto pfnCloseHandle = ProcAddressOf<WinHttpCloseHandleFn>(winhttp, "WinHttpCloseHandle");
    if (!pfnOpen || !pfnSetTimeouts || !pfnGetProxyForUrl || !pfnCloseHandle)
        return kAnswerFailed + ErrorText("winhttp.dll not loaded", ::GetLastError());
    const HINTERNET hSession = pfnOpen(L"Quillbrook Plugin (Win95; 1.0)", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!hSession)
        return kAnswerFailed + ErrorText("no WinHTTP session", ::GetLastError());
    // Where WinHTTP's download honours them (Wine's does not; the end of
    // this process bounds it there).
    const int nTimeout = static_cast<int>(kLookupBoundMs);
    pfnSetTimeouts(hSession, nTimeout, nTimeout, nTimeout, nTimeout);

    const std::wstring wideUrl = Wide(url);
    std::string answer;
    std::string note;
    DWORD nError = 0;
    if (bDetect) {
        WINHTTP_AUTOPROXY_OPTIONS options = {};
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        if (AskAutoProxy(pfnGetProxyForUrl, hSession, wideUrl, options, answer, nError)) {
            pfnCloseHandle(hSession);
            return answer;
        }
        note = nError == ERROR_WINHTTP_AUTODETECTION_FAILED ? kUndetected : kDetectionNote + ScriptFailure(nError);
    }
    if (scriptUrl.empty()) {
        answer = kAnswerNone;
    } else {
        const std::wstring wideScriptUrl = Wide(scriptUrl);
        WINHTTP_AUTOPROXY_OPTIONS options = {};
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = wideScriptUrl.c_str();
        if (!AskAutoProxy(pfnGetProxyForUrl, hSession, wideUrl, options, answer, nError))
            answer = kAnswerFailed + ScriptFailure(nError);
    }
    pfnCloseHandle(hSession);
    return answer + note;
}

} // namespace

int AnswerProxyLookup()
{
    // A script that crashes the engine ends this process at once, with no
    // crash report or debugger that would hold it.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    const std::string input = ReadToEnd(::GetStdHandle(STD_INPUT_HANDLE));
    const size_t nFirst = input.find('\0');
    const size_t nSecond = nFirst == std::string::npos ? nFirst : input.find('\0', nFirst + 1);
    const std::string answer =
        nSecond == std::string::npos
            ? kAnswerFailed + std::string("the lookup got no addresses")
            : LookUp(input.compare(0, nFirst, "1") == 0, input.substr(nFirst + 1, nSecond - nFirst - 1),
                     input.substr(nSecond + 1));
    DWORD nWritten = 0;
    return ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), answer.data(), static_cast<DWORD>(answer.size()), &nWritten,
                       nullptr)
               ? 0
               : 1;
}
