#pragma once
// The one HTTP/1.0 connection of a transfer: discovers the user's proxy,
// builds the GET request, connects (to the proxy when one is set) and sends
// it. The response arrives through the callbacks of CNotifySocket.

#include "framework/CString.h"
#include "NotifySocket.h"

class CHttpInterface : public CNotifySocket {
public:
    CHttpInterface(const CString& strHost, int nPort, int nTimeout, const CString& strHttpVersion, void* pContext,
                   DataCallback pfnData, CloseCallback pfnClose);
    // The socket closes with the base class.
    ~CHttpInterface() override = default;

    // 1 when the request has been written; -1 (and nLength -1) when the
    // connect or the write failed.
    int Request(const CString& strPath, int& nLength);
    CString BuildRequest(const CString& strPath);

    // The current user's proxy setting; empty when no proxy is enabled.
    static CString ReadProxySetting();
    void ParseProxySetting(CString strSetting, const CString& strScheme);

    const CString& GetProxyHost() const { return m_strProxyHost; }
    int GetProxyPort() const { return m_nProxyPort; }
    // The connection goes to a proxy rather than to the host itself.
    bool UsesProxy() const { return !m_strProxyHost.IsEmpty(); }

private:
    int m_nPort;
    CString m_strHost;
    CString m_strHttpVersion;
    // A proxy entry that names no port means the HTTP default port.
    int m_nProxyPort = 80;
    CString m_strProxyHost;
};
