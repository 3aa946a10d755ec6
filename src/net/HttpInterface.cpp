#include "HttpInterface.h"

#include <cstring>

#include "eventlog/EventLog.h"
#include "eventlog/LogLines.h"
#include "framework/File.h"
#include "framework/Handles.h"
#include "ProxyAuthHeaders.h"
#include "ProxyRules.h"
#include "ProxySignIn.h"
#include "RedirectRules.h"
#include "ResponseHeaders.h"
#include "TlsChannel.h"
#include "UrlParser.h"

namespace {

const LogSource kLogSource = ModuleLogSource("HttpInterface");
const int kMessageSize = 1024;
const char kUserAgent[] = "Quillbrook Plugin (Win95; 1.0)";

// The dialog is not shown yet while a connection is set up (a secure one,
// or the sign-in to a proxy), so no user can cancel a server or proxy that
// accepts and then stays silent: each of its blocking waits is bounded
// instead.
const DWORD kSetupTimeoutMs = 15000;
// A proxy's answer whose header block is longer is taken as it is; a 407
// with a longer body is not read, the next leg goes on a new connection.
const size_t kMaxTunnelAnswer = 64 * 1024;
// The first request and at most five sign-ins, as WinHTTP bounds them.
const int kMaxProxyRequests = 6;
// The answer's bytes go to the owner in blocks of this size at most, as
// they come from the socket.
const int kBlockSize = 1024;
// The longest header block the owner reads; a longer one is never a
// redirect.
const size_t kMaxAnswerHead = 64 * 1024;

} // namespace

// The proxy is chosen when the request's path is known: a configuration
// script is asked about the whole URL.
CHttpInterface::CHttpInterface(const CString& strHost, int nPort, int nTimeout, const CString& strHttpVersion,
                               void* pContext, DataCallback pfnData, CloseCallback pfnClose, bool bSecure)
    : CNotifySocket(pfnData, pfnClose, pContext, nTimeout),
      m_nPort(nPort),
      m_strHost(strHost),
      m_strHttpVersion(strHttpVersion),
      m_bSecure(bSecure)
{
}

// The session ends before the socket that carried it.
CHttpInterface::~CHttpInterface() = default;

void CHttpInterface::ChooseProxy(const CString& strPath)
{
    const ProxyEndpoint proxy = m_route.ProxyFor(m_bSecure, m_strHost, m_nPort, strPath);
    m_strProxyHost = proxy.strHost;
    m_nProxyPort = proxy.nPort;
}

CString CHttpInterface::BuildRequest(const CString& strPath)
{
    CString strRequest = "GET ";
    // Inside a tunnel the request is the one the server itself is sent.
    if (m_strProxyHost.IsEmpty() || m_bSecure) {
        strRequest += strPath;
    } else {
        strRequest += "http://";
        strRequest += m_strHost;
        if (m_nPort != 80) {
            char szPort[16];
            wsprintfA(szPort, ":%d", m_nPort);
            strRequest += szPort;
        }
        strRequest += CUrlParser(strPath).GetPathAndFile();
    }
    strRequest += " HTTP/";
    strRequest += m_strHttpVersion;
    strRequest += "\r\nUser-Agent: ";
    strRequest += kUserAgent;
    strRequest += "\r\nHost: ";
    strRequest += m_strHost;
    strRequest += "\r\nAccept: */*";
    strRequest += m_strProxyHost.IsEmpty() || m_bSecure ? "\r\nConnection: close" : "\r\nProxy-Connection: Keep-Alive";
    strRequest += "\r\n\r\n";
    return strRequest;
}

