// The setup of a connection, step by step, under one deadline.

#include "HttpInterface.h"

#include "eventlog/EventLog.h"
#include "eventlog/LogLines.h"
#include "framework/File.h"
#include "ResponseHeaders.h"
#include "ResponseReader.h"
#include "TlsChannel.h"
#include "UrlParser.h"

namespace {

const LogSource kLogSource = ModuleLogSource("HttpInterface");
const int kMessageSize = 1024;

} // namespace

CHttpInterface::CHttpInterface(const CString& strHost, int nPort, int nTimeout, const CString& strHttpVersion,
                               void* pContext, DataCallback pfnData, CloseCallback pfnClose, bool bSecure)
    : CNotifySocket(pfnData, pfnClose, pContext, nTimeout), m_strHttpVersion(strHttpVersion)
{
    m_target.bSecure = bSecure;
    m_target.strHost = strHost;
    m_target.nPort = nPort;
}

// The session ends before the socket that carried it.
CHttpInterface::~CHttpInterface()
{
    Close();
}

// A configuration script is asked about the whole URL, so the route is
// known once the path is.
void CHttpInterface::ChooseProxy(const CString& strPath)
{
    m_target.strPath = strPath;
    m_route = CProxyRoute().RouteFor(m_target);
    m_bRouted = true;
}

CString CHttpInterface::BuildRequest(const CString& strPath)
{
    HttpTarget target = m_target;
    target.strPath = strPath;
    return GetRequestOf(target, m_route.kind == Route::kForward, m_strHttpVersion);
}

// The dialog is not shown yet while the first connection is set up, so no
// user can cancel a peer that accepts and then answers a byte at a time:
// the whole setup has one end time, whatever the peer sends meanwhile.
int CHttpInterface::Request(const CString& strPath, int& nLength)
{
    // A script is asked once, not again by a caller that needed the route
    // before the request.
    if (!m_bRouted || m_target.strPath != strPath)
        ChooseProxy(strPath);
    const CString strRequest = m_pServerSignIn
                                   ? WithSignIn(BuildRequest(strPath), "Authorization", m_serverAuthorization)
                                   : BuildRequest(strPath);
    SetBlockingDeadline(::GetTickCount64() + kSetupDeadlineMs);
    Create(); // a failed creation shows up as a failed connect

    const bool bProxy = m_route.ThroughProxy();
    const CString& strPeer = bProxy ? m_route.proxy.strHost : m_target.strHost;
    const int nPeerPort = bProxy ? m_route.proxy.nPort : m_target.nPort;
    // The socket stays created after a failed connect, until the object is
    // destroyed; after a later step it is closed, so that no notification
    // kept during the setup reaches the owner after the failure.
    const LONG nConnectError = ConnectTo(strPeer, nPeerPort);
    if (nConnectError != 0)
        return FailConnect(nConnectError, strPeer, nLength);

    CProxyExchange exchange(*this, m_route.proxy.strHost);
    std::string strWire(strRequest.GetString(), static_cast<size_t>(strRequest.GetLength()));
    if (m_route.kind == Route::kTunnel) {
        const LONG nError = OpenTunnel(exchange);
        if (nError != 0) {
            Close();
            return FailConnect(nError, strPeer, nLength);
        }
        if (!m_bTunnel) {
            // The proxy refused: its answer is the response.
            HoldAnswer(exchange.Answer());
            return Sent();
        }
    }
    if (m_target.bSecure) {
        const LONG nError = OpenTls(strWire);
        if (nError != 0) {
            Close();
            return FailConnect(nError, m_target.strHost, nLength);
        }
    }

    CSocketFile file(this, FALSE);
    try {
        file.Write(strWire.data(), static_cast<UINT>(strWire.size()));
    } catch (CFileException* pException) {
        file.Close();
        return FailWrite(pException, nLength);
    }
    if (m_route.kind == Route::kForward || m_pServerSignIn) {
        // Read here, so that a 407, and the further legs of a server's
        // sign-in, are answered before the owner sees anything of them.
        std::string answer;
        LONG nError = 0;
        if (m_route.kind == Route::kForward) {
            nError = exchange.Answered(strRequest);
            answer = std::move(exchange.Answer());
        } else {
            nError = ReadServerHead(answer);
        }
        if (nError == 0 && m_pServerSignIn)
            nError = AnswerServerLegs(exchange, BuildRequest(strPath), answer);
        if (nError != 0) {
            Close();
            return FailConnect(nError, strPeer, nLength);
        }
        HoldAnswer(answer);
    }
    return Sent();
}

// The setup is over; the answer's head is due.
int CHttpInterface::Sent()
{
    SetBlockingDeadline(0);
    m_nRequestSent = ::GetTickCount64();
    m_bHeadDue = true;
    StartTimer(kHeadBoundMs);
    return 1;
}

