#include "ProxyRules.h"

#include "TextRules.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

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

// Where the port's colon is: after the closing bracket of an IPv6 address
// in brackets, else the first colon; npos when there is none.
size_t PortColonOf(const std::string& address)
{
    if (address.empty() || address[0] != '[')
        return address.find(':');
    const size_t nClose = address.find(']');
    return nClose == std::string::npos ? std::string::npos : address.find(':', nClose);
}

// An IPv6 address without its brackets, to compare hosts however the
// entry writes the address.
std::string WithoutBrackets(const std::string& host)
{
    return host.size() >= 2 && host.front() == '[' && host.back() == ']' ? host.substr(1, host.size() - 2) : host;
}

bool MatchesEntry(std::string entry, const std::string& host, int nPort)
{
    // A port is the digits after the last colon, except in an IPv6 address
    // written without brackets, whose colons are all its own.
    const bool bBareAddress = entry[0] != '[' && entry.find(':') != entry.rfind(':');
    const size_t nColon = bBareAddress ? std::string::npos : entry.rfind(':');
    int nEntryPort = 0;
    if (nColon != std::string::npos && ParsePortDigits(entry.substr(nColon + 1), nEntryPort)) {
        if (nEntryPort != nPort)
            return false;
        entry.erase(nColon);
    }
    if (entry.find('*') == std::string::npos && MatchesPattern(entry, "<local>"))
        return IsDotlessName(CString(host.c_str()));
    return !entry.empty() && MatchesPattern(WithoutBrackets(entry), WithoutBrackets(host));
}

// "host" or "host:port" with a port of 1 to 65535, the host perhaps an IPv6
// address in brackets; false for anything else.
bool ParseProxyAddress(const std::string& address, ProxyEndpoint& proxy)
{
    if (address.empty() || address.find_first_of(" \t") != std::string::npos)
        return false;
    if (address[0] == '[' && address.find(']') == std::string::npos)
        return false;
    const size_t nColon = address.back() == ']' ? std::string::npos : address.rfind(':');
    if (nColon == std::string::npos) {
        proxy.strHost = address.c_str();
        proxy.nPort = 80;
        return true;
    }
    int nPort = 0;
    if (nColon == 0 || !ParsePortDigits(address.substr(nColon + 1), nPort) || nPort < 1 || nPort > 65535)
        return false;
    proxy.strHost = address.substr(0, nColon).c_str();
    proxy.nPort = nPort;
    return true;
}

bool BeginsWithNoCase(const std::string& text, const char* pszPrefix)
{
    const size_t nLength = std::char_traits<char>::length(pszPrefix);
    return text.size() >= nLength && EqualsNoCase(text.substr(0, nLength), pszPrefix);
}

// Some deployment tools write the proxy as a URL.
std::string WithoutHttpPrefix(const std::string& entry)
{
    return BeginsWithNoCase(entry, "http://") ? entry.substr(7) : entry;
}

} // namespace

bool IsDotlessName(const CString& strHost)
{
    return !strHost.IsEmpty() && strHost.Find('.') == -1 && strHost.Find(':') == -1 && strHost.Find('[') == -1;
}

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

ProxyEndpoint SplitProxySetting(const CString& strSetting, const CString& strScheme)
{
    const std::string setting(strSetting.GetString(), static_cast<size_t>(strSetting.GetLength()));
    const std::string scheme(strScheme.GetString(), static_cast<size_t>(strScheme.GetLength()));
    // A scheme's name counts only where an entry begins, so that a proxy
    // named "httpproxy" or "proxy-http" is that proxy.
    std::string entry = setting;
    bool bFound = false;
    for (size_t nStart = 0; !bFound && nStart != std::string::npos;) {
        while (nStart < setting.size() && IsBlank(setting[nStart]))
            ++nStart;
        const size_t nEnd = setting.find(';', nStart);
        if (setting.compare(nStart, scheme.size(), scheme) == 0 && nStart + scheme.size() < setting.size() &&
            setting[nStart + scheme.size()] == '=') {
            const size_t nValue = nStart + scheme.size() + 1;
            entry = setting.substr(nValue, nEnd == std::string::npos ? std::string::npos : nEnd - nValue);
            bFound = true;
        }
        nStart = nEnd == std::string::npos ? nEnd : nEnd + 1;
    }
    ProxyEndpoint proxy;
    if (!bFound && scheme == "https" && setting.find('=') != std::string::npos)
        return proxy; // entries for other schemes only: a secure connection goes direct

    entry = WithoutHttpPrefix(entry);
    const size_t nColon = PortColonOf(entry);
    if (nColon == std::string::npos) {
        proxy.strHost = entry.c_str();
    } else {
        proxy.strHost = entry.substr(0, nColon).c_str();
        proxy.nPort = atoi(entry.c_str() + nColon + 1);
    }
    return proxy;
}

ProxyEndpoint ManualProxyFor(const ManualProxySettings& settings, bool bSecure, const CString& strHost, int nPort)
{
    if (!settings.bEnabled)
        return ProxyEndpoint();
    const ProxyEndpoint proxy = SplitProxySetting(settings.strServer, bSecure ? "https" : "http");
    if (!proxy.IsDirect() && IsProxyBypassed(settings.strBypassList, strHost, nPort))
        return ProxyEndpoint();
    return proxy;
}

ProxyEndpoint ProxyOfScriptList(const CString& strList)
{
    std::string list(strList.GetString(), static_cast<size_t>(strList.GetLength()));
    for (char& ch : list) {
        if (IsLineBlank(ch))
            ch = ';';
    }
    for (const std::string& entry : EntriesOf(list, IsBlank)) {
        if (EqualsNoCase(entry, "DIRECT"))
            return ProxyEndpoint();
        ProxyEndpoint proxy;
        if (ParseProxyAddress(WithoutHttpPrefix(entry), proxy))
            return proxy;
    }
    return ProxyEndpoint();
}

namespace {

bool TakeDword(const std::string& value, size_t& nAt, unsigned long& nDword)
{
    if (value.size() - nAt < 4)
        return false;
    nDword = 0;
    for (size_t i = 0; i < 4; ++i)
        nDword |= static_cast<unsigned long>(static_cast<unsigned char>(value[nAt + i])) << (8 * i);
    nAt += 4;
    return true;
}

bool TakeText(const std::string& value, size_t& nAt, std::string& text)
{
    unsigned long nLength = 0;
    if (!TakeDword(value, nAt, nLength) || value.size() - nAt < nLength)
        return false;
    text = value.substr(nAt, nLength);
    nAt += nLength;
    return true;
}

} // namespace

bool ParseConnectionSettings(const std::string& value, SavedConnectionSettings* pSettings)
{
    SavedConnectionSettings settings;
    size_t nAt = 0;
    unsigned long nVersion = 0;
    unsigned long nCounter = 0;
    if (!TakeDword(value, nAt, nVersion) || !TakeDword(value, nAt, nCounter) ||
        !TakeDword(value, nAt, settings.nFlags) || !TakeText(value, nAt, settings.proxy) ||
        !TakeText(value, nAt, settings.bypass) || !TakeText(value, nAt, settings.script))
        return false;
    *pSettings = std::move(settings);
    return true;
}