int CHttpInterface::Request(const CString& strPath, int& nLength)
{
    m_strPath = strPath;
    ChooseProxy(strPath);
    const CString strRequest = BuildRequest(strPath);
    Create(); // a failed creation shows up as a failed connect

    const bool bProxy = UsesProxy();
    const CString& strTarget = bProxy ? m_strProxyHost : m_strHost;
    const int nTargetPort = bProxy ? m_nProxyPort : m_nPort;

    if (!Connect(strTarget, static_cast<UINT>(nTargetPort)))
        return FailConnect(::WSAGetLastError(), strTarget, nLength);

    std::string strWire(strRequest.GetString(), static_cast<size_t>(strRequest.GetLength()));
    if (m_bSecure) {
        SetBlockingTimeout(kSetupTimeoutMs);
        const LONG nTunnelError = bProxy ? OpenTunnel() : 0;
        if (nTunnelError != 0) {
            SetBlockingTimeout(0);
            Close();
            return FailConnect(nTunnelError, strTarget, nLength);
        }
        if (bProxy && !m_bTunnel) {
            // The proxy refused: its answer, held, is the response, even
            // one that names another location.
            m_bAnswerHanded = true;
            SetBlockingTimeout(0);
            QueueNotification(FD_READ);
            return 1;
        }
        auto pTls = std::make_unique<CTlsChannel>(*this);
        LONG nError = pTls->Open(m_strHost);
        SetBlockingTimeout(0);
        std::string strRecords;
        if (nError == 0)
            nError = pTls->Seal(strWire.data(), static_cast<int>(strWire.size()), strRecords);
        if (nError != 0) {
            // Closed, so that no notification kept during the handshake
            // reaches the owner after the failure.
            Close();
            return FailConnect(nError, m_strHost, nLength);
        }
        m_pTls = std::move(pTls);
        strWire = std::move(strRecords);
    }

    CSocketFile file(this, FALSE);
    try {
        file.Write(strWire.data(), static_cast<UINT>(strWire.size()));
    } catch (CFileException* pException) {
        char szError[kMessageSize];
        pException->GetErrorMessage(szError, sizeof(szError));
        pException->Delete();
        file.Close();
        Close();
        char szMessage[kMessageSize];
        wsprintfA(szMessage, "Socket file exception: '%s'", szError);
        LogEvent(&kLogSource, 0, szMessage, LOG_LINE_SOCKET_FILE_ERROR);
        nLength = -1;
        return -1;
    }
    if (UsesProxy() && !m_bSecure) {
        // The proxy's answer is read here, so that a 407 is answered with
        // a sign-in before the owner sees anything of it.
        SetBlockingTimeout(kSetupTimeoutMs);
        const LONG nError = ReadProxyAnswer(strRequest);
        SetBlockingTimeout(0);
        if (nError != 0) {
            Close();
            return FailConnect(nError, m_strProxyHost, nLength);
        }
        QueueNotification(FD_READ);
    }
    return 1;
}

// The owner learns of the failure as of a closed connection, and before
// Request returns.
int CHttpInterface::FailConnect(int nError, const CString& strHost, int& nLength)
{
    char szMessage[kMessageSize];
    wsprintfA(szMessage, "Error %d connecting to host: '%s'", nError, strHost.GetString());
    LogEvent(&kLogSource, 0, szMessage, LOG_LINE_CONNECT_ERROR);
    if (m_pfnClose)
        m_pfnClose(-1, m_pContext);
    nLength = -1;
    return -1;
}

// Asks the proxy for a tunnel to the server. 0 once the proxy has answered:
// a 2xx opens the tunnel; any other answer, held whole as far as it came
// with its header block, is the response of the transfer. Otherwise the
// error number of the exchange.
LONG CHttpInterface::OpenTunnel()
{
    char szPort[16];
    wsprintfA(szPort, ":%d", m_nPort);
    const CString strAuthority = m_strHost + szPort;
    const CString strConnect =
        "CONNECT " + strAuthority + " HTTP/1.0\r\nHost: " + strAuthority + "\r\nUser-Agent: " + kUserAgent + "\r\n\r\n";
    if (Send(strConnect.GetString(), strConnect.GetLength()) == SOCKET_ERROR)
        return ::WSAGetLastError();
    const LONG nError = ReadProxyAnswer(strConnect);
    if (nError != 0)
        return nError;
    // After a 2xx the server says nothing before the handshake begins, so
    // what arrived is the proxy's answer alone.
    const int nStatus = StatusOfResponse(m_strHeld);
    if (nStatus >= 200 && nStatus <= 299) {
        m_bTunnel = true;
        m_strHeld.clear();
    }
    return 0;
}

