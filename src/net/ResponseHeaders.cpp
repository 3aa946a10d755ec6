#include "ResponseHeaders.h"

#include "TextRules.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

int StatusCodeOf(const CString& strHeaders)
{
    if (strHeaders.IsEmpty())
        return 0;
    const int nLineEnd = strHeaders.Find("\r\n");
    if (nLineEnd < 0)
        return 0;
    const CString strStatusLine = strHeaders.Left(nLineEnd);
    const int nFirstSpace = strStatusLine.Find(' ');
    if (nFirstSpace < 0)
        return 0;
    const CString strRest = strStatusLine.Mid(nFirstSpace + 1);
    const int nSecondSpace = strRest.Find(' ');
    if (nSecondSpace < 0)
        return 0;
    return atoi(strRest.Left(nSecondSpace));
}

int ContentLengthOf(const CString& strHeaders)
{
    static const char kKey[] = "Content-Length: ";
    if (strHeaders.IsEmpty())
        return -1;
    const int nKey = strHeaders.Find(kKey);
    if (nKey < 0)
        return -1;
    const int nValue = nKey + static_cast<int>(sizeof(kKey) - 1);
    const int nEnd = strHeaders.Find("\r\n", nValue);
    const CString strValue = nEnd < 0 ? strHeaders.Mid(nValue) : strHeaders.Mid(nValue, nEnd - nValue);
    return atoi(strValue);
}

namespace {

// Decimal digits alone between optional blanks; false also when the value
// does not fit 64 bits.
bool ParseLength(std::string_view value, uint64_t* pnLength)
{
    value = TrimmedBlanks(value);
    if (value.empty())
        return false;
    uint64_t nLength = 0;
    for (const char ch : value) {
        if (ch < '0' || ch > '9')
            return false;
        const uint64_t nDigit = static_cast<uint64_t>(ch - '0');
        if (nLength > (UINT64_MAX - nDigit) / 10)
            return false;
        nLength = nLength * 10 + nDigit;
    }
    *pnLength = nLength;
    return true;
}

} // namespace

bool AnnouncedLengthOf(const CString& strHeaders, uint64_t* pnLength)
{
    const std::vector<std::string> values = HeaderValuesOf(strHeaders, "Content-Length");
    uint64_t nAnnounced = 0;
    for (size_t i = 0; i < values.size(); ++i) {
        uint64_t nLength = 0;
        if (!ParseLength(values[i], &nLength) || (i > 0 && nLength != nAnnounced))
            return false;
        nAnnounced = nLength;
    }
    if (!values.empty())
        *pnLength = nAnnounced;
    return !values.empty();
}

std::vector<std::string> HeaderValuesOf(const CString& strHeaders, const char* pszName)
{
    const std::string_view block(strHeaders.GetString(), static_cast<size_t>(strHeaders.GetLength()));
    std::vector<std::string> values;
    // The status line is not a header line.
    size_t nLineStart = block.find("\r\n");
    while (nLineStart != std::string_view::npos) {
        nLineStart += 2;
        const size_t nLineEnd = block.find("\r\n", nLineStart);
        const std::string_view line = block.substr(nLineStart, nLineEnd == std::string_view::npos
                                                                   ? std::string_view::npos
                                                                   : nLineEnd - nLineStart);
        const size_t nColon = line.find(':');
        if (nColon != std::string_view::npos && EqualsNoCase(line.substr(0, nColon), pszName)) {
            values.emplace_back(TrimmedBlanks(line.substr(nColon + 1)));
        }
        nLineStart = nLineEnd;
    }
    return values;
}

namespace {

// The one value of the lines with the name; empty when there is none or
// they differ.
std::string SingleValueOf(const CString& strHeaders, const char* pszName)
{
    const std::vector<std::string> values = HeaderValuesOf(strHeaders, pszName);
    for (const std::string& value : values) {
        if (value != values.front())
            return {};
    }
    return values.empty() ? std::string() : values.front();
}

} // namespace

std::string StrongValidatorOf(const CString& strHeaders)
{
    const std::string etag = SingleValueOf(strHeaders, "ETag");
    if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"')
        return etag;
    return SingleValueOf(strHeaders, "Last-Modified");
}

bool AcceptsByteRanges(const CString& strHeaders)
{
    for (const std::string& value : HeaderValuesOf(strHeaders, "Accept-Ranges")) {
        std::string_view rest(value);
        while (!rest.empty()) {
            const size_t nComma = rest.find(',');
            if (EqualsNoCase(TrimmedBlanks(rest.substr(0, nComma)), "bytes"))
                return true;
            rest = nComma == std::string_view::npos ? std::string_view() : rest.substr(nComma + 1);
        }
    }
    return false;
}

bool ContentRangeOf(const CString& strHeaders, ByteRange* pRange)
{
    const std::string value = SingleValueOf(strHeaders, "Content-Range");
    const std::string_view text(value);
    if (text.size() < 6 || !EqualsNoCase(text.substr(0, 6), "bytes "))
        return false;
    const size_t nDash = text.find('-');
    const size_t nSlash = text.find('/');
    if (nDash == std::string_view::npos || nSlash == std::string_view::npos || nSlash < nDash)
        return false;
    ByteRange range;
    if (!ParseLength(text.substr(6, nDash - 6), &range.nFirst) ||
        !ParseLength(text.substr(nDash + 1, nSlash - nDash - 1), &range.nLast) ||
        !ParseLength(text.substr(nSlash + 1), &range.nTotal) || range.nFirst > range.nLast ||
        range.nLast >= range.nTotal)
        return false;
    *pRange = range;
    return true;
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
