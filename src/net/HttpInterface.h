#pragma once
// One HTTP/1.0 connection: one request and its answer, as one hop of a
// transfer. Request takes the steps in order: the route, the connect, the
// proxy exchange (a tunnel, or the forwarded request's answer, each with
// its sign-in), TLS, the request. The setup has one deadline; after it the
// answer arrives through the callbacks of CNotifySocket, as plain bytes
// whatever the route, and a peer that falls silent ends the connection.

#include <memory>
#include <string>

#include "framework/CString.h"
#include "framework/PostedCall.h"
#include "NotifySocket.h"
#include "ProxyExchange.h"
#include "ProxyRoute.h"
#include "RequestText.h"

class CFileException;
class CSignIn;
class CTlsChannel;

class CHttpInterface : public CNotifySocket, private CSetupStream {
public:
    CHttpInterface(const CString& strHost, int nPort, int nTimeout, const CString& strHttpVersion, void* pContext,
                   DataCallback pfnData, CloseCallback pfnClose, bool bSecure = false);
    ~CHttpInterface() override;

    // 1 when the request has been written; -1 (and nLength -1) when the
    // connect or the write failed.
    int Request(const CString& strPath, int& nLength);
    // The route for the server and the path, the first step of Request.
    void ChooseProxy(const CString& strPath);
    CString BuildRequest(const CString& strPath);
    // The request asks for the bytes from nFrom on, if the file still has
    // the validator; before Request.
    void AskForRest(uint64_t nFrom, const std::string& validator)
    {
        m_target.nRangeFrom = nFrom;
        m_target.ifRange = validator;
    }

    // The request signs in to the server that asked for it on an earlier
    // connection: it carries the authorization and asks to keep the
    // connection, and the server's further legs that go on it are answered
    // within the setup. Before Request.
    void SignInToServer(CSignIn& signIn, const std::string& authorization)
    {
        m_pServerSignIn = &signIn;
        m_serverAuthorization = authorization;
        m_target.bKeepAlive = true;
    }

    // The request asked the server to keep the connection.
    bool AsksToKeepConnection() const { return m_target.bKeepAlive; }

    const Route& GetRoute() const { return m_route; }
    const CString& GetProxyHost() const { return m_route.proxy.strHost; }
    int GetProxyPort() const { return m_route.proxy.nPort; }
    // The answer is the proxy's refusal of the tunnel, not the server's.
    bool IsTunnelRefused() const { return m_route.kind == Route::kTunnel && !m_bTunnel; }
    // The end of the connection is the end the server meant: always for
    // plain TCP; over TLS only after the server's close_notify, since a
    // close without it may come from anyone on the path.
    bool IsEndConfirmed() const;
    // The answer's head has ended: from now on only silence ends the
    // connection.
    void HeadReceived() { m_bHeadDue = false; }

    // Over TLS the read returns opened plain text, at most nBufLen bytes a
    // call, and the object announces what it still holds with a read
    // notification of its own. A read notification itself reads the
    // socket in large pieces and hands its owner the blocks back to back.
    int Receive(void* lpBuf, int nBufLen, int nFlags = 0) override;
    void Close() override;
    void OnReceive(int nErrorCode) override;
    void OnClose(int nErrorCode) override;
    void OnTimer() override;

    // The setup of a connection, from the connect to the proxy's answer
    // head, ends within this.
    static constexpr DWORD kSetupDeadlineMs = 30000;
    // After the request: its answer's head within this, then never this
    // long without a byte.
    static constexpr DWORD kHeadBoundMs = 30000;
    static constexpr DWORD kIdleBoundMs = 60000;

private:
    LONG SendText(const CString& strText) override;
    LONG ReceiveMore(std::string& bytes) override;
    LONG Reconnect() override;

    LONG ConnectTo(const CString& strHost, int nPort);
    LONG SendBytes(const char* pData, size_t nLength);
    int Sent();
    int FailConnect(int nError, const CString& strHost, int& nLength);
    int FailWrite(CFileException* pException, int& nLength);
    LONG OpenTunnel(CProxyExchange& exchange);
    LONG OpenTls(std::string& strWire);
    void HoldAnswer(std::string& answer);
    LONG SendPlain(const CString& strText);
    LONG ReceivePlain(std::string& bytes);
    LONG ReadServerHead(std::string& answer);
    LONG AnswerServerLegs(CProxyExchange& exchange, const CString& strRequest, std::string& answer);
    int ReadHeld();
    void HandOn(bool bEnding, int nErrorCode);
    void HandOnLater();
    void OnHandOnDue();
    size_t HeldCount() const { return m_nHeldEnd - m_nHeldOffset; }

    HttpTarget m_target;
    CString m_strHttpVersion;
    Route m_route;
    bool m_bRouted = false;
    bool m_bTunnel = false;

    std::unique_ptr<CTlsChannel> m_pTls; // set once the handshake and the check passed
    // Received bytes not yet handed on, from m_nHeldOffset to m_nHeldEnd:
    // one read of the socket, opened records, or the answer of a proxy,
    // which is the response of the transfer.
    std::string m_strHeld;
    size_t m_nHeldOffset = 0;
    size_t m_nHeldEnd = 0;
    std::string m_strCipher; // one read of received records
    // A read notification that reached its bound goes on from this call.
    CPostedCall m_handOnLater{[this] { OnHandOnDue(); }};
    bool m_bHandOnDue = false;
    LONG m_nTlsError = 0;    // a record that did not open ends the connection

    CSignIn* m_pServerSignIn = nullptr;
    std::string m_serverAuthorization;

    bool m_bHeadDue = false;
    ULONGLONG m_nRequestSent = 0;
    ULONGLONG m_nLastByte = 0;
};
