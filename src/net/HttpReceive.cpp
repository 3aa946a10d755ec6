// The answer's side of a connection: the plain bytes of the answer, opened
// from TLS records or held from the proxy's answer, handed on a block per
// notification; its end, with the close_notify that this side sends; and
// the bounds on a head that does not end and a body that falls silent.

#include "HttpInterface.h"

#include <cstring>

#include "TlsChannel.h"

namespace {

// The answer's bytes go to the owner in blocks of this size at most, as
// they come from the socket.
const int kBlockSize = 1024;

} // namespace

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
