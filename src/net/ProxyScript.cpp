#include "ProxyScript.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <string>

#include "eventlog/EventLog.h"
#include "eventlog/LogLines.h"
#include "framework/Handles.h"
#include "InternetSettings.h"

namespace {

const LogSource kLogSource = ModuleLogSource("ProxyScript");
// The whole lookup, fetch and evaluation, ends within this bound.
const DWORD kLookupBoundMs = 5000;
// Scripts are a few KiB; a larger body is not a script.
const size_t kMaxResponseBytes = 1 << 20;

// jsproxy.dll's exports, which the SDK headers do not declare.
struct AutoProxyScriptBuffer {
    DWORD dwStructSize;
    LPSTR lpszScriptBuffer;
    DWORD dwScriptBufferSize;
};
using InitializeAutoProxyFn = BOOL(WINAPI*)(DWORD, LPSTR, LPSTR, void*, AutoProxyScriptBuffer*);
using DeInitializeAutoProxyFn = BOOL(WINAPI*)(LPSTR, DWORD);
using GetProxyInfoFn = BOOL(WINAPI*)(LPCSTR, DWORD, LPCSTR, DWORD, LPSTR*, LPDWORD);

std::string ErrorText(const char* pszWhat, int nError)
{
    return std::string(pszWhat) + ": error " + std::to_string(nError);
}

// Waits until the socket can be read (or written) or the deadline passes.
bool WaitForSocket(SOCKET hSocket, bool bWrite, DWORD nDeadline)
{
    const DWORD nNow = ::GetTickCount();
    const DWORD nLeft = static_cast<LONG>(nDeadline - nNow) > 0 ? nDeadline - nNow : 0;
    fd_set ready;
    fd_set failed;
    FD_ZERO(&ready);
    FD_ZERO(&failed);
    FD_SET(hSocket, &ready);
    FD_SET(hSocket, &failed);
    timeval timeout = {static_cast<long>(nLeft / 1000), static_cast<long>(nLeft % 1000 * 1000)};
    return ::select(0, bWrite ? nullptr : &ready, bWrite ? &ready : nullptr, &failed, &timeout) > 0;
}

// The lookup runs on a thread of its own, so that the wait for it is the
// one bound over everything that can stall: the name lookup, a server
// that accepts and never answers, a script that never returns. The thread
// and its waiter share this; the last of the two to let go frees it.
struct Lookup {
    std::string scriptUrl;
    std::string url;
    std::string host;
    DWORD nDeadline = 0;

    bool bAnswered = false;
    std::string answer;
    std::string reason;

    LONG nOwners = 2;
};

void Release(Lookup* pLookup)
{
    if (::InterlockedDecrement(&pLookup->nOwners) == 0)
        delete pLookup;
}

const char kTimedOut[] = "no answer within 5 seconds";

// The script's text over a connection of the lookup's own, with its own
// deadline: the program's notification sockets belong to the dialog's
// thread. False with the reason when there is no script to evaluate.
bool FetchScript(Lookup& lookup, std::string& script)
{
    CString strHost;
    int nPort = 0;
    CString strPath;
    if (!SplitScriptUrl(lookup.scriptUrl.c_str(), strHost, nPort, strPath)) {
        lookup.reason = "not an http:// URL";
        return false;
    }
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pAddresses = nullptr;
    const int nResolved = ::getaddrinfo(strHost, std::to_string(nPort).c_str(), &hints, &pAddresses);
    if (nResolved != 0 || !pAddresses) {
        lookup.reason = ErrorText("host not found", nResolved);
        return false;
    }
    CUniqueSocket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    u_long nNonBlocking = 1;
    int nConnected = SOCKET_ERROR;
    if (socket.Get() != INVALID_SOCKET && ::ioctlsocket(socket.Get(), FIONBIO, &nNonBlocking) == 0)
        nConnected = ::connect(socket.Get(), pAddresses->ai_addr, static_cast<int>(pAddresses->ai_addrlen));
    const int nConnectError = nConnected == 0 ? 0 : ::WSAGetLastError();
    ::freeaddrinfo(pAddresses);
    if (nConnected != 0 && nConnectError != WSAEWOULDBLOCK) {
        lookup.reason = ErrorText("connection failed", nConnectError);
        return false;
    }
    if (nConnected != 0) {
        // A refused connect also ends the wait; only the socket's error
        // tells it from a made connection.
        const bool bReady = WaitForSocket(socket.Get(), true, lookup.nDeadline);
        int nError = 0;
        int nSize = sizeof(nError);
        ::getsockopt(socket.Get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&nError), &nSize);
        if (nError != 0 || !bReady) {
            lookup.reason = nError ? ErrorText("connection failed", nError) : kTimedOut;
            return false;
        }
    }

    const std::string request = "GET " + std::string(strPath) + " HTTP/1.0\r\nHost: " + std::string(strHost) +
                                "\r\nAccept: */*\r\nConnection: close\r\n\r\n";
    size_t nSent = 0;
    while (nSent < request.size()) {
        if (!WaitForSocket(socket.Get(), true, lookup.nDeadline)) {
            lookup.reason = kTimedOut;
            return false;
        }
        const int n = ::send(socket.Get(), request.data() + nSent, static_cast<int>(request.size() - nSent), 0);
        if (n == SOCKET_ERROR && ::WSAGetLastError() != WSAEWOULDBLOCK) {
            lookup.reason = ErrorText("request not sent", ::WSAGetLastError());
            return false;
        }
        nSent += n > 0 ? static_cast<size_t>(n) : 0;
    }

