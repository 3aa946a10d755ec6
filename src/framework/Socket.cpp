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
    if (::WSAStartup(MAKEWORD(1, 1), &wsaData) != 0)
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
    if (m_hSocket != INVALID_SOCKET) {
        ::WSASetLastError(WSAEINVAL);
        return FALSE;
    }
    const SOCKET hSocket = ::socket(AF_INET, nSocketType, 0);
    if (hSocket == INVALID_SOCKET)
        return FALSE;
    if (nSocketPort != 0 || lpszSocketAddress) {
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        local.sin_port = ::htons(static_cast<u_short>(nSocketPort));
        local.sin_addr.s_addr = lpszSocketAddress ? ::inet_addr(lpszSocketAddress) : INADDR_ANY;
        if (::bind(hSocket, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == SOCKET_ERROR) {
            const int nError = ::WSAGetLastError();
            ::closesocket(hSocket);
            ::WSASetLastError(nError);
            return FALSE;
        }
    }
    m_hSocket = hSocket;
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

int CAsyncSocket::ResolveHost(const char* lpszHostAddress, UINT nHostPort, sockaddr_in* pAddresses, int nMax)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(static_cast<u_short>(nHostPort));
    address.sin_addr.s_addr = ::inet_addr(lpszHostAddress);
    if (address.sin_addr.s_addr != INADDR_NONE) {
        pAddresses[0] = address;
        return 1;
    }
    const hostent* pHost = ::gethostbyname(lpszHostAddress);
    if (!pHost || pHost->h_addrtype != AF_INET)
        return 0;
    int nCount = 0;
    for (char** pp = pHost->h_addr_list; *pp && nCount < nMax; ++pp) {
        memcpy(&address.sin_addr, *pp, sizeof(address.sin_addr));
        pAddresses[nCount++] = address;
    }
    return nCount;
}

BOOL CAsyncSocket::Connect(const char* lpszHostAddress, UINT nHostPort)
{
    sockaddr_in address;
    if (ResolveHost(lpszHostAddress, nHostPort, &address, 1) == 0)
        return FALSE;
    m_bConnectReported = false;
    return ::connect(m_hSocket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != SOCKET_ERROR;
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
    m_pBlockingWait = &wait;
    // Read once: a handler dispatched below may delete the object.
    const ULONGLONG nDeadline = m_nBlockingDeadline;
    bool bTimedOut = false;
    while (!wait.bDone && !wait.bCancelled && !wait.bDestroyed) {
        MSG msg;
        BOOL bResult;
        if (nDeadline == 0) {
            bResult = ::GetMessageA(&msg, nullptr, 0, 0);
        } else {
            const ULONGLONG nNow = ::GetTickCount64();
            if (nNow >= nDeadline) {
                bTimedOut = true;
                break;
            }
            if (!::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                ::MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(nDeadline - nNow), QS_ALLINPUT,
                                              MWMO_INPUTAVAILABLE);
                continue;
            }
            bResult = msg.message == WM_QUIT ? 0 : 1;
        }
        if (bResult == 0) {
            // The quit request belongs to the outer loop.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            wait.bCancelled = true;
        } else if (bResult == -1) {
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
    if (wait.bCancelled || !wait.bDone) {
        ::WSASetLastError(WSAEINTR);
        return FALSE;
    }
    *pnError = wait.nError;
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

BOOL CSocket::Connect(const char* lpszHostAddress, UINT nHostPort)
{
    if (m_pBlockingWait) {
        ::WSASetLastError(WSAEINPROGRESS);
        return FALSE;
    }
    sockaddr_in addresses[16];
    const int nCount = ResolveHost(lpszHostAddress, nHostPort, addresses, 16);
    if (nCount == 0)
        return FALSE;

    int nError = 0;
    for (int i = 0; i < nCount; ++i) {
        nError = 0;
        if (::connect(m_hSocket, reinterpret_cast<const sockaddr*>(&addresses[i]), sizeof(addresses[i])) ==
            SOCKET_ERROR) {
            nError = ::WSAGetLastError();
            if (nError == WSAEWOULDBLOCK && !WaitForEvent(FD_CONNECT, &nError))
                return FALSE;
        }
        if (nError == 0)
            break;
    }
    m_bConnectReported = true;
    OnConnect(nError);
    ::WSASetLastError(nError);
    return nError == 0;
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
