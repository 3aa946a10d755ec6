#include "NotifySocket.h"

#include <cstring>

namespace {
const int kBlockSize = 1024;
}

CNotifySocket::CNotifySocket(DataCallback pfnData, CloseCallback pfnClose, void* pContext, int nTimeout)
    : m_nTimeout(nTimeout), m_pfnData(pfnData), m_pfnClose(pfnClose), m_pContext(pContext)
{
}

// Closing first means a blocking call that is still pending can no longer
// touch the connection once it has been cancelled.
CNotifySocket::~CNotifySocket()
{
    Close();
    if (IsBlocking())
        CancelBlockingCall();
}

int CNotifySocket::Receive(void* lpBuf, int nBufLen, int nFlags)
{
    return CSocket::Receive(lpBuf, nBufLen, nFlags);
}

int CNotifySocket::Send(const void* lpBuf, int nBufLen, int nFlags)
{
    return CSocket::Send(lpBuf, nBufLen, nFlags);
}

// One block per notification: the socket layer notifies again while unread
// data remains.
void CNotifySocket::OnReceive(int nErrorCode)
{
    char buffer[kBlockSize];
    memset(buffer, 0, sizeof(buffer));
    if (nErrorCode == 0) {
        const int nRead = Receive(buffer, sizeof(buffer), 0);
        if (nRead >= 0 && m_pfnData)
            m_pfnData(buffer, nRead, m_pContext);
    }
    CSocket::OnReceive(nErrorCode);
}

void CNotifySocket::OnSend(int nErrorCode)
{
    CSocket::OnSend(nErrorCode);
}

// Set whatever the outcome: the results are not needed, a failure leaves
// the socket layer's defaults.
void CNotifySocket::OnConnect(int nErrorCode)
{
    setsockopt(m_hSocket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&m_nTimeout), sizeof(m_nTimeout));
    setsockopt(m_hSocket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&m_nTimeout), sizeof(m_nTimeout));
    CSocket::OnConnect(nErrorCode);
}

// The socket is closed before the owner hears of it, so that nothing more
// can be read from it by the callback or later.
void CNotifySocket::OnClose(int nErrorCode)
{
    Close();
    if (m_pfnClose)
        m_pfnClose(nErrorCode, m_pContext);
    CSocket::OnClose(nErrorCode);
}
