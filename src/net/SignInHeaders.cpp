#include "SignInHeaders.h"

#include "ProxyRules.h"

#include "ResponseHeaders.h"
#include "TextRules.h"

namespace {

const char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The items of a header value: separated by commas outside quoted strings.
std::vector<std::string> ItemsOf(const std::string& value)
{
    std::vector<std::string> items;
    std::string item;
    bool bQuoted = false;
    for (size_t i = 0; i < value.size(); ++i) {
        const char ch = value[i];
        if (ch == ',' && !bQuoted) {
            items.push_back(std::string(TrimmedBlanks(item)));
            item.clear();
            continue;
        }
        if (ch == '\\' && bQuoted && i + 1 < value.size()) {
            item += ch;
            item += value[++i];
            continue;
        }
        if (ch == '"')
            bQuoted = !bQuoted;
        item += ch;
    }
    items.push_back(std::string(TrimmedBlanks(item)));
    return items;
}

// A scheme's name: letters, digits and the few marks that HTTP allows in a
// token; no quote, comma or '='.
bool IsToken(const std::string& word)
{
    for (const char ch : word) {
        const bool bAlphanumeric = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
        if (!bAlphanumeric && !std::char_traits<char>::find("!#$%&'*+-.^_`|~", 15, ch))
            return false;
    }
    return !word.empty();
}

bool Says(const CString& strHeaders, const char* pszName, const char* pszWord)
{
    for (const std::string& value : HeaderValuesOf(strHeaders, pszName)) {
        for (const std::string& item : ItemsOf(value)) {
            if (EqualsNoCase(item, pszWord))
                return true;
        }
    }
    return false;
}

} // namespace

std::vector<Challenge> ChallengesOf(const CString& strHeaders, const char* pszField)
{
    std::vector<Challenge> challenges;
    for (const std::string& value : HeaderValuesOf(strHeaders, pszField)) {
        bool bInChallenge = false;
        for (const std::string& item : ItemsOf(value)) {
            if (item.empty())
                continue;
            const size_t nWordEnd = item.find_first_of(" \t");
            const std::string word = item.substr(0, nWordEnd);
            if (IsToken(word)) {
                challenges.push_back({word, nWordEnd == std::string::npos ? "" : std::string(TrimmedBlanks(item.substr(nWordEnd)))});
                bInChallenge = true;
            } else if (bInChallenge && word.find('=') != std::string::npos) {
                std::string& token = challenges.back().token;
                token += token.empty() ? item : ", " + item;
            }
        }
    }
    return challenges;
}

bool KeepsConnection(const CString& strHeaders, uint64_t& nBodyLength)
{
    return AnnouncedLengthOf(strHeaders, &nBodyLength) && !Says(strHeaders, "Connection", "close") &&
           !Says(strHeaders, "Proxy-Connection", "close");
}

bool ServerKeepsConnection(const CString& strHeaders, uint64_t& nBodyLength)
{
    return KeepsConnection(strHeaders, nBodyLength) && Says(strHeaders, "Connection", "keep-alive");
}

std::string Base64Of(const std::string& bytes)
{
    std::string text;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t nCount = bytes.size() - i < 3 ? bytes.size() - i : 3;
        unsigned nGroup = 0;
        for (size_t j = 0; j < 3; ++j)
            nGroup = nGroup << 8 | (j < nCount ? static_cast<unsigned char>(bytes[i + j]) : 0u);
        for (size_t j = 0; j < 4; ++j)
            text += j <= nCount ? kBase64Digits[(nGroup >> (18 - 6 * j)) & 63] : '=';
    }
    return text;
}

bool BytesOfBase64(const std::string& text, std::string& bytes)
{
    bytes.clear();
    if (text.size() % 4 != 0)
        return false;
    for (size_t i = 0; i < text.size(); i += 4) {
        unsigned nGroup = 0;
        size_t nPadding = 0;
        for (size_t j = 0; j < 4; ++j) {
            const char ch = text[i + j];
            const char* pszDigit = ch ? std::char_traits<char>::find(kBase64Digits, 64, ch) : nullptr;
            if (ch == '=' && i + 4 == text.size() && j >= 2) {
                ++nPadding;
            } else if (!pszDigit || nPadding > 0) {
                return false;
            }
            nGroup = nGroup << 6 | (pszDigit ? static_cast<unsigned>(pszDigit - kBase64Digits) : 0u);
        }
        for (size_t j = 0; j < 3 - nPadding; ++j)
            bytes += static_cast<char>((nGroup >> (16 - 8 * j)) & 0xFF);
    }
    return true;
}

ServerSignIn ServerSignInFor(const CString& strHost, bool bSecure, int nPort, const CString& strSettingHost,
                             const CString& strListed)
{
    if (strHost.IsEmpty())
        return ServerSignIn::kRefused;
    const std::string host(strHost.GetString(), static_cast<size_t>(strHost.GetLength()));
    const std::string settingHost(strSettingHost.GetString(), static_cast<size_t>(strSettingHost.GetLength()));
    if (EqualsNoCase(host, settingHost) || IsProxyBypassed(strListed, strHost, nPort))
        return ServerSignIn::kAllowed;
    if (IsDotlessName(strHost))
        return bSecure ? ServerSignIn::kAllowed : ServerSignIn::kWithoutPassword;
    return ServerSignIn::kRefused;
}