// The owner learns of the failure as of a closed connection, and before
// Request returns.
int CHttpInterface::FailConnect(int nError, const CString& strHost, int& nLength)
{
    SetBlockingDeadline(0);
    char szMessage[kMessageSize];
    wsprintfA(szMessage, "Error %d connecting to host: '%s'", nError, strHost.GetString());
    LogEvent(&kLogSource, 0, szMessage, LOG_LINE_CONNECT_ERROR);
    if (m_pfnClose)
        m_pfnClose(-1, m_pContext);
    nLength = -1;
    return -1;
}

int CHttpInterface::FailWrite(CFileException* pException, int& nLength)
{
    SetBlockingDeadline(0);
    char szError[kMessageSize];
    pException->GetErrorMessage(szError, sizeof(szError));
    pException->Delete();
    Close();
    char szMessage[kMessageSize];
    wsprintfA(szMessage, "Socket file exception: '%s'", szError);
    LogEvent(&kLogSource, 0, szMessage, LOG_LINE_SOCKET_FILE_ERROR);
    nLength = -1;
    return -1;
}

// 0 once the proxy has answered: a 2xx opens the tunnel; any other answer
// stays with the exchange. Otherwise the error number of the exchange.
LONG CHttpInterface::OpenTunnel(CProxyExchange& exchange)
{
    const LONG nError = exchange.Send(ConnectRequestOf(m_target));
    // After a 2xx the server says nothing before the handshake begins, so
    // what arrived is the proxy's answer alone.
    const int nStatus = StatusOfResponse(exchange.Answer());
    m_bTunnel = nError == 0 && nStatus >= 200 && nStatus <= 299;
    return nError;
}

// The handshake's bytes go both ways here, in blocking calls; the channel
// only makes and takes them. The request leaves sealed in strWire.
LONG CHttpInterface::OpenTls(std::string& strWire)
{
    auto pTls = std::make_unique<CTlsChannel>();
    std::string strOut;
    LONG nResult = pTls->Start(CUrlParser::ConnectNameOf(m_target.strHost), strOut);
    for (;;) {
        // A token goes out even with a failure: it may be the alert that
        // tells the server why.
        if (!strOut.empty()) {
            const LONG nError = SendBytes(strOut.data(), strOut.size());
            strOut.clear();
            if (nError != 0 && !FAILED(nResult))
                return nError;
        }
        if (nResult != SEC_I_CONTINUE_NEEDED)
            break;
        std::string strIn;
        const LONG nError = ReceiveMore(strIn);
        if (nError != 0)
            return nError;
        if (strIn.empty())
            return WSAECONNRESET;
        nResult = pTls->Continue(strIn.data(), static_cast<int>(strIn.size()), strOut);
    }
    std::string strRecords;
    if (nResult == 0)
        nResult = pTls->Seal(strWire.data(), static_cast<int>(strWire.size()), strRecords);
    if (nResult != 0)
        return nResult;
    m_pTls = std::move(pTls);
    strWire = std::move(strRecords);
    return 0;
}

// The proxy's answer, as far as it came, is handed on as the socket's own
// bytes would be.
void CHttpInterface::HoldAnswer(std::string& answer)
{
    SetBlockingDeadline(0);
    m_strHeld = std::move(answer);
    m_nHeldOffset = 0;
    m_nHeldEnd = m_strHeld.size();
    QueueNotification(FD_READ);
}

LONG CHttpInterface::SendText(const CString& strText)
{
    return SendBytes(strText.GetString(), static_cast<size_t>(strText.GetLength()));
}

LONG CHttpInterface::SendBytes(const char* pData, size_t nLength)
{
    return CNotifySocket::Send(pData, static_cast<int>(nLength)) == SOCKET_ERROR ? ::WSAGetLastError() : 0;
}

LONG CHttpInterface::ReceiveMore(std::string& bytes)
{
    char buffer[4096];
    const int nRead = CNotifySocket::Receive(buffer, sizeof(buffer), 0);
    if (nRead == SOCKET_ERROR)
        return ::WSAGetLastError();
    bytes.append(buffer, static_cast<size_t>(nRead));
    return 0;
}

// A new connection to the proxy, for the next leg of a sign-in.
LONG CHttpInterface::Reconnect()
{
    Close();
    Create();
    return ConnectTo(m_route.proxy.strHost, m_route.proxy.nPort);
}

// The host as the setting writes it; an IPv6 address is connected to
// without its brackets, and one with a zone id not at all.
LONG CHttpInterface::ConnectTo(const CString& strHost, int nPort)
{
    const CString strName = CUrlParser::ConnectNameOf(strHost);
    if (strName.IsEmpty() && !strHost.IsEmpty())
        return WSAEINVAL;
    return Connect(strName, static_cast<UINT>(nPort)) ? 0 : ::WSAGetLastError();
}