// Reads the proxy's answer to the message just sent, and answers a 407
// that asks for sign-in with the message again, carrying the sign-in: on
// the same connection when the proxy keeps it (the 407's body read to its
// end), on a new one otherwise. The last answer, as far as it came with
// its header block, is held; a 407 that stands is recorded with the reason
// of every scheme the proxy offered. 0, or the error number of the
// exchange.
LONG CHttpInterface::ReadProxyAnswer(const CString& strMessage)
{
    CProxySignIn signIn(m_strProxyHost);
    std::string answer;
    for (int nSent = 1;; ++nSent) {
        LONG nError = ReadAnswerHead(answer);
        if (nError != 0)
            return nError;
        const size_t nHeadEnd = answer.find("\r\n\r\n");
        const CString strHead(answer.substr(0, nHeadEnd).c_str());
        uint64_t nBodyLength = 0;
        const bool bKept = nHeadEnd != std::string::npos && ProxyKeepsConnection(strHead, nBodyLength) &&
                           nBodyLength <= kMaxTunnelAnswer;
        std::string authorization;
        if (StatusOfResponse(answer) != 407 || nSent == kMaxProxyRequests ||
            !signIn.Answer(ProxyChallengesOf(strHead), bKept, authorization)) {
            if (StatusOfResponse(answer) == 407) {
                const std::string text = "Sign-in to the proxy " + std::string(m_strProxyHost) +
                                         " failed: " + signIn.Failures();
                LogEvent(&kLogSource, 0, text.substr(0, kMessageSize - 1).c_str(), LOG_LINE_PROXY_SIGN_IN_FAILED);
            }
            m_strHeld = std::move(answer);
            return 0;
        }
        const size_t nAnswerEnd = nHeadEnd + 4 + static_cast<size_t>(nBodyLength);
        const bool bWhole = bKept && ReadAnswerBody(answer, nAnswerEnd) == 0;
        // What came after the 407 on the kept connection belongs to the next answer.
        answer = bWhole ? answer.substr(nAnswerEnd) : std::string();
        nError = bWhole ? 0 : Reconnect();
        if (nError != 0)
            return nError;
        const CString strRetry = WithSignIn(strMessage, authorization);
        if (Send(strRetry.GetString(), strRetry.GetLength()) == SOCKET_ERROR)
            return ::WSAGetLastError();
    }
}

// Up to the end of the header block, or what came before the proxy closed.
LONG CHttpInterface::ReadAnswerHead(std::string& answer)
{
    while (answer.find("\r\n\r\n") == std::string::npos && answer.size() < kMaxTunnelAnswer) {
        char buffer[1024];
        const int nRead = CNotifySocket::Receive(buffer, sizeof(buffer), 0);
        if (nRead == SOCKET_ERROR)
            return ::WSAGetLastError();
        if (nRead == 0)
            break;
        answer.append(buffer, static_cast<size_t>(nRead));
    }
    return 0;
}

// The rest of an answer up to nTotal bytes; non-zero when the proxy ended
// the connection before.
LONG CHttpInterface::ReadAnswerBody(std::string& answer, size_t nTotal)
{
    while (answer.size() < nTotal) {
        char buffer[4096];
        const int nRead = CNotifySocket::Receive(buffer, sizeof(buffer), 0);
        if (nRead == SOCKET_ERROR)
            return ::WSAGetLastError();
        if (nRead == 0)
            return WSAECONNRESET;
        answer.append(buffer, static_cast<size_t>(nRead));
    }
    return 0;
}

// A new connection to the proxy, for the next leg of a sign-in.
LONG CHttpInterface::Reconnect()
{
    Close();
    Create();
    return Connect(m_strProxyHost, static_cast<UINT>(m_nProxyPort)) ? 0 : ::WSAGetLastError();
}

// The message with the sign-in's header line before its blank line, and
// the request to keep the connection, without which squid closes it after
// a 407 and a sign-in of two legs cannot work.
CString CHttpInterface::WithSignIn(const CString& strMessage, const std::string& authorization)
{
    CString strRetry = strMessage.Left(strMessage.GetLength() - 2);
    if (strMessage.Find("\r\nProxy-Connection: ") < 0)
        strRetry += "Proxy-Connection: Keep-Alive\r\n";
    return strRetry + "Proxy-Authorization: " + authorization.c_str() + "\r\n\r\n";
}

bool CHttpInterface::IsEndConfirmed() const { return !m_pTls || m_pTls->IsClosedByServer(); }

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
    if (nRead > 0)
        HandOn(buffer, nRead);
}

// What the object still holds goes on before the end, in blocks as the
// notifications hand them on; the owner may end the transfer itself
// meanwhile, or the held bytes may be a redirect that is followed. An
// answer that ended before its header block did is the owner's to judge.
// A record that did not open ends the connection with its error.
void CHttpInterface::OnClose(int nErrorCode)
{
    const unsigned nConnection = m_nConnection;
    while (HeldCount() > 0 && IsCurrent(nConnection)) {
        char block[kBlockSize];
        const int nCount = TakeHeld(block, sizeof(block));
        HandOn(block, nCount);
    }
    if (IsCurrent(nConnection) && !m_bAnswerHanded)
        HandOnAnswer();
    if (!IsCurrent(nConnection))
        return;
    CNotifySocket::OnClose(m_nTlsError != 0 ? static_cast<int>(m_nTlsError) : nErrorCode);
}

