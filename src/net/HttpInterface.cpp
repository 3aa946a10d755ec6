#include "HttpInterface.h"

#include <cstring>

#include "eventlog/EventLog.h"
#include "eventlog/LogLines.h"
#include "framework/File.h"
#include "ProxyRules.h"
#include "TlsChannel.h"

namespace {

const LogSource kLogSource = ModuleLogSource("HttpInterface");
const int kMessageSize = 1024;
// The answer's bytes go to the owner in blocks of this size at most, as
// they come from the socket.
const int kBlockSize = 1024;

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
    const CString strRequest = BuildRequest(strPath);
    SetBlockingDeadline(::GetTickCount64() + kSetupDeadlineMs);
    Create(); // a failed creation shows up as a failed connect

    const bool bProxy = m_route.ThroughProxy();
    const CString& strPeer = bProxy ? m_route.proxy.strHost : m_target.strHost;
    const int nPeerPort = bProxy ? m_route.proxy.nPort : m_target.nPort;
    // The socket stays created after a failed connect, until the object is
    // destroyed; after a later step it is closed, so that no notification
    // kept during the setup reaches the owner after the failure.
    if (!Connect(strPeer, static_cast<UINT>(nPeerPort)))
        return FailConnect(::WSAGetLastError(), strPeer, nLength);

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
    if (m_route.kind == Route::kForward) {
        // Read here, so that a 407 is answered with a sign-in before the
        // owner sees anything of it.
        const LONG nError = exchange.Answered(strRequest);
        if (nError != 0) {
            Close();
            return FailConnect(nError, strPeer, nLength);
        }
        HoldAnswer(exchange.Answer());
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
    LONG nResult = pTls->Start(m_target.strHost, strOut);
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
    return Connect(m_route.proxy.strHost, static_cast<UINT>(m_route.proxy.nPort)) ? 0 : ::WSAGetLastError();
}

bool CHttpInterface::IsEndConfirmed() const { return !m_pTls || m_pTls->IsClosedByServer(); }

// A session that this side ends says so, so that the server can tell the
// end from a cut; the send does not wait.
void CHttpInterface::Close()
{
    if (m_pTls && m_hSocket != INVALID_SOCKET) {
        const std::string strAlert = m_pTls->CloseNotify();
        if (!strAlert.empty())
            CAsyncSocket::Send(strAlert.data(), static_cast<int>(strAlert.size()));
    }
    CNotifySocket::Close();
}

int CHttpInterface::Receive(void* lpBuf, int nBufLen, int nFlags)
{
    if (!m_pTls && HeldCount() == 0)
        return CNotifySocket::Receive(lpBuf, nBufLen, nFlags);
    if (m_nTlsError != 0) {
        ::WSASetLastError(WSAECONNABORTED);
        return SOCKET_ERROR;
    }
    if (HeldCount() == 0) {
        const int nOpened = OpenRecords(nFlags);
        if (nOpened <= 0)
            return nOpened;
    }
    const int nCount = TakeHeld(lpBuf, nBufLen);
    // The socket layer knows nothing of held bytes, and it notifies again
    // only after a read from the socket, which this call may not have
    // made: the object announces the next read itself, or the end that the
    // server announced.
    if (HeldCount() == 0 && m_pTls && m_pTls->IsClosedByServer())
        QueueNotification(FD_CLOSE, 0);
    else
        QueueNotification(FD_READ);
    return nCount;
}

// Reads what the socket has and opens the complete records in it. The
// count of plain bytes now held; 0 when the server closed the connection;
// SOCKET_ERROR when nothing can be opened yet or a record did not open.
int CHttpInterface::OpenRecords(int nFlags)
{
    if (m_pTls->IsClosedByServer()) {
        ::WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    m_strCipher.resize(CTlsChannel::kMaxRecordSize);
    const int nRead = CNotifySocket::Receive(m_strCipher.data(), CTlsChannel::kMaxRecordSize, nFlags);
    if (nRead <= 0)
        return nRead;
    m_strHeld.clear();
    m_nHeldOffset = 0;
    const LONG nError = m_pTls->Unseal(m_strCipher.data(), nRead, m_strHeld);
    const std::string strOutgoing = m_pTls->TakeOutgoing();
    if (!strOutgoing.empty())
        CAsyncSocket::Send(strOutgoing.data(), static_cast<int>(strOutgoing.size()));
    if (nError != 0) {
        // The transfer ends as a lost connection with the record's error.
        m_nTlsError = nError;
        m_strHeld.clear();
        QueueNotification(FD_CLOSE, nError);
        ::WSASetLastError(WSAECONNABORTED);
        return SOCKET_ERROR;
    }
    if (HeldCount() == 0) {
        if (m_pTls->IsClosedByServer())
            QueueNotification(FD_CLOSE, 0);
        ::WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    return static_cast<int>(HeldCount());
}

int CHttpInterface::TakeHeld(void* lpBuf, int nBufLen)
{
    const size_t nCount = HeldCount() < static_cast<size_t>(nBufLen) ? HeldCount() : static_cast<size_t>(nBufLen);
    memcpy(lpBuf, m_strHeld.data() + m_nHeldOffset, nCount);
    m_nHeldOffset += nCount;
    if (m_nHeldOffset == m_strHeld.size()) {
        m_strHeld.clear();
        m_nHeldOffset = 0;
    }
    return static_cast<int>(nCount);
}

void CHttpInterface::OnReceive(int nErrorCode)
{
    char buffer[kBlockSize];
    const int nRead = nErrorCode == 0 ? Receive(buffer, sizeof(buffer), 0) : SOCKET_ERROR;
    if (nRead > 0) {
        m_nLastByte = ::GetTickCount64();
        if (m_pfnData)
            m_pfnData(buffer, nRead, m_pContext);
    }
}

// What the object still holds goes on before the end, in blocks as the
// notifications hand them on; the owner may end the connection meanwhile.
// A record that did not open ends the connection with its error.
void CHttpInterface::OnClose(int nErrorCode)
{
    while (HeldCount() > 0 && m_hSocket != INVALID_SOCKET) {
        char block[kBlockSize];
        const int nCount = TakeHeld(block, sizeof(block));
        if (m_pfnData)
            m_pfnData(block, nCount, m_pContext);
    }
    if (m_hSocket != INVALID_SOCKET)
        CNotifySocket::OnClose(m_nTlsError != 0 ? static_cast<int>(m_nTlsError) : nErrorCode);
}

// A head that has not ended in time, or a body that has fallen silent, is
// a lost connection. The timer is set for the next moment that can end it.
void CHttpInterface::OnTimer()
{
    const ULONGLONG nNow = ::GetTickCount64();
    const ULONGLONG nDue = m_bHeadDue ? m_nRequestSent + kHeadBoundMs
                                      : (m_nLastByte > m_nRequestSent ? m_nLastByte : m_nRequestSent) + kIdleBoundMs;
    if (nNow < nDue) {
        StartTimer(static_cast<DWORD>(nDue - nNow));
        return;
    }
    CNotifySocket::OnClose(WSAETIMEDOUT);
}
