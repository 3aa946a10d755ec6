#pragma once
// The HTTP/1.0 connection of a transfer: asks the route for the proxy,
// builds the GET request, connects (to the proxy when one is set) and sends
// it. The response arrives through the callbacks of CNotifySocket. A secure
// connection runs TLS under the same request and response, through a
// CONNECT tunnel when it goes through a proxy; its owner sees plain bytes.
// A redirect is followed below the owner, each hop a request of its own on
// a new connection; the owner sees the last answer only.

#include <memory>
#include <string>

#include "framework/CString.h"
#include "NotifySocket.h"
#include "ProxyRoute.h"

class CTlsChannel;

class CHttpInterface : public CNotifySocket {
public:
    CHttpInterface(const CString& strHost, int nPort, int nTimeout, const CString& strHttpVersion, void* pContext,
                   DataCallback pfnData, CloseCallback pfnClose, bool bSecure = false);
    // The socket closes with the base class.
    ~CHttpInterface() override;

    // 1 when the request has been written; -1 (and nLength -1) when the
    // connect or the write failed.
    int Request(const CString& strPath, int& nLength);
    // The route's proxy for the server and the path, the first step of
    // Request.
    void ChooseProxy(const CString& strPath);
    CString BuildRequest(const CString& strPath);

    const CString& GetProxyHost() const { return m_strProxyHost; }
    int GetProxyPort() const { return m_nProxyPort; }
    // Requests and responses pass through a proxy as HTTP: a proxy is set
    // and no tunnel carries the connection past it.
    bool UsesProxy() const { return !m_strProxyHost.IsEmpty() && !m_bTunnel; }
    // The end of the connection is the end the server meant: always for
    // plain TCP; over TLS only after the server's close_notify, since a
    // close without it may come from anyone on the path.
    bool IsEndConfirmed() const;

    // Over TLS the read returns opened plain text, at most nBufLen bytes a
    // call, and the object announces what it still holds with a read
    // notification of its own.
    int Receive(void* lpBuf, int nBufLen, int nFlags = 0) override;
    void OnReceive(int nErrorCode) override;
    void OnClose(int nErrorCode) override;

    // Redirects followed in one transfer at most, as WinHTTP bounds them.
    static const int kMaxRedirects = 10;

private:
    int FailConnect(int nError, const CString& strHost, int& nLength);
    bool HandOn(const char* pData, int nLength);
    bool HandOnAnswer();
    bool FollowRedirect(const CString& strHeaders);
    void StartHop(const CString& strUrl);
    CString CurrentUrl() const;
    bool IsCurrent(unsigned nConnection) const { return nConnection == m_nConnection && m_hSocket != INVALID_SOCKET; }
    LONG OpenTunnel();
    LONG ReadProxyAnswer(const CString& strMessage);
    LONG ReadAnswerHead(std::string& answer);
    LONG ReadAnswerBody(std::string& answer, size_t nTotal);
    LONG Reconnect();
    static CString WithSignIn(const CString& strMessage, const std::string& authorization);
    int OpenRecords(int nFlags);
    int TakeHeld(void* lpBuf, int nBufLen);
    size_t HeldCount() const { return m_strHeld.size() - m_nHeldOffset; }

    int m_nPort;
    CString m_strHost;
    CString m_strPath; // of the request on this connection
    CString m_strHttpVersion;
    int m_nProxyPort = 80;
    CString m_strProxyHost;
    CProxyRoute m_route;

    bool m_bSecure;
    bool m_bTunnel = false;
    std::unique_ptr<CTlsChannel> m_pTls; // set once the handshake and the check passed
    // Received bytes not yet handed on: opened records, or the answer of a
    // proxy that refused the tunnel, which is the response of the transfer.
    std::string m_strHeld;
    size_t m_nHeldOffset = 0;
    std::string m_strCipher; // one read of received records
    LONG m_nTlsError = 0;    // a record that did not open ends the connection

    // The answer's first bytes, held until its header block tells whether
    // it is a redirect to follow; handed on as they came otherwise.
    std::string m_strAnswer;
    bool m_bAnswerHanded = false;
    int m_nRedirects = 0;
    unsigned m_nConnection = 0; // counts the hops, so that a loop notices a new one
};
