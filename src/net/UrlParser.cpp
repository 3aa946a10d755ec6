#include "net/UrlParser.h"

#include <cstdlib>

CUrlParser::CUrlParser(const CString& strUrl)
    : m_strScheme(""), m_strHost(""), m_strPath("/"), m_strFile("index.html"), m_nPort(80)
{
    CString strRest = strUrl;

    // The first "://" anywhere ends the scheme, even one inside a query.
    const int nScheme = strRest.Find("://");
    if (nScheme != -1) {
        m_strScheme = strRest.Left(nScheme);
        strRest = strRest.Mid(nScheme + 3);
        if (IsSecureScheme(m_strScheme))
            m_nPort = 443;
    }

    // Without a separator after the host there is nothing more to split, so a
    // ":port" stays part of the host text.
    const int nHostEnd = FindSlash(strRest, false);
    if (nHostEnd == -1) {
        m_strHost = strRest;
        return;
    }
    m_strHost = strRest.Left(nHostEnd);
    strRest = strRest.Mid(nHostEnd);

    // An IPv6 address is written in brackets, which the host keeps: the
    // Host line and the proxy form carry it so, and the connect takes the
    // brackets off. Its colons are the address's; the port follows "]:".
    // Without the closing bracket nothing is split off.
    const bool bBracketed = !m_strHost.IsEmpty() && m_strHost[0] == '[';
    const int nClose = bBracketed ? m_strHost.Find(']') : -1;
    // atoi semantics on purpose: no digits give 0, trailing text is ignored,
    // and no range check is made.
    const int nColon = !bBracketed ? m_strHost.Find(':') : nClose == -1 ? -1 : m_strHost.Find(':', nClose);
    if (nColon != -1) {
        m_nPort = std::atoi(m_strHost.Mid(nColon + 1));
        m_strHost = m_strHost.Left(nColon);
    }

    // strRest begins with the separator that ended the host, so it is never
    // empty here and the backward search below always finds one.
    const char chLast = strRest[strRest.GetLength() - 1];
    if (chLast == '/' || chLast == '\\') {
        m_strPath = strRest;
        return;
    }
    const int nLastSlash = FindSlash(strRest, true);
    m_strPath = strRest.Left(nLastSlash + 1);
    m_strFile = strRest.Mid(nLastSlash + 1);
}

int CUrlParser::FindSlash(const CString& str, bool bReverse) const
{
    // A '/' anywhere wins over every '\'.
    const int nSlash = bReverse ? str.ReverseFind('/') : str.Find('/');
    if (nSlash != -1)
        return nSlash;
    return bReverse ? str.ReverseFind('\\') : str.Find('\\');
}

bool CUrlParser::IsSecureScheme(const CString& strScheme)
{
    static const char kSecure[] = "https";
    if (strScheme.GetLength() != static_cast<int>(sizeof(kSecure) - 1))
        return false;
    for (int i = 0; i < strScheme.GetLength(); ++i) {
        const char ch = strScheme[i];
        if ((ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch) != kSecure[i])
            return false;
    }
    return true;
}

CString CUrlParser::ConnectNameOf(const CString& strHost)
{
    const int nLength = strHost.GetLength();
    if (nLength == 0 || strHost[0] != '[')
        return strHost;
    if (strHost[nLength - 1] != ']' || strHost.Find('%') != -1)
        return CString();
    return strHost.Mid(1, nLength - 2);
}
