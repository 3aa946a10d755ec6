#include "Socket.h"

#include <cstdlib>

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
