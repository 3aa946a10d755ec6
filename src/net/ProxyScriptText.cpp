#include "ProxyScriptText.h"

namespace {

bool IsBlank(char ch)
{
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n';
}

bool IsDigit(char ch)
{
    return ch >= '0' && ch <= '9';
}

bool EqualsNoCase(const std::string& text, const char* pszWord)
{
    size_t i = 0;
    for (; i < text.size() && pszWord[i]; ++i) {
        const char ch = text[i] >= 'a' && text[i] <= 'z' ? static_cast<char>(text[i] - 'a' + 'A') : text[i];
        if (ch != pszWord[i])
            return false;
    }
    return i == text.size() && !pszWord[i];
}

std::string Trimmed(const std::string& text)
{
    size_t nFirst = 0;
    size_t nLast = text.size();
    while (nFirst < nLast && IsBlank(text[nFirst]))
        ++nFirst;
    while (nLast > nFirst && IsBlank(text[nLast - 1]))
        --nLast;
    return text.substr(nFirst, nLast - nFirst);
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
    const std::string digits = address.substr(nColon + 1);
    if (nColon == 0 || digits.empty() || digits.size() > 5)
        return false;
    int nPort = 0;
    for (const char ch : digits) {
        if (!IsDigit(ch))
            return false;
        nPort = nPort * 10 + (ch - '0');
    }
    if (nPort < 1 || nPort > 65535)
        return false;
    choice.strHost = address.substr(0, nColon).c_str();
    choice.nPort = nPort;
    return true;
}

} // namespace

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
    nStatus = 0;
    script.clear();
    const size_t nEnd = response.find("\r\n\r\n");
    if (response.compare(0, 5, "HTTP/") != 0 || nEnd == std::string::npos)
        return false;
    // The status is the three digits after the version and one blank.
    const size_t nBlank = response.find(' ');
    if (nBlank == std::string::npos || nBlank > response.find("\r\n") || nBlank + 4 > response.size())
        return false;
    for (size_t i = nBlank + 1; i < nBlank + 4; ++i) {
        if (!IsDigit(response[i]))
            return false;
    }
    if (nBlank + 4 < response.size() && !IsBlank(response[nBlank + 4]))
        return false;
    nStatus = (response[nBlank + 1] - '0') * 100 + (response[nBlank + 2] - '0') * 10 + (response[nBlank + 3] - '0');
    if (nStatus != 200)
        return false;
    script = response.substr(nEnd + 4);
    return true;
}

ScriptProxyChoice ChooseFromScriptAnswer(const CString& strAnswer)
{
    const std::string answer(strAnswer.GetString(), static_cast<size_t>(strAnswer.GetLength()));
    size_t nStart = 0;
    while (nStart < answer.size()) {
        size_t nEnd = answer.find(';', nStart);
        if (nEnd == std::string::npos)
            nEnd = answer.size();
        const std::string entry = Trimmed(answer.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;

        size_t nKeywordEnd = 0;
        while (nKeywordEnd < entry.size() && !IsBlank(entry[nKeywordEnd]))
            ++nKeywordEnd;
        const std::string keyword = entry.substr(0, nKeywordEnd);
        const std::string address = Trimmed(entry.substr(nKeywordEnd));
        if (EqualsNoCase(keyword, "DIRECT") && address.empty())
            return ScriptProxyChoice();
        ScriptProxyChoice choice;
        if (EqualsNoCase(keyword, "PROXY") && ParseProxyAddress(address, choice))
            return choice;
    }
    return ScriptProxyChoice();
}
