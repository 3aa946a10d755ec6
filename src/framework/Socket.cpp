#include "Socket.h"

#include <cstdlib>
#include <cstring>

#include "SocketWindow.h"

namespace {

void CleanupSockets()
{
    ::WSACleanup();
}

} // namespace

BOOL AfxSocketInit(WSADATA* lpwsaData)
{
    WSADATA wsaData;
    if (::WSAStartup(MAKEWORD(2, 2), &wsaData) != 0)
        return FALSE;
    if (lpwsaData)
        *lpwsaData = wsaData;
    std::atexit(CleanupSockets);
    return TRUE;
}

CAsyncSocket::~CAsyncSocket()
{
    Close();
    *m_pAlive = false;
    if (m_pBlockingWait)
        m_pBlockingWait->bDestroyed = true;
}

BOOL CAsyncSocket::Create(UINT nSocketPort, int nSocketType, long lEvent, const char* lpszSocketAddress)
{
    if (!Open(AF_INET, nSocketType, lEvent))
        return FALSE;
    if (nSocketPort != 0 || lpszSocketAddress) {
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        local.sin_port = ::htons(static_cast<u_short>(nSocketPort));
        local.sin_addr.s_addr = lpszSocketAddress ? ::inet_addr(lpszSocketAddress) : INADDR_ANY;
        if (::bind(m_hSocket, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == SOCKET_ERROR) {
            const int nError = ::WSAGetLastError();
            Close();
            ::WSASetLastError(nError);
            return FALSE;
        }
    }
    return TRUE;
}

BOOL CAsyncSocket::Open(int nFamily, int nSocketType, long lEvent)
{
    if (m_hSocket != INVALID_SOCKET) {
        ::WSASetLastError(WSAEINVAL);
        return FALSE;
    }
    const SOCKET hSocket = ::socket(nFamily, nSocketType, 0);
    if (hSocket == INVALID_SOCKET)
        return FALSE;
    m_hSocket = hSocket;
    m_lEvents = lEvent;
    m_bConnectReported = false;
    m_nNotifyMessage = AttachSocket(this);
    const HWND hWnd = SocketWindow();
    if (m_nNotifyMessage == 0 || !hWnd ||
        ::WSAAsyncSelect(hSocket, hWnd, m_nNotifyMessage, lEvent) == SOCKET_ERROR) {
        const int nError = m_nNotifyMessage == 0 || !hWnd ? WSAENOBUFS : ::WSAGetLastError();
        Close();
        ::WSASetLastError(nError);
        return FALSE;
    }
    return TRUE;
}

SOCKET CAsyncSocket::Detach()
{
    const SOCKET hSocket = m_hSocket;
    m_hSocket = INVALID_SOCKET;
    DetachSocket(m_nNotifyMessage);
    m_nNotifyMessage = 0;
    m_kept.clear();
    return hSocket;
}

BOOL CAsyncSocket::TakeOver(SOCKET hSocket)
{
    // Queued notifications of the old handle are told apart by the handle
    // value they carry, and dropped.
    ::closesocket(m_hSocket);
    m_hSocket = hSocket;
    m_kept.clear();
    return ::WSAAsyncSelect(hSocket, SocketWindow(), m_nNotifyMessage, m_lEvents) != SOCKET_ERROR;
}

int CAsyncSocket::Receive(void* lpBuf, int nBufLen, int nFlags)
{
    return ::recv(m_hSocket, static_cast<char*>(lpBuf), nBufLen, nFlags);
}

int CAsyncSocket::Send(const void* lpBuf, int nBufLen, int nFlags)
{
    return ::send(m_hSocket, static_cast<const char*>(lpBuf), nBufLen, nFlags);
}

void CAsyncSocket::Close()
{
    if (m_hSocket == INVALID_SOCKET)
        return;
    const SOCKET hSocket = m_hSocket;
    m_hSocket = INVALID_SOCKET;
    ::closesocket(hSocket);
    DetachSocket(m_nNotifyMessage);
    m_nNotifyMessage = 0;
    m_kept.clear();
    // A closed socket never notifies again, so nothing else could end the wait.
    if (m_pBlockingWait)
        m_pBlockingWait->bCancelled = true;
}

void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnOutOfBandData(int) {}
void CAsyncSocket::OnAccept(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnClose(int) {}

BOOL CAsyncSocket::WaitForEvent(long lEvents, int* pnError)
{
    BlockingWait wait;
    wait.lEvents = lEvents;
    if (!Pump(wait, 0, nullptr))
        return FALSE;
    *pnError = wait.nError;
    return TRUE;
}

BOOL CAsyncSocket::Pump(BlockingWait& wait, ULONGLONG nWakeTick, HANDLE hSignal)
{
    m_pBlockingWait = &wait;
    // Read once: a handler dispatched below may delete the object.
    const ULONGLONG nDeadline = m_nBlockingDeadline;
    bool bTimedOut = false;
    while (!wait.bDone && !wait.bCancelled && !wait.bDestroyed) {
        const ULONGLONG nNow = ::GetTickCount64();
        if (nDeadline != 0 && nNow >= nDeadline) {
            bTimedOut = true;
            break;
        }
        if ((nWakeTick != 0 && nNow >= nWakeTick) || (hSignal && ::WaitForSingleObject(hSignal, 0) == WAIT_OBJECT_0))
            break;
        MSG msg;
        if (!::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ULONGLONG nUntil = nDeadline;
            if (nWakeTick != 0 && (nUntil == 0 || nWakeTick < nUntil))
                nUntil = nWakeTick;
            const DWORD nWait = nUntil == 0 ? INFINITE : static_cast<DWORD>(nUntil - nNow);
            ::MsgWaitForMultipleObjectsEx(hSignal ? 1 : 0, hSignal ? &hSignal : nullptr, nWait, QS_ALLINPUT,
                                          MWMO_INPUTAVAILABLE);
            continue;
        }
        if (msg.message == WM_QUIT) {
            // The quit request belongs to the outer loop.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            wait.bCancelled = true;
        } else {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
    }
    if (wait.bDestroyed) {
        ::WSASetLastError(WSAEINTR);
        return FALSE;
    }
    m_pBlockingWait = nullptr;
    if (!m_kept.empty())
        ::PostMessageA(SocketWindow(), WM_SOCKET_KEPT, m_nNotifyMessage, 0);
    if (bTimedOut) {
        ::WSASetLastError(WSAETIMEDOUT);
        return FALSE;
    }
    if (wait.bCancelled) {
        ::WSASetLastError(WSAEINTR);
        return FALSE;
    }
    return TRUE;
}

void CAsyncSocket::QueueNotification(long lEvent, int nError)
{
    if (m_hSocket == INVALID_SOCKET)
        return;
    m_kept.push_back({lEvent, nError});
    // A blocking call posts the kept notifications itself when it ends.
    if (!m_pBlockingWait)
        ::PostMessageA(SocketWindow(), WM_SOCKET_KEPT, m_nNotifyMessage, 0);
}

void CAsyncSocket::StartTimer(DWORD nMilliseconds)
{
    if (m_hSocket != INVALID_SOCKET)
        ::SetTimer(SocketWindow(), m_nNotifyMessage, nMilliseconds, nullptr);
}

int CSocket::Receive(void* lpBuf, int nBufLen, int nFlags)
{
    if (m_pBlockingWait) {
        ::WSASetLastError(WSAEINPROGRESS);
        return SOCKET_ERROR;
    }
    for (;;) {
        const int nRead = CAsyncSocket::Receive(lpBuf, nBufLen, nFlags);
        if (nRead != SOCKET_ERROR || ::WSAGetLastError() != WSAEWOULDBLOCK || m_bInReadNotification)
            return nRead;
        int nError = 0;
        if (!WaitForEvent(FD_READ | FD_CLOSE, &nError))
            return SOCKET_ERROR;
    }
}

int CSocket::Send(const void* lpBuf, int nBufLen, int nFlags)
{
    if (m_pBlockingWait) {
        ::WSASetLastError(WSAEINPROGRESS);
        return SOCKET_ERROR;
    }
    const char* pNext = static_cast<const char*>(lpBuf);
    int nLeft = nBufLen;
    while (nLeft > 0) {
        const int nSent = CAsyncSocket::Send(pNext, nLeft, nFlags);
        if (nSent == SOCKET_ERROR) {
            if (::WSAGetLastError() != WSAEWOULDBLOCK)
                return SOCKET_ERROR;
            int nError = 0;
            if (!WaitForEvent(FD_WRITE | FD_CLOSE, &nError))
                return SOCKET_ERROR;
            continue;
        }
        pNext += nSent;
        nLeft -= nSent;
    }
    return nBufLen;
}

void CSocket::CancelBlockingCall()
{
    if (m_pBlockingWait)
        m_pBlockingWait->bCancelled = true;
}
