#include "Socket.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>

#include "File.h"
#include "Window.h"

namespace {

void CleanupSockets()
{
    ::WSACleanup();
}

// Kept notifications of the socket whose message is wParam are due.
const UINT WM_SOCKET_KEPT = WM_APP;
// Each socket gets a message number of its own, so that a notification still
// queued for a closed socket can neither be mistaken for one of a newer
// socket that reuses the handle value nor survive the close.
const UINT kFirstSocketMessage = WM_APP + 0x10;
const UINT kLastSocketMessage = 0xBFFF;
// A socket's timer, delivered like its notifications; no FD_ event has
// this bit.
const long kTimerEvent = 1L << 16;

struct SocketThreadState {
    HWND hWnd = nullptr;
    std::map<UINT, CAsyncSocket*> sockets; // by their notification message
    UINT nNextMessage = kFirstSocketMessage;
};
thread_local SocketThreadState t_state;

u_long BytesPending(SOCKET s)
{
    u_long nPending = 0;
    if (::ioctlsocket(s, FIONREAD, &nPending) == SOCKET_ERROR)
        return 0;
    return nPending;
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

// Lets a dispatch notice that a handler deleted the socket under it.
class LiveSocket {
public:
    explicit LiveSocket(const CAsyncSocket* pSocket) : m_pAlive(pSocket->m_pAlive) {}
    bool Alive() const { return *m_pAlive; }

private:
    std::shared_ptr<const bool> m_pAlive;
};

// The thread's hidden window that receives the socket notifications.
class CSocketWnd {
public:
    static HWND Handle()
    {
        if (!t_state.hWnd)
            t_state.hWnd = CreateMessageWindow(kClassName, WndProc);
        return t_state.hWnd;
    }

    // A free message number for the socket; 0 when all are taken.
    static UINT Attach(CAsyncSocket* pSocket)
    {
        const UINT nCount = kLastSocketMessage - kFirstSocketMessage + 1;
        for (UINT i = 0; i < nCount; ++i) {
            const UINT nMessage = t_state.nNextMessage;
            t_state.nNextMessage = nMessage == kLastSocketMessage ? kFirstSocketMessage : nMessage + 1;
            if (t_state.sockets.emplace(nMessage, pSocket).second)
                return nMessage;
        }
        return 0;
    }

    static void Detach(UINT nMessage)
    {
        t_state.sockets.erase(nMessage);
        if (t_state.hWnd)
            ::KillTimer(t_state.hWnd, nMessage);
        MSG msg;
        while (t_state.hWnd && ::PeekMessageA(&msg, t_state.hWnd, nMessage, nMessage, PM_REMOVE)) {
        }
    }

    // A file failure or an exhausted heap in a handler ends that handler,
    // not the message loop that dispatched it (a dialog's, a message box's):
    // the exception is disposed of here, and the handler's owner has
    // counted its own loss.
    static void Dispatch(CAsyncSocket* pSocket, long lEvent, int nError)
    {
        LiveSocket live(pSocket);
        const bool bWasInRead = pSocket->m_bInReadNotification;
        try {
            DispatchEvent(pSocket, lEvent, nError, live);
        } catch (CFileException* e) {
            e->Delete();
        } catch (const std::bad_alloc&) {
        }
        if (live.Alive())
            pSocket->m_bInReadNotification = bWasInRead;
    }

private:
    static void DispatchEvent(CAsyncSocket* pSocket, long lEvent, int nError, const LiveSocket& live)
    {
        const SOCKET hSocket = pSocket->m_hSocket;
        switch (lEvent) {
        case FD_READ:
            // A read notification can outlive its data (an earlier read took
            // it). Its receive then fails with WSAEWOULDBLOCK rather than
            // waiting inside the handler, which would hold up the loop that
            // dispatched it. Asking the socket layer for the pending count
            // first would cost a round trip to it for every block.
            pSocket->m_bInReadNotification = true;
            pSocket->OnReceive(nError);
            break;
        case FD_WRITE:
            pSocket->OnSend(nError);
            break;
        case FD_OOB:
            pSocket->OnOutOfBandData(nError);
            break;
        case FD_ACCEPT:
            pSocket->OnAccept(nError);
            break;
        case FD_CONNECT:
            if (!pSocket->m_bConnectReported)
                pSocket->OnConnect(nError);
            break;
        case kTimerEvent:
            pSocket->OnTimer();
            break;
        case FD_CLOSE:
            // Every byte that arrived before the close is delivered before
            // it, as the close handler usually ends the socket. A handler
            // may close it and make another, whose handle value can be the
            // same: the notification message tells them apart.
            for (u_long nPending = BytesPending(hSocket); nPending > 0;) {
                const UINT nMessage = pSocket->m_nNotifyMessage;
                pSocket->OnReceive(0);
                if (!live.Alive() || pSocket->m_hSocket != hSocket || pSocket->m_nNotifyMessage != nMessage)
                    return;
                const u_long nLeft = BytesPending(hSocket);
                if (nLeft >= nPending) // the handler reads nothing: do not spin
                    break;
                nPending = nLeft;
            }
            pSocket->OnClose(nError);
            break;
        default:
            break;
        }
    }

    static constexpr const char* kClassName = "SocketNotificationWindow";

    static CAsyncSocket* Find(UINT nMessage)
    {
        const auto it = t_state.sockets.find(nMessage);
        return it == t_state.sockets.end() ? nullptr : it->second;
    }

    // Delivers the notifications kept when the message was posted. Those a
    // handler queues meanwhile come with messages of their own, so that a
    // socket that keeps queueing cannot hold the loop that dispatches them.
    static void DeliverKept(CAsyncSocket* pSocket)
    {
        LiveSocket live(pSocket);
        // A handler may start another blocking call; the rest then waits for
        // that call to end.
        for (size_t nDue = pSocket->m_kept.size();
             nDue > 0 && live.Alive() && !pSocket->m_pBlockingWait && !pSocket->m_kept.empty(); --nDue) {
            const CAsyncSocket::KeptNotification kept = pSocket->m_kept.front();
            pSocket->m_kept.pop_front();
            Dispatch(pSocket, kept.lEvent, kept.nError);
        }
    }

    static LRESULT CALLBACK WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_SOCKET_KEPT) {
            if (CAsyncSocket* pSocket = Find(static_cast<UINT>(wParam)))
                DeliverKept(pSocket);
            return 0;
        }
        long lEvent = 0;
        int nError = 0;
        CAsyncSocket* pSocket = nullptr;
        if (message == WM_TIMER) {
            // A timer runs once; its id is the socket's message.
            ::KillTimer(hWnd, wParam);
            pSocket = Find(static_cast<UINT>(wParam));
            lEvent = kTimerEvent;
        } else if (message >= kFirstSocketMessage && message <= kLastSocketMessage) {
            pSocket = Find(message);
            if (pSocket && pSocket->m_hSocket != static_cast<SOCKET>(wParam))
                pSocket = nullptr;
            lEvent = WSAGETSELECTEVENT(lParam);
            nError = WSAGETSELECTERROR(lParam);
        } else {
            return ::DefWindowProcA(hWnd, message, wParam, lParam);
        }
        if (!pSocket)
            return 0;
        if (CAsyncSocket::BlockingWait* pWait = pSocket->m_pBlockingWait) {
            if (lEvent & pWait->lEvents) {
                if (!pWait->bDone) {
                    pWait->bDone = true;
                    pWait->nError = nError;
                }
                // The blocking call acts on its own event; a close that ends
                // it still has to reach OnClose afterwards.
                if (lEvent != FD_CLOSE)
                    return 0;
            }
            pSocket->m_kept.push_back({lEvent, nError});
            return 0;
        }
        Dispatch(pSocket, lEvent, nError);
        return 0;
    }
};

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
    m_nNotifyMessage = CSocketWnd::Attach(this);
    const HWND hWnd = CSocketWnd::Handle();
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
    CSocketWnd::Detach(m_nNotifyMessage);
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
        ::PostMessageA(CSocketWnd::Handle(), WM_SOCKET_KEPT, m_nNotifyMessage, 0);
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
        ::PostMessageA(CSocketWnd::Handle(), WM_SOCKET_KEPT, m_nNotifyMessage, 0);
}

void CAsyncSocket::StartTimer(DWORD nMilliseconds)
{
    if (m_hSocket != INVALID_SOCKET)
        ::SetTimer(CSocketWnd::Handle(), m_nNotifyMessage, nMilliseconds, nullptr);
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
