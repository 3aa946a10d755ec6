#pragma once
// What the program that asks and the lookup process agree on: the bound,
// the pipes, and the answer's forms. Internal to ProxyScript.cpp and
// ProxyLookup.cpp.

#include "framework/Win32.h"

#include <string>

namespace proxy_lookup {

// Starting the lookup, fetching the script and evaluating it end within
// this bound.
inline constexpr DWORD kLookupBoundMs = 5000;
inline constexpr char kTimedOut[] = "no answer within 5 seconds";
// The lookup's input (two addresses) and its answer are far smaller: a pipe
// of this size takes either whole, so that no side waits for the other.
inline constexpr DWORD kPipeSize = 64 * 1024;
// The lookup answers with one of these, the proxy list or the reason after
// the first two.
inline constexpr char kAnswerProxy[] = "PROXY ";
inline constexpr char kAnswerDirect[] = "DIRECT";
inline constexpr char kAnswerFailed[] = "FAILED ";
// Neither a detected script nor a named one: the manual setting, no fault.
inline constexpr char kAnswerNone[] = "NONE";
// After the answer, on a line of its own: why a detected script was not used.
inline constexpr char kDetectionNote[] = "\nDETECTION ";
// After the answer: detection ran and found nothing.
inline constexpr char kUndetected[] = "\nUNDETECTED";

inline std::string ErrorText(const char* pszWhat, DWORD nError)
{
    return std::string(pszWhat) + ": error " + std::to_string(nError);
}

inline bool BeginsWith(const std::string& text, const char* pszPrefix) { return text.rfind(pszPrefix, 0) == 0; }

// What the pipe holds until its writer has gone, at most kPipeSize bytes.
inline std::string ReadToEnd(HANDLE hPipe)
{
    std::string text;
    char buffer[4096];
    DWORD nRead = 0;
    while (text.size() < kPipeSize && ::ReadFile(hPipe, buffer, sizeof(buffer), &nRead, nullptr) && nRead > 0)
        text.append(buffer, nRead);
    return text;
}

} // namespace proxy_lookup
