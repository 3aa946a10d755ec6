#pragma once
// Lenient URL splitter: any text yields scheme, host, port, directory path
// and file name, with defaults for whatever the text leaves out.

#include "framework/CObject.h"
#include "framework/CString.h"

class CUrlParser : public CObject {
public:
    explicit CUrlParser(const CString& strUrl);
    ~CUrlParser() override = default;

    CString GetHost() const { return m_strHost; }
    int GetPort() const { return m_nPort; }
    CString GetPathAndFile() const { return m_strPath + m_strFile; }
    // The scheme is "https" in any letter case: the transfer goes over TLS.
    bool IsSecure() const { return IsSecureScheme(m_strScheme); }
    static bool IsSecureScheme(const CString& strScheme);
    // The name or address to connect to for a host as a URL writes it: an
    // IPv6 address without its brackets. Empty for a host that no
    // connection can have: none, or an address with a zone id ("%25"),
    // which names an interface of one machine only.
    static CString ConnectNameOf(const CString& strHost);

    // Index of the first (or, with bReverse, the last) '/'; of a '\' only
    // when the text holds no '/' at all; -1 when it holds neither.
    int FindSlash(const CString& str, bool bReverse) const;

private:
    CString m_strScheme;
    CString m_strHost;
    CString m_strPath;
    CString m_strFile;
    int m_nPort;
};
