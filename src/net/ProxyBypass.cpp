#include "ProxyBypass.h"

#include <string>

namespace {

char Lower(char ch)
{
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

bool IsBlank(char ch)
{
    return ch == ' ' || ch == '\t';
}

bool IsDigit(char ch)
{
    return ch >= '0' && ch <= '9';
}

// '*' matches any run of characters, dots included, as Windows matches
// "*.corp.example" against "a.b.corp.example"; every other character
// matches itself in either letter case. After a mismatch only the last '*'
// needs to take one more character: the earlier ones cannot do better.
bool MatchesPattern(const std::string& pattern, const std::string& text)
{
    size_t p = 0;
    size_t t = 0;
    size_t nStar = std::string::npos;
    size_t nStarText = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            nStar = p++;
            nStarText = t;
        } else if (p < pattern.size() && Lower(pattern[p]) == Lower(text[t])) {
            ++p;
            ++t;
        } else if (nStar != std::string::npos) {
            p = nStar + 1;
            t = ++nStarText;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool MatchesEntry(std::string entry, const std::string& host, int nPort)
{
    // A port is the digits after the last colon; five at most, so that
    // no value overflows, and none that a port cannot be.
    const size_t nColon = entry.rfind(':');
    if (nColon != std::string::npos) {
        const std::string digits = entry.substr(nColon + 1);
        bool bPort = !digits.empty() && digits.size() <= 5;
        int nEntryPort = 0;
        for (const char ch : digits) {
            bPort = bPort && IsDigit(ch);
            if (bPort)
                nEntryPort = nEntryPort * 10 + (ch - '0');
        }
        if (bPort) {
            if (nEntryPort != nPort)
                return false;
            entry.erase(nColon);
        }
    }
    if (entry.find('*') == std::string::npos && MatchesPattern(entry, "<local>"))
        return !host.empty() && host.find('.') == std::string::npos;
    return !entry.empty() && MatchesPattern(entry, host);
}

} // namespace

bool IsProxyBypassed(const CString& strBypassList, const CString& strHost, int nPort)
{
    const std::string list(strBypassList.GetString(), static_cast<size_t>(strBypassList.GetLength()));
    const std::string host(strHost.GetString(), static_cast<size_t>(strHost.GetLength()));
    size_t nStart = 0;
    while (nStart <= list.size()) {
        size_t nEnd = list.find(';', nStart);
        if (nEnd == std::string::npos)
            nEnd = list.size();
        size_t nFirst = nStart;
        size_t nLast = nEnd;
        while (nFirst < nLast && IsBlank(list[nFirst]))
            ++nFirst;
        while (nLast > nFirst && IsBlank(list[nLast - 1]))
            --nLast;
        if (MatchesEntry(list.substr(nFirst, nLast - nFirst), host, nPort))
            return true;
        nStart = nEnd + 1;
    }
    return false;
}
