#pragma once
// Sockets whose network events arrive as window messages of a hidden
// notification window of the creating thread, so that whatever message loop
// runs on that thread dispatches them to the socket's virtual handlers.

#include <deque>
#include <memory>
#include <vector>

#include "Win32.h"
#include "CObject.h"
#include "HostLookup.h"

// Starts the socket layer for the process; it is released again at exit.
BOOL AfxSocketInit(WSADATA* lpwsaData = nullptr);

class CAsyncSocket : public CObject {
public:
    enum { allEvents = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE };

    CAsyncSocket() = default;
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;
    ~CAsyncSocket() override;

    // A non-blocking IPv4 socket registered for the given notifications.
    // A connect by CSocket replaces it with a socket of the family that
    // reached the host, registered for the same notifications.
    BOOL Create(UINT nSocketPort = 0, int nSocketType = SOCK_STREAM, long lEvent = allEvents,
                const char* lpszSocketAddress = nullptr);
    virtual int Receive(void* lpBuf, int nBufLen, int nFlags = 0);
    virtual int Send(const void* lpBuf, int nBufLen, int nFlags = 0);
    virtual void Close();

    virtual void OnReceive(int nErrorCode);
    virtual void OnSend(int nErrorCode);
    virtual void OnOutOfBandData(int nErrorCode);
    virtual void OnAccept(int nErrorCode);
    virtual void OnConnect(int nErrorCode);
    virtual void OnClose(int nErrorCode);

    SOCKET m_hSocket = INVALID_SOCKET;

protected:
    // State of one blocking call; it lives on the stack of that call, so a
    // socket deleted from a message that the call dispatches only marks it.
    struct BlockingWait {
        long lEvents;         // the notifications that end the wait
        int nError = 0;       // the error code of the one that did
        bool bDone = false;
        bool bCancelled = false;
        bool bDestroyed = false;
    };
    BlockingWait* m_pBlockingWait = nullptr;

    // Pumps this thread's messages until one of lEvents arrives for this
    // socket, the call is cancelled or the socket is destroyed. FALSE (with
    // WSAEINTR, or WSAETIMEDOUT after the blocking timeout) unless the event
    // arrived; after a FALSE the object may be gone.
    BOOL WaitForEvent(long lEvents, int* pnError);
    // The same wait, which also ends, with TRUE, when the wait is marked
    // done, at the tick nWakeTick (0: none) or once hSignal is set.
    BOOL Pump(BlockingWait& wait, ULONGLONG nWakeTick, HANDLE hSignal);
    // A socket of the family, registered for the notifications.
    BOOL Open(int nFamily, int nSocketType, long lEvent);
    // The handle, left open but no longer this object's: its notifications
    // stop coming here, and the object is as if closed.
    SOCKET Detach();
    // Closes this object's handle and goes on with hSocket in its place,
    // under the same notification message and for the same notifications.
    BOOL TakeOver(SOCKET hSocket);
    // Queues a notification for this socket as if the socket layer had sent
    // it; the next message loop dispatches it. For data that the object
    // holds itself and that no notification of the socket layer announces.
    void QueueNotification(long lEvent, int nError = 0);

    // OnTimer runs once, nMilliseconds from now, unless the socket closes
    // first; a later call replaces an earlier one.
    void StartTimer(DWORD nMilliseconds);
    virtual void OnTimer() {}

    // The tick (GetTickCount64) at which blocking calls give up; 0: never.
    ULONGLONG m_nBlockingDeadline = 0;
    long m_lEvents = 0; // the notifications the socket is registered for

    bool m_bConnectReported = false;
    // A read notification is being handled: a receive that finds nothing
    // fails at once instead of waiting.
    bool m_bInReadNotification = false;

private:
    friend class CSocketWnd;

    // Cleared by the destructor; a dispatch holds a reference to notice
    // that a handler deleted the socket under it.
    std::shared_ptr<bool> m_pAlive = std::make_shared<bool>(true);
    friend class LiveSocket;

    struct KeptNotification {
        long lEvent;
        int nError;
    };

    UINT m_nNotifyMessage = 0; // this socket's own message of the notification window
    std::deque<KeptNotification> m_kept;
};

// A socket whose connect, send and receive block, pumping messages, until
// they are done. Notifications for the socket that arrive meanwhile are kept
// and delivered after the call; none is dropped. A receive inside a read
// notification does not block: with nothing to read it fails with
// WSAEWOULDBLOCK.
class CSocket : public CAsyncSocket {
public:
    CSocket() = default;

    // Looks the host (a name, or an IPv4 or IPv6 address without brackets)
    // up and connects to the first of its addresses that answers, the next
    // attempt starting 250 ms after the one before or at once when that
    // one failed, the families taking turns. The lookup and the attempts
    // end at the blocking deadline, or with CancelBlockingCall. Once the
    // host has addresses, OnConnect reports the outcome (success or the
    // last failure) before Connect returns.
    BOOL Connect(const char* lpszHostAddress, UINT nHostPort);
    int Receive(void* lpBuf, int nBufLen, int nFlags = 0) override;
    // Sends all nBufLen bytes, or fails.
    int Send(const void* lpBuf, int nBufLen, int nFlags = 0) override;

    BOOL IsBlocking() const { return m_pBlockingWait != nullptr; }
    // Blocking calls still waiting for their event at this tick of
    // GetTickCount64 fail with WSAETIMEDOUT; 0 (the default) waits for ever.
    // One end time for a series of calls, so that a peer that answers a
    // little at a time cannot stretch the series.
    void SetBlockingDeadline(ULONGLONG nTick) { m_nBlockingDeadline = nTick; }
    // Ends the pending blocking call, which then fails with WSAEINTR.
    void CancelBlockingCall();

    static constexpr DWORD kAttemptDelayMs = 250;

private:
    class ConnectAttempt;
    // FALSE when the wait ended (timed out, cancelled, the object gone);
    // else TRUE with nError the lookup's outcome.
    BOOL LookUp(const char* lpszHostAddress, UINT nHostPort, std::vector<HostAddress>& addresses, int& nError);
    BOOL ConnectFirstOf(const std::vector<HostAddress>& addresses, int& nError);
    int Adopt(ConnectAttempt& attempt);
};
