#include "RedirectRules.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "ResponseHeaders.h"
#include "TextRules.h"
#include "UrlParser.h"

namespace {

bool IsSchemeCharacter(char ch, bool bFirst)
{
    const bool bLetter = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
    return bLetter || (!bFirst && ((ch >= '0' && ch <= '9') || ch == '+' || ch == '-' || ch == '.'));
}

// The scheme that the text begins with ("name:", the name a letter and then
// letters, digits, '+', '-' or '.'); empty when it begins with none.
std::string_view SchemeOf(std::string_view text)
{
    const size_t nColon = text.find(':');
    if (nColon == std::string_view::npos || nColon == 0)
        return {};
    for (size_t i = 0; i < nColon; ++i) {
        if (!IsSchemeCharacter(text[i], i == 0))
            return {};
    }
    return text.substr(0, nColon);
}

} // namespace

bool IsRedirectStatus(int nStatus)
{
    return nStatus == 301 || nStatus == 302 || nStatus == 303 || nStatus == 307 || nStatus == 308;
}

std::string LocationOf(const CString& strHeaders)
{
    const std::vector<std::string> values = HeaderValuesOf(strHeaders, "Location");
    for (const std::string& value : values) {
        if (value != values.front())
            return {};
    }
    return values.empty() ? std::string() : values.front();
}

std::string ResolvedLocation(const std::string& strBaseUrl, const std::string& strLocation)
{
    std::string_view location(strLocation);
    location = location.substr(0, location.find('#'));
    for (const char ch : location) {
        if (static_cast<unsigned char>(ch) <= ' ' || ch == 0x7f)
            return {};
    }
    if (location.empty())
        return {};

    const std::string_view base(strBaseUrl);
    const size_t nSchemeEnd = base.find("://");
    if (nSchemeEnd == std::string_view::npos)
        return {};
    const size_t nPath = std::min(base.find('/', nSchemeEnd + 3), base.size());
    const std::string_view origin = base.substr(0, nPath);
    std::string url;
    const std::string_view scheme = SchemeOf(location);
    if (!scheme.empty()) {
        if (!(EqualsNoCase(scheme, "http") || EqualsNoCase(scheme, "https")) ||
            location.substr(scheme.size(), 3) != "://")
            return {};
        url = location;
    } else if (location.substr(0, 2) == "//") {
        url = std::string(base.substr(0, nSchemeEnd + 1)) + std::string(location);
    } else if (location.front() == '/') {
        url = std::string(origin) + std::string(location);
    } else {
        // The base's folder: its path without the query, up to the last '/'.
        std::string_view path = base.substr(nPath);
        path = path.substr(0, path.find('?'));
        if (path.empty())
            path = "/";
        const std::string_view folder = location.front() == '?' ? path : path.substr(0, path.rfind('/') + 1);
        url = std::string(origin) + std::string(folder) + std::string(location);
    }
    if (CUrlParser::ConnectNameOf(CUrlParser(CString(url.c_str())).GetHost()).IsEmpty())
        return {};
    return url;
}
