#include "ResponseHeaders.h"

#include <cstdlib>

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
