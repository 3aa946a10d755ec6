// The answer's side of a connection: the plain bytes of the answer, read
// from the socket or opened from TLS records in pieces of up to kReadSize,
// or held from the proxy's answer, handed on in blocks back to back; its
// end, with the close_notify that this side sends; and the bounds on a head
// that does not end and a body that falls silent.

#include "HttpInterface.h"

#include <cstring>
#include <new>

#include "framework/File.h"
#include "TlsChannel.h"

namespace {

// The answer's bytes go to the owner in blocks of this size at most.
const size_t kBlockSize = 1024;
// One read from the socket takes up to this much.
const int kReadSize = 64 * 1024;
// A read notification hands on this much at most, or for this long, and
// goes on from a notification of its own, so that the messages of the
// window (painting, the progress bar, Cancel) are not held up behind it.
const size_t kHandOnBytes = 64 * 1024;
const ULONGLONG kHandOnMs = 15;

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
        const int nRead = ReadHeld();
        if (nRead <= 0)
            return nRead;
        if (HeldCount() == 0) {
            if (m_pTls->IsClosedByServer())
                QueueNotification(FD_CLOSE, 0);
            ::WSASetLastError(WSAEWOULDBLOCK);
            return SOCKET_ERROR;
        }
    }
    const size_t nCount = HeldCount() < static_cast<size_t>(nBufLen) ? HeldCount() : static_cast<size_t>(nBufLen);
    memcpy(lpBuf, m_strHeld.data() + m_nHeldOffset, nCount);
    m_nHeldOffset += nCount;
    // The socket layer knows nothing of held bytes, and it notifies again
    // only after a read from the socket, which this call may not have
    // made: the object announces the next read itself, or the end that the
    // server announced.
    if (HeldCount() == 0 && m_pTls && m_pTls->IsClosedByServer())
        QueueNotification(FD_CLOSE, 0);
    else
        QueueNotification(FD_READ);
    return static_cast<int>(nCount);
}

// One read of up to kReadSize from the socket, into the held bytes: as it
// came, or over TLS the plain text of the complete records in it. The
// count read from the socket; 0 when the server closed the connection;
// SOCKET_ERROR when nothing can be read now or a record did not open. The
// read does not wait.
int CHttpInterface::ReadHeld()
{
    if (m_nTlsError != 0) {
        ::WSASetLastError(WSAECONNABORTED);
        return SOCKET_ERROR;
    }
    if (!m_pTls) {
        // Made once: sizing it anew would clear it for every read.
        if (m_strHeld.size() < static_cast<size_t>(kReadSize))
            m_strHeld.resize(kReadSize);
        const int nRead = CAsyncSocket::Receive(m_strHeld.data(), kReadSize, 0);
        m_nHeldOffset = 0;
        m_nHeldEnd = nRead > 0 ? static_cast<size_t>(nRead) : 0;
        return nRead;
    }
    if (m_pTls->IsClosedByServer()) {
        ::WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    if (m_strCipher.size() < static_cast<size_t>(kReadSize))
        m_strCipher.resize(kReadSize);
    const int nRead = CAsyncSocket::Receive(m_strCipher.data(), kReadSize, 0);
    if (nRead <= 0)
        return nRead;
    m_strHeld.clear();
    m_nHeldOffset = 0;
    const LONG nError = m_pTls->Unseal(m_strCipher.data(), nRead, m_strHeld);
    m_nHeldEnd = m_strHeld.size();
    const std::string strOutgoing = m_pTls->TakeOutgoing();
    if (!strOutgoing.empty())
        CAsyncSocket::Send(strOutgoing.data(), static_cast<int>(strOutgoing.size()));
    if (nError != 0) {
        // The transfer ends as a lost connection with the record's error.
        m_nTlsError = nError;
        m_strHeld.clear();
        m_nHeldEnd = 0;
        QueueNotification(FD_CLOSE, nError);
        ::WSASetLastError(WSAECONNABORTED);
        return SOCKET_ERROR;
    }
    return nRead;
}

// The held bytes go on in blocks of at most kBlockSize, back to back; when
// none is held, the socket is read again, as long as the last read filled
// its piece (so that the socket may hold more). Until the owner ends the
// connection or nothing more can be read; a read notification (not
// bEnding) also stops once kHandOnBytes have gone on or kHandOnMs have
// passed, and then goes on from a posted call of the object's own, unless
// it read the socket, whose layer then announces what follows (it notifies
// again after every read). Held bytes are announced so also when the
// owner's handler throws; when bEnding, with the end (nErrorCode) that is
// being handled. Over TLS the end that the server announced follows the
// last held byte.
void CHttpInterface::HandOn(bool bEnding, int nErrorCode)
{
    struct Announce {
        CHttpInterface& self;
        bool bEnding;
        int nErrorCode;
        bool bBounded = false;
        bool bRead = false;
        ~Announce()
        {
            if (self.m_hSocket == INVALID_SOCKET)
                return;
            if (self.HeldCount() > 0) {
                if (bEnding)
                    self.QueueNotification(FD_CLOSE, nErrorCode);
                else
                    self.HandOnLater();
            } else if (!bEnding) {
                if (self.m_pTls && self.m_pTls->IsClosedByServer())
                    self.QueueNotification(FD_CLOSE, 0);
                else if (bBounded && !bRead)
                    self.HandOnLater();
            }
        }
    } announce{*this, bEnding, nErrorCode};
    const ULONGLONG nStart = bEnding ? 0 : ::GetTickCount64();
    size_t nHanded = 0;
    bool bSocketMayHoldMore = true;
    while (m_hSocket != INVALID_SOCKET) {
        if (!bEnding && (nHanded >= kHandOnBytes || ::GetTickCount64() - nStart >= kHandOnMs)) {
            announce.bBounded = true;
            return;
        }
        if (HeldCount() == 0) {
            if (!bSocketMayHoldMore || (m_pTls && m_pTls->IsClosedByServer()))
                return;
            const int nRead = ReadHeld();
            if (nRead <= 0)
                return;
            announce.bRead = true;
            bSocketMayHoldMore = nRead == kReadSize;
            // A record that has not come whole is no byte of the answer yet.
            if (HeldCount() > 0)
                m_nLastByte = ::GetTickCount64();
            continue;
        }
        const char* pBlock = m_strHeld.data() + m_nHeldOffset;
        const size_t nCount = HeldCount() < kBlockSize ? HeldCount() : kBlockSize;
        m_nHeldOffset += nCount;
        nHanded += nCount;
        if (m_pfnData)
            m_pfnData(pBlock, static_cast<int>(nCount), m_pContext);
    }
}

void CHttpInterface::OnReceive(int nErrorCode)
{
    if (nErrorCode == 0)
        HandOn(false, 0);
}

// One call is due at most, so that the messages of the window never wait
// behind more than it and the socket layer's own read notification.
void CHttpInterface::HandOnLater()
{
    if (m_bHandOnDue)
        return;
    m_bHandOnDue = true;
    m_handOnLater.Post();
}

// As the socket layer disposes of them for its notifications: a failure in
// the owner's handler ends that handler, and what is still held is
// announced again.
void CHttpInterface::OnHandOnDue()
{
    m_bHandOnDue = false;
    try {
        HandOn(false, 0);
    } catch (CFileException* e) {
        e->Delete();
    } catch (const std::bad_alloc&) {
    }
}

// What the object still holds, and what the socket still has, goes on
// before the end, in blocks back to back; the owner may end the connection
// meanwhile. A record that did not open ends the connection with its error.
void CHttpInterface::OnClose(int nErrorCode)
{
    HandOn(true, nErrorCode);
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
