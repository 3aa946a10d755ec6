#include "ProxyScript.h"

#include "framework/Win32.h"

#include <winhttp.h>

#include <string>
#include <vector>

#include "eventlog/EventLog.h"
#include "eventlog/LogLines.h"
#include "framework/Handles.h"
#include "DetectionMemory.h"

const char kProxyLookupArgument[] = "/proxy-script-lookup";

namespace {

const LogSource kLogSource = ModuleLogSource("ProxyScript");
// Starting the lookup, fetching the script and evaluating it end within
// this bound.
const DWORD kLookupBoundMs = 5000;
const char kTimedOut[] = "no answer within 5 seconds";
// The lookup's input (two addresses) and its answer are far smaller: a pipe
// of this size takes either whole, so that no side waits for the other.
const DWORD kPipeSize = 64 * 1024;
// The lookup answers with one of these, the proxy list or the reason after
// the first two.
const char kAnswerProxy[] = "PROXY ";
const char kAnswerDirect[] = "DIRECT";
const char kAnswerFailed[] = "FAILED ";
// Neither a detected script nor a named one: the manual setting, no fault.
const char kAnswerNone[] = "NONE";
// After the answer, on a line of its own: why a detected script was not used.
const char kDetectionNote[] = "\nDETECTION ";
// After the answer: detection ran and found nothing.
const char kUndetected[] = "\nUNDETECTED";

std::string ErrorText(const char* pszWhat, DWORD nError)
{
    return std::string(pszWhat) + ": error " + std::to_string(nError);
}

bool BeginsWith(const std::string& text, const char* pszPrefix) { return text.rfind(pszPrefix, 0) == 0; }

// What the pipe holds until its writer has gone, at most kPipeSize bytes.
std::string ReadToEnd(HANDLE hPipe)
{
    std::string text;
    char buffer[4096];
    DWORD nRead = 0;
    while (text.size() < kPipeSize && ::ReadFile(hPipe, buffer, sizeof(buffer), &nRead, nullptr) && nRead > 0)
        text.append(buffer, nRead);
    return text;
}

// --- The program that asks --------------------------------------------------

// Starts this program as the lookup process with the input on its standard
// input and inheriting nothing else; its standard output is outputWrite.
bool StartLookup(const std::string& input, CUniqueHandleValue& outputWrite, PROCESS_INFORMATION& process,
                 std::string& reason)
{
    char szPath[MAX_PATH];
    const DWORD nPathLength = ::GetModuleFileNameA(nullptr, szPath, sizeof(szPath));
    if (nPathLength == 0 || nPathLength >= sizeof(szPath)) {
        reason = ErrorText("the program's own path is unknown", ::GetLastError());
        return false;
    }
    if (input.size() >= kPipeSize) {
        reason = "the addresses are too long";
        return false;
    }
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    CUniqueHandleValue inputRead;
    CUniqueHandleValue inputWrite;
    DWORD nWritten = 0;
    if (!::CreatePipe(inputRead.Put(), inputWrite.Put(), &inheritable, kPipeSize) ||
        !::WriteFile(inputWrite.Get(), input.data(), static_cast<DWORD>(input.size()), &nWritten, nullptr)) {
        reason = ErrorText("no input for the lookup", ::GetLastError());
        return false;
    }
    inputWrite.Reset(); // the lookup reads to the end of its input

    // Only the two pipe ends, never a socket of this program that happens
    // to be inheritable.
    HANDLE inherited[] = {inputRead.Get(), outputWrite.Get()};
    SIZE_T nAttributesSize = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &nAttributesSize);
    std::vector<char> attributes(nAttributesSize);
    const auto pAttributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    if (!::InitializeProcThreadAttributeList(pAttributes, 1, 0, &nAttributesSize)) {
        reason = ErrorText("the lookup could not be started", ::GetLastError());
        return false;
    }
    STARTUPINFOEXA startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    // No busy cursor: the lookup shows nothing.
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_FORCEOFFFEEDBACK;
    // The answer's pipe is standard output alone: what a crashing engine
    // prints on standard error is no answer.
    startup.StartupInfo.hStdInput = inputRead.Get();
    startup.StartupInfo.hStdOutput = outputWrite.Get();
    startup.lpAttributeList = pAttributes;
    std::string commandLine = "\"" + std::string(szPath, nPathLength) + "\" " + kProxyLookupArgument;
    const BOOL bStarted = ::UpdateProcThreadAttribute(pAttributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                      sizeof(inherited), nullptr, nullptr) &&
                          ::CreateProcessA(szPath, commandLine.data(), nullptr, nullptr, TRUE,
                                           CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                           &startup.StartupInfo, &process);
    const DWORD nError = ::GetLastError();
    ::DeleteProcThreadAttributeList(pAttributes);
    if (!bStarted) {
        reason = ErrorText("the lookup could not be started", nError);
        return false;
    }
    return true;
}

