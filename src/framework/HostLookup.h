#pragma once
// The addresses of a host, IPv4 and IPv6, looked up without holding the
// thread that asks: the lookup runs by itself and sets an event when it
// ends, so that the asking thread can go on dispatching its messages and
// give up at a deadline or a Cancel.

#include <vector>

#include "Win32.h"
#include <ws2tcpip.h>

struct HostAddress {
    SOCKADDR_STORAGE address = {};
    int nLength = 0;
    int Family() const { return address.ss_family; }
};

class CHostLookup {
public:
    CHostLookup() = default;
    CHostLookup(const CHostLookup&) = delete;
    CHostLookup& operator=(const CHostLookup&) = delete;
    // Gives up a lookup that has not ended.
    ~CHostLookup();

    // Starts looking up a name or a numeric address for nPort. 0 when the
    // lookup runs (DoneEvent is set when it ends), else the error.
    int Start(const char* pszHost, UINT nPort);
    HANDLE DoneEvent() const;
    // Once DoneEvent is set: 0 and the addresses in the resolver's order,
    // or the lookup's error.
    int Result(std::vector<HostAddress>& addresses) const;

private:
    struct Request;
    Request* m_pRequest = nullptr;
};

// The addresses in the resolver's order, but with the families taking
// turns from the first address's family on, so that a family that does
// not reach the host costs one attempt before the other family is tried.
std::vector<HostAddress> InterleavedByFamily(const std::vector<HostAddress>& addresses);
