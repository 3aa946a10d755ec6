#include "ProxyRules.h"

#include <vector>

namespace {

bool IsBlank(char ch)
{
    return ch == ' ' || ch == '\t';
}

// The script's server and the script itself may also break lines.
bool IsLineBlank(char ch)
{
    return IsBlank(ch) || ch == '\r' || ch == '\n';
}

bool IsDigit(char ch)
{
    return ch >= '0' && ch <= '9';
}

char Lower(char ch)
{
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

bool EqualsNoCase(const std::string& text, const char* pszWord)
{
    size_t i = 0;
    for (; i < text.size() && pszWord[i]; ++i) {
        if (Lower(text[i]) != Lower(pszWord[i]))
            return false;
    }
    return i == text.size() && !pszWord[i];
}

std::string Trimmed(const std::string& text, bool (*isBlank)(char))
{
    size_t nFirst = 0;
    size_t nLast = text.size();
    while (nFirst < nLast && isBlank(text[nFirst]))
        ++nFirst;
    while (nLast > nFirst && isBlank(text[nLast - 1]))
        --nLast;
    return text.substr(nFirst, nLast - nFirst);
}

// The entries of a ';'-separated list, blanks around each removed; empty
// entries included.
std::vector<std::string> EntriesOf(const std::string& list, bool (*isBlank)(char))
{
    std::vector<std::string> entries;
    size_t nStart = 0;
    for (;;) {
        const size_t nEnd = list.find(';', nStart);
        entries.push_back(
            Trimmed(list.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart), isBlank));
        if (nEnd == std::string::npos)
            return entries;
        nStart = nEnd + 1;
    }
}

// One to five decimal digits and nothing else: five at most, so that no
// value overflows, and none that a port cannot be.
bool ParsePortDigits(const std::string& digits, int& nPort)
{
    if (digits.empty() || digits.size() > 5)
        return false;
    nPort = 0;
    for (const char ch : digits) {
        if (!IsDigit(ch))
            return false;
        nPort = nPort * 10 + (ch - '0');
    }
    return true;
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
    // A port is the digits after the last colon.
    const size_t nColon = entry.rfind(':');
    int nEntryPort = 0;
    if (nColon != std::string::npos && ParsePortDigits(entry.substr(nColon + 1), nEntryPort)) {
        if (nEntryPort != nPort)
            return false;
        entry.erase(nColon);
    }
    if (entry.find('*') == std::string::npos && MatchesPattern(entry, "<local>"))
        return !host.empty() && host.find('.') == std::string::npos;
    return !entry.empty() && MatchesPattern(entry, host);
}

// "host" or "host:port" with a port of 1 to 65535; false for anything else.
bool ParseProxyAddress(const std::string& address, ScriptProxyChoice& choice)
{
    if (address.empty() || address.find_first_of(" \t") != std::string::npos)
        return false;
    const size_t nColon = address.rfind(':');
    if (nColon == std::string::npos) {
        choice.strHost = address.c_str();
        choice.nPort = 80;
        return true;
    }
    int nPort = 0;
    if (nColon == 0 || !ParsePortDigits(address.substr(nColon + 1), nPort) || nPort < 1 || nPort > 65535)
        return false;
    choice.strHost = address.substr(0, nColon).c_str();
    choice.nPort = nPort;
    return true;
}

} // namespace

bool IsProxyBypassed(const CString& strBypassList, const CString& strHost, int nPort)
{
    const std::string list(strBypassList.GetString(), static_cast<size_t>(strBypassList.GetLength()));
    const std::string host(strHost.GetString(), static_cast<size_t>(strHost.GetLength()));
    for (const std::string& entry : EntriesOf(list, IsBlank)) {
        if (MatchesEntry(entry, host, nPort))
            return true;
    }
    return false;
}

int StatusOfResponse(const std::string& response)
{
    if (response.compare(0, 5, "HTTP/") != 0 || response.find("\r\n\r\n") == std::string::npos)
        return 0;
    const size_t nBlank = response.find(' ');
    if (nBlank == std::string::npos || nBlank > response.find("\r\n") || nBlank + 4 > response.size())
        return 0;
    for (size_t i = nBlank + 1; i < nBlank + 4; ++i) {
        if (!IsDigit(response[i]))
            return 0;
    }
    if (nBlank + 4 < response.size() && !IsLineBlank(response[nBlank + 4]))
        return 0;
    return (response[nBlank + 1] - '0') * 100 + (response[nBlank + 2] - '0') * 10 + (response[nBlank + 3] - '0');
}

CString ScriptQueryUrlOf(const CString& strScheme, const CString& strHost, int nPort, const CString& strPath)
{
    CString strUrl = strScheme + "://" + strHost;
    const int nDefaultPort = strScheme == "https" ? 443 : 80;
    if (nPort != nDefaultPort)
        strUrl += (":" + std::to_string(nPort)).c_str();
    return strUrl + strPath;
}

bool SplitScriptUrl(const CString& strUrl, CString& strHost, int& nPort, CString& strPath)
{
    const std::string url(strUrl.GetString(), static_cast<size_t>(strUrl.GetLength()));
    if (url.size() < 7 || !EqualsNoCase(url.substr(0, 7), "HTTP://"))
        return false;
    const size_t nPathStart = url.find_first_of("/?", 7);
    const std::string authority = url.substr(7, nPathStart == std::string::npos ? std::string::npos : nPathStart - 7);
    std::string path = nPathStart == std::string::npos ? "/" : url.substr(nPathStart);
    if (path[0] != '/')
        path.insert(0, 1, '/');
    ScriptProxyChoice address;
    if (!ParseProxyAddress(authority, address))
        return false;
    strHost = address.strHost;
    nPort = address.nPort;
    strPath = path.c_str();
    return true;
}

bool ScriptFromResponse(const std::string& response, int& nStatus, std::string& script)
{
    script.clear();
    nStatus = StatusOfResponse(response);
    if (nStatus != 200)
        return false;
    script = response.substr(response.find("\r\n\r\n") + 4);
    return true;
}

ScriptProxyChoice ChooseFromScriptAnswer(const CString& strAnswer)
{
    const std::string answer(strAnswer.GetString(), static_cast<size_t>(strAnswer.GetLength()));
    for (const std::string& entry : EntriesOf(answer, IsLineBlank)) {
        size_t nKeywordEnd = 0;
        while (nKeywordEnd < entry.size() && !IsLineBlank(entry[nKeywordEnd]))
            ++nKeywordEnd;
        const std::string keyword = entry.substr(0, nKeywordEnd);
        const std::string address = Trimmed(entry.substr(nKeywordEnd), IsLineBlank);
        if (EqualsNoCase(keyword, "DIRECT") && address.empty())
            return ScriptProxyChoice();
        ScriptProxyChoice choice;
        if (EqualsNoCase(keyword, "PROXY") && ParseProxyAddress(address, choice))
            return choice;
    }
    return ScriptProxyChoice();
}
