// The connect of a blocking socket: the host's lookup, then attempts at its
// addresses that overlap in time, each a socket of its own whose outcome
// arrives as a notification; the first to connect becomes the connection.

#include "Socket.h"

#include "SocketWindow.h"

// One address tried; it marks the owner's wait done when its outcome
// arrives, so that the owner looks at every attempt again.
class CSocket::ConnectAttempt : public CAsyncSocket {
public:
    explicit ConnectAttempt(CSocket& owner) : m_owner(owner) {}

    // 0 when connected at once, WSAEWOULDBLOCK when the outcome comes
    // with OnConnect, else the error.
    int Start(const HostAddress& address)
    {
        if (!Open(address.Family(), SOCK_STREAM, FD_CONNECT))
            return ::WSAGetLastError();
        if (::connect(m_hSocket, reinterpret_cast<const sockaddr*>(&address.address), address.nLength) ==
            SOCKET_ERROR)
            return ::WSAGetLastError();
        return 0;
    }

    void OnConnect(int nErrorCode) override
    {
        m_bEnded = true;
        m_nError = nErrorCode;
        if (m_owner.m_pBlockingWait)
            m_owner.m_pBlockingWait->bDone = true;
    }

    // The connected socket, for the owner to go on with.
    SOCKET Release() { return Detach(); }
    bool Ended() const { return m_bEnded; }
    int Error() const { return m_nError; }

private:
    CSocket& m_owner;
    bool m_bEnded = false;
    int m_nError = 0;
};

BOOL CSocket::Connect(const char* lpszHostAddress, UINT nHostPort)
{
    if (m_pBlockingWait) {
        ::WSASetLastError(WSAEINPROGRESS);
        return FALSE;
    }
    if (m_hSocket == INVALID_SOCKET) {
        ::WSASetLastError(WSAENOTSOCK);
        return FALSE;
    }
    std::vector<HostAddress> addresses;
    int nError = 0;
    if (!LookUp(lpszHostAddress, nHostPort, addresses, nError))
        return FALSE;
    if (nError != 0) {
        ::WSASetLastError(nError);
        return FALSE;
    }
    if (!ConnectFirstOf(InterleavedByFamily(addresses), nError))
        return FALSE;
    m_bConnectReported = true;
    OnConnect(nError);
    ::WSASetLastError(nError);
    return nError == 0;
}

// The lookup is given up, never waited for, when the wait ends first.
BOOL CSocket::LookUp(const char* lpszHostAddress, UINT nHostPort, std::vector<HostAddress>& addresses, int& nError)
{
    CHostLookup lookup;
    nError = lookup.Start(lpszHostAddress, nHostPort);
    if (nError != 0)
        return TRUE;
    BlockingWait wait;
    wait.lEvents = 0;
    if (!Pump(wait, 0, lookup.DoneEvent()))
        return FALSE;
    nError = lookup.Result(addresses);
    return TRUE;
}

// The attempts that are still open when one wins, or when the wait ends,
// are closed with the vector that holds them.
BOOL CSocket::ConnectFirstOf(const std::vector<HostAddress>& addresses, int& nError)
{
    std::vector<std::unique_ptr<ConnectAttempt>> pending;
    size_t nNext = 0;
    ULONGLONG nNextStart = 0;
    nError = WSAHOST_NOT_FOUND;
    for (;;) {
        while (nNext < addresses.size() && (pending.empty() || ::GetTickCount64() >= nNextStart)) {
            auto pAttempt = std::make_unique<ConnectAttempt>(*this);
            const int nStarted = pAttempt->Start(addresses[nNext++]);
            if (nStarted == 0) {
                nError = Adopt(*pAttempt);
                return TRUE;
            }
            if (nStarted != WSAEWOULDBLOCK) {
                nError = nStarted;
                continue;
            }
            pending.push_back(std::move(pAttempt));
            nNextStart = ::GetTickCount64() + kAttemptDelayMs;
        }
        if (pending.empty())
            return TRUE;

        BlockingWait wait;
        wait.lEvents = 0;
        if (!Pump(wait, nNext < addresses.size() ? nNextStart : 0, nullptr))
            return FALSE;
        for (auto it = pending.begin(); it != pending.end();) {
            if (!(*it)->Ended()) {
                ++it;
                continue;
            }
            if ((*it)->Error() == 0) {
                nError = Adopt(**it);
                return TRUE;
            }
            nError = (*it)->Error();
            it = pending.erase(it);
        }
    }
}

// The winning attempt's socket replaces the one that Create made.
int CSocket::Adopt(ConnectAttempt& attempt)
{
    return TakeOver(attempt.Release()) ? 0 : ::WSAGetLastError();
}
