// The thread's hidden window that receives the socket notifications and
// dispatches them to the sockets' handlers: kept ones after a blocking
// call, a close only after the data before it, timers like notifications.

#include "SocketWindow.h"

#include <map>
#include <memory>
#include <new>

#include "File.h"
#include "Window.h"

namespace {

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

HWND SocketWindow()
{
    return CSocketWnd::Handle();
}

UINT AttachSocket(CAsyncSocket* pSocket)
{
    return CSocketWnd::Attach(pSocket);
}

void DetachSocket(UINT nMessage)
{
    CSocketWnd::Detach(nMessage);
}