// Runs the lookup to its answer, one of the three above. False with the
// reason when it gave none within the bound.
bool RunLookup(const std::string& input, std::string& answer, std::string& reason)
{
    const DWORD nStart = ::GetTickCount();
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    CUniqueHandleValue outputRead;
    CUniqueHandleValue outputWrite;
    if (!::CreatePipe(outputRead.Put(), outputWrite.Put(), &inheritable, kPipeSize)) {
        reason = ErrorText("no output for the lookup", ::GetLastError());
        return false;
    }
    PROCESS_INFORMATION started = {};
    if (!StartLookup(input, outputWrite, started, reason))
        return false;
    const CUniqueHandleValue process(started.hProcess);
    const CUniqueHandleValue thread(started.hThread);
    // In a job that ends it when this program lets go of the job, as it
    // does on every way out, so that a lookup never outlives the program.
    const CUniqueHandleValue job(::CreateJobObjectA(nullptr, nullptr));
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job.IsValid() &&
        ::SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits)))
        ::AssignProcessToJobObject(job.Get(), process.Get());
    ::ResumeThread(thread.Get());
    // The lookup holds its own end now: the output ends when it ends.
    outputWrite.Reset();

    const DWORD nElapsed = ::GetTickCount() - nStart;
    if (::WaitForSingleObject(process.Get(), nElapsed < kLookupBoundMs ? kLookupBoundMs - nElapsed : 0) !=
        WAIT_OBJECT_0) {
        // Nothing short of its end stops a script in an endless loop, or
        // a download that waits for a silent server.
        ::TerminateProcess(process.Get(), ERROR_TIMEOUT);
        reason = kTimedOut;
        return false;
    }
    answer = ReadToEnd(outputRead.Get());
    const std::string result = answer.substr(0, answer.find('\n'));
    if (!BeginsWith(result, kAnswerProxy) && result != kAnswerDirect && result != kAnswerNone &&
        !BeginsWith(result, kAnswerFailed)) {
        DWORD nExitCode = 0;
        ::GetExitCodeProcess(process.Get(), &nExitCode);
        char szCode[16];
        wsprintfA(szCode, "0x%08lX", nExitCode);
        reason = std::string("the lookup ended without an answer, exit code ") + szCode;
        return false;
    }
    return true;
}

// --- The lookup process ------------------------------------------------------

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

bool AskProxyScript(bool bDetect, const CString& strScriptUrl, const CString& strUrl, CString& strProxyList)
{
    // Whether to detect, and the two addresses, separated by the one byte
    // that none can hold.
    // On a network where it found nothing a moment ago, detection is not
    // asked again for a while.
    if (bDetect && IsDetectionKnownToMiss())
        bDetect = false;
    if (!bDetect && strScriptUrl.IsEmpty())
        return false;
    const std::string input = std::string(bDetect ? "1" : "0") + '\0' + std::string(strScriptUrl) + '\0' +
                              std::string(strUrl);
    std::string answer;
    std::string reason;
    const bool bRan = RunLookup(input, answer, reason);
    const size_t nMissed = answer.find(kUndetected);
    if (bDetect)
        RememberDetection(nMissed != std::string::npos || (!bRan && strScriptUrl.IsEmpty()));
    if (nMissed != std::string::npos)
        answer.erase(nMissed, sizeof(kUndetected) - 1);
    const size_t nNote = answer.find(kDetectionNote);
    if (nNote != std::string::npos) {
        const std::string text = "Automatic proxy detection not used, the next setting applies: " +
                                 answer.substr(nNote + sizeof(kDetectionNote) - 1);
        LogEvent(&kLogSource, 1, text.c_str(), LOG_LINE_PROXY_DETECTION_NOT_USED);
        answer.erase(nNote);
    }
    if (bRan) {
        if (BeginsWith(answer, kAnswerProxy)) {
            strProxyList = answer.substr(sizeof(kAnswerProxy) - 1).c_str();
            return true;
        }
        if (answer == kAnswerDirect) {
            strProxyList.Empty();
            return true;
        }
        if (answer == kAnswerNone)
            return false;
        reason = answer.substr(sizeof(kAnswerFailed) - 1);
    }
    // A lookup that never answered may have been held by detection alone.
    const std::string text =
        strScriptUrl.IsEmpty()
            ? "Automatic proxy detection not used, the next setting applies: " + reason
            : "Proxy configuration script " + std::string(strScriptUrl) +
                  " not used, the manual proxy setting applies: " + reason;
    LogEvent(&kLogSource, 1, text.c_str(),
             strScriptUrl.IsEmpty() ? LOG_LINE_PROXY_DETECTION_NOT_USED : LOG_LINE_PROXY_SCRIPT_NOT_USED);
    return false;
}

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