// Received plain bytes go to the owner once the answer is known not to be
// a redirect that is followed: until its header block has ended they are
// held. What the owner cannot read as a header block (longer than it
// reads, or with a zero byte before its end) is never a redirect, and goes
// on as it came. false when the connection is no longer this one: the
// owner ended it, or the next hop replaced it.
bool CHttpInterface::HandOn(const char* pData, int nLength)
{
    if (m_bAnswerHanded) {
        const unsigned nConnection = m_nConnection;
        if (m_pfnData)
            m_pfnData(pData, nLength, m_pContext);
        return IsCurrent(nConnection);
    }
    m_strAnswer.append(pData, static_cast<size_t>(nLength));
    // The owner reads the block as text, which ends at a zero byte.
    const size_t nText = m_strAnswer.find('\0');
    const size_t nHeadEnd = m_strAnswer.find("\r\n\r\n");
    const bool bReadable = nHeadEnd != std::string::npos && (nText == std::string::npos || nHeadEnd + 4 <= nText);
    if (!bReadable && nText == std::string::npos && m_strAnswer.size() < kMaxAnswerHead)
        return true;
    if (bReadable && FollowRedirect(CString(m_strAnswer.substr(0, nHeadEnd).c_str())))
        return false;
    return HandOnAnswer();
}

// The held answer goes to the owner, and every later byte with it.
bool CHttpInterface::HandOnAnswer()
{
    m_bAnswerHanded = true;
    const std::string answer = std::move(m_strAnswer);
    m_strAnswer.clear();
    for (size_t nOffset = 0; nOffset < answer.size(); nOffset += kBlockSize) {
        const size_t nCount = answer.size() - nOffset < kBlockSize ? answer.size() - nOffset : kBlockSize;
        if (!HandOn(answer.data() + nOffset, static_cast<int>(nCount)))
            return false;
    }
    return true;
}

// A 301, 302, 303, 307 or 308 with a usable location is followed, at most
// kMaxRedirects times, never from https to http: true once the next hop is
// under way, or has failed, which the owner has then learnt of. false when
// the answer is the owner's; a location that is there and not followed is
// recorded with the reason.
bool CHttpInterface::FollowRedirect(const CString& strHeaders)
{
    const int nStatus = StatusCodeOf(strHeaders);
    const std::string location = LocationOf(strHeaders);
    if (!IsRedirectStatus(nStatus) || location.empty())
        return false;
    const std::string url = ResolvedLocation(std::string(CurrentUrl().GetString()), location);
    const char* pszRefusal = nullptr;
    if (url.empty())
        pszRefusal = "the location is not a usable http or https URL";
    else if (m_bSecure && !CUrlParser(CString(url.c_str())).IsSecure())
        pszRefusal = "it leads from https to http";
    else if (m_nRedirects == kMaxRedirects)
        pszRefusal = "more than 10 redirects";
    if (pszRefusal) {
        const std::string text = "Redirect with " + std::to_string(nStatus) + " to " + location +
                                 " not followed: " + pszRefusal;
        LogEvent(&kLogSource, 0, text.substr(0, kMessageSize - 1).c_str(), LOG_LINE_REDIRECT_NOT_FOLLOWED);
        return false;
    }
    char szMessage[kMessageSize];
    wsprintfA(szMessage, "Redirected with %d to %s", nStatus, url.substr(0, kMessageSize - 32).c_str());
    LogEvent(&kLogSource, 1, szMessage, LOG_LINE_REDIRECTED);
    ++m_nRedirects;
    StartHop(CString(url.c_str()));
    return true;
}

// The next hop is the request that a setting of its URL would send, on a
// connection of its own: the route is asked again, and a tunnel, a sign-in
// and TLS with the new host's name are set up as for the first request.
void CHttpInterface::StartHop(const CString& strUrl)
{
    Close();
    ++m_nConnection;
    const CUrlParser url(strUrl);
    m_strHost = url.GetHost();
    m_nPort = url.GetPort();
    m_bSecure = url.IsSecure();
    m_bTunnel = false;
    m_pTls.reset();
    m_strHeld.clear();
    m_nHeldOffset = 0;
    m_nTlsError = 0;
    m_strAnswer.clear();
    m_bAnswerHanded = false;
    // The hop's setup blocks as the first request's does, though it begins
    // inside a read notification.
    m_bInReadNotification = false;
    int nLength = 0;
    if (Request(url.GetPathAndFile(), nLength) == -1)
        Close();
}

// The URL of this connection's request, as its redirects are resolved
// against it.
CString CHttpInterface::CurrentUrl() const
{
    CString strUrl = m_bSecure ? "https://" : "http://";
    strUrl += m_strHost;
    if (m_nPort != (m_bSecure ? 443 : 80)) {
        char szPort[16];
        wsprintfA(szPort, ":%d", m_nPort);
        strUrl += szPort;
    }
    return strUrl + m_strPath;
}