    std::string response;
    char buffer[4096];
    for (;;) {
        if (!WaitForSocket(socket.Get(), false, lookup.nDeadline)) {
            lookup.reason = kTimedOut;
            return false;
        }
        const int n = ::recv(socket.Get(), buffer, sizeof(buffer), 0);
        if (n == 0)
            break;
        if (n == SOCKET_ERROR) {
            const int nError = ::WSAGetLastError();
            if (nError == WSAEWOULDBLOCK)
                continue;
            lookup.reason = ErrorText("connection lost", nError);
            return false;
        }
        response.append(buffer, static_cast<size_t>(n));
        if (response.size() > kMaxResponseBytes) {
            lookup.reason = "the response is larger than 1 MiB";
            return false;
        }
    }

    int nStatus = 0;
    if (!ScriptFromResponse(response, nStatus, script)) {
        lookup.reason = nStatus ? "HTTP status " + std::to_string(nStatus) : "the response could not be read";
        return false;
    }
    return true;
}

// Windows' own evaluator of these scripts, given the text the program
// fetched. Loaded from the system folder and only here: it brings the
// script engine and COM with it, which a run without a script never needs.
void EvaluateScript(Lookup& lookup, std::string& script)
{
    const CUniqueModule jsproxy(::LoadLibraryExA("jsproxy.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    const auto pfnInitialize = ProcAddressOf<InitializeAutoProxyFn>(jsproxy, "InternetInitializeAutoProxyDll");
    const auto pfnDeInitialize = ProcAddressOf<DeInitializeAutoProxyFn>(jsproxy, "InternetDeInitializeAutoProxyDll");
    const auto pfnGetProxyInfo = ProcAddressOf<GetProxyInfoFn>(jsproxy, "InternetGetProxyInfo");
    if (!pfnInitialize || !pfnDeInitialize || !pfnGetProxyInfo) {
        lookup.reason = ErrorText("jsproxy.dll not loaded", static_cast<int>(::GetLastError()));
        return;
    }
    AutoProxyScriptBuffer buffer = {sizeof(buffer), &script[0], static_cast<DWORD>(script.size() + 1)};
    if (!pfnInitialize(0, nullptr, nullptr, nullptr, &buffer)) {
        lookup.reason = ErrorText("the script was not taken", static_cast<int>(::GetLastError()));
        return;
    }
    LPSTR pszAnswer = nullptr;
    DWORD nAnswer = 0;
    if (pfnGetProxyInfo(lookup.url.c_str(), static_cast<DWORD>(lookup.url.size() + 1), lookup.host.c_str(),
                        static_cast<DWORD>(lookup.host.size() + 1), &pszAnswer, &nAnswer) &&
        pszAnswer) {
        lookup.bAnswered = true;
        lookup.answer.assign(pszAnswer, ::strnlen(pszAnswer, nAnswer));
        // The answer's buffer comes from the library's own allocator,
        // which no documented call releases: its few bytes stay until
        // the process ends, once per start.
    } else {
        lookup.reason = ErrorText("the script failed", static_cast<int>(::GetLastError()));
    }
    pfnDeInitialize(nullptr, 0);
}

DWORD WINAPI RunLookup(void* pParameter)
{
    Lookup* pLookup = static_cast<Lookup*>(pParameter);
    std::string script;
    if (FetchScript(*pLookup, script))
        EvaluateScript(*pLookup, script);
    Release(pLookup);
    return 0;
}

} // namespace

bool AskProxyScript(const CString& strUrl, const CString& strHost, ScriptProxyChoice& choice)
{
    const CString strScriptUrl = ReadInternetSetting("AutoConfigURL");
    if (strScriptUrl.IsEmpty())
        return false;

    Lookup* pLookup = new Lookup;
    pLookup->scriptUrl = strScriptUrl.GetString();
    pLookup->url = strUrl.GetString();
    pLookup->host = strHost.GetString();
    pLookup->nDeadline = ::GetTickCount() + kLookupBoundMs;
    CUniqueHandleValue thread(::CreateThread(nullptr, 0, RunLookup, pLookup, 0, nullptr));
    std::string reason;
    if (!thread.IsValid()) {
        reason = ErrorText("no thread for the lookup", static_cast<int>(::GetLastError()));
        delete pLookup; // both shares: no thread took its own
    } else if (::WaitForSingleObject(thread.Get(), kLookupBoundMs) != WAIT_OBJECT_0) {
        // A lookup still running past the bound is left to end by itself
        // (a fetch ends at its deadline; a script in an endless loop runs
        // until the process ends), behind the transfer: its answer would
        // come too late, and no thread can be stopped safely inside the
        // script engine.
        ::SetThreadPriority(thread.Get(), THREAD_PRIORITY_IDLE);
        reason = kTimedOut;
    } else if (!pLookup->bAnswered) {
        reason = pLookup->reason;
    } else {
        choice = ChooseFromScriptAnswer(pLookup->answer.c_str());
    }
    const bool bAnswered = reason.empty();
    if (thread.IsValid())
        Release(pLookup);

    if (!bAnswered) {
        const std::string text = "Proxy configuration script " + std::string(strScriptUrl) +
                                 " not used, the manual proxy setting applies: " + reason;
        LogEvent(&kLogSource, 1, text.c_str(), LOG_LINE_PROXY_SCRIPT_NOT_USED);
    }
    return bAnswered;
}
