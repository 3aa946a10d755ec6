#include "HostLookup.h"

#include <string>

namespace {

typedef INT(WSAAPI* CancelLookupFunction)(LPHANDLE);

std::wstring Wide(const char* pszText)
{
    const int nWide = ::MultiByteToWideChar(CP_ACP, 0, pszText, -1, nullptr, 0);
    std::wstring text(static_cast<size_t>(nWide > 0 ? nWide : 1), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, pszText, -1, text.data(), nWide);
    text.resize(text.size() - 1);
    return text;
}

} // namespace

// The resolver writes the result and the status into the request when the
// lookup ends, however long after the asker gave up, so a request that was
// given up is never freed: a process gives up at most the lookup of the
// one transfer that failed by it.
struct CHostLookup::Request {
    OVERLAPPED overlapped = {};
    ADDRINFOEXW* pResult = nullptr;
    HANDLE hCancel = nullptr;
    std::wstring host;
    std::wstring service;
};

CHostLookup::~CHostLookup()
{
    if (!m_pRequest)
        return;
    if (::WaitForSingleObject(m_pRequest->overlapped.hEvent, 0) != WAIT_OBJECT_0) {
        // Where the platform can cancel a lookup, the resolver stops at
        // once; where it cannot, the lookup runs on to its end unwatched.
        static const auto pfnCancel = reinterpret_cast<CancelLookupFunction>(
            reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ws2_32.dll"), "GetAddrInfoExCancel")));
        if (pfnCancel)
            pfnCancel(&m_pRequest->hCancel);
        return;
    }
    if (m_pRequest->pResult)
        ::FreeAddrInfoExW(m_pRequest->pResult);
    ::CloseHandle(m_pRequest->overlapped.hEvent);
    delete m_pRequest;
}

int CHostLookup::Start(const char* pszHost, UINT nPort)
{
    auto* pRequest = new Request;
    pRequest->host = Wide(pszHost);
    pRequest->service = std::to_wstring(nPort);
    pRequest->overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!pRequest->overlapped.hEvent) {
        delete pRequest;
        return WSAENOBUFS;
    }
    ADDRINFOEXW hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    const int nResult = ::GetAddrInfoExW(pRequest->host.c_str(), pRequest->service.c_str(), NS_ALL, nullptr, &hints,
                                         &pRequest->pResult, nullptr, &pRequest->overlapped, nullptr,
                                         &pRequest->hCancel);
    if (nResult != 0 && nResult != WSA_IO_PENDING) {
        ::CloseHandle(pRequest->overlapped.hEvent);
        delete pRequest;
        return nResult;
    }
    // An answer at once (a numeric address, say) comes without the event.
    if (nResult == 0)
        ::SetEvent(pRequest->overlapped.hEvent);
    m_pRequest = pRequest;
    return 0;
}

HANDLE CHostLookup::DoneEvent() const
{
    return m_pRequest ? m_pRequest->overlapped.hEvent : nullptr;
}

int CHostLookup::Result(std::vector<HostAddress>& addresses) const
{
    // The lookup's status, as GetAddrInfoExOverlappedResult reads it.
    const int nError = static_cast<int>(m_pRequest->overlapped.Internal);
    if (nError != 0)
        return nError;
    addresses.clear();
    for (const ADDRINFOEXW* p = m_pRequest->pResult; p; p = reinterpret_cast<const ADDRINFOEXW*>(p->ai_next)) {
        if ((p->ai_family != AF_INET && p->ai_family != AF_INET6) || p->ai_addrlen > sizeof(SOCKADDR_STORAGE))
            continue;
        HostAddress address;
        memcpy(&address.address, p->ai_addr, p->ai_addrlen);
        address.nLength = static_cast<int>(p->ai_addrlen);
        addresses.push_back(address);
    }
    return addresses.empty() ? WSAHOST_NOT_FOUND : 0;
}

std::vector<HostAddress> InterleavedByFamily(const std::vector<HostAddress>& addresses)
{
    std::vector<HostAddress> first;
    std::vector<HostAddress> other;
    for (const HostAddress& address : addresses)
        (address.Family() == addresses.front().Family() ? first : other).push_back(address);
    std::vector<HostAddress> interleaved;
    for (size_t i = 0; i < first.size() || i < other.size(); ++i) {
        if (i < first.size())
            interleaved.push_back(first[i]);
        if (i < other.size())
            interleaved.push_back(other[i]);
    }
    return interleaved;
}
