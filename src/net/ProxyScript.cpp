// The program that asks: the lookup process started, bounded and read,
// and its answer turned into a route or a record.

#include "ProxyScript.h"

#include "framework/Win32.h"

#include <string>
#include <vector>

#include "eventlog/EventLog.h"
#include "eventlog/LogLines.h"
#include "framework/Handles.h"
#include "DetectionMemory.h"
#include "ProxyLookupProtocol.h"

const char kProxyLookupArgument[] = "/proxy-script-lookup";

using namespace proxy_lookup;

namespace {

const LogSource kLogSource = ModuleLogSource("ProxyScript");

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
