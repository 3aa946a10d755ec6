#include "DetectionMemory.h"

#include "framework/Win32.h"

#include <iphlpapi.h>

#include <string>
#include <vector>

#include "framework/Handles.h"

namespace {

const char kKey[] = "Software\\Quillbrook\\QBSUITE\\Updater";
const char kValue[] = "ProxyDetectionMissed";
// In the 100 ns units of a FILETIME.
const unsigned long long kRememberedFor = 10ull * 60 * 10000000;

unsigned long long Now()
{
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

std::string Narrow(const wchar_t* pszWide)
{
    const int nCount = ::WideCharToMultiByte(CP_UTF8, 0, pszWide, -1, nullptr, 0, nullptr, nullptr);
    std::string text(nCount > 0 ? static_cast<size_t>(nCount) : 1, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, pszWide, -1, text.data(), nCount, nullptr, nullptr);
    return text.c_str();
}

// "suffix gateway" of each adapter that is up and has a gateway; empty when
// none can be told, and then nothing is remembered.
std::string NetworkIdentity()
{
    ULONG nSize = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG nResult = ERROR_BUFFER_OVERFLOW;
    for (int nTry = 0; nTry < 3 && nResult == ERROR_BUFFER_OVERFLOW; ++nTry) {
        buffer.resize(nSize);
        nResult = ::GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_INCLUDE_GATEWAYS | GAA_FLAG_SKIP_ANYCAST |
                                                        GAA_FLAG_SKIP_MULTICAST,
                                         nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &nSize);
    }
    if (nResult != NO_ERROR)
        return {};
    std::string identity;
    for (auto* p = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); p; p = p->Next) {
        if (p->OperStatus != IfOperStatusUp || !p->FirstGatewayAddress)
            continue;
        char szGateway[64] = {};
        DWORD nLength = sizeof(szGateway);
        const SOCKET_ADDRESS& address = p->FirstGatewayAddress->Address;
        if (::WSAAddressToStringA(address.lpSockaddr, static_cast<DWORD>(address.iSockaddrLength), nullptr,
                                  szGateway, &nLength) != 0)
            continue;
        identity += Narrow(p->DnsSuffix ? p->DnsSuffix : L"") + " " + szGateway + ";";
    }
    return identity;
}

} // namespace

bool IsDetectionKnownToMiss()
{
    CUniqueHKey key;
    char szValue[1024] = {};
    DWORD nSize = sizeof(szValue) - 1;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, key.Put()) != ERROR_SUCCESS ||
        ::RegQueryValueExA(key.Get(), kValue, nullptr, nullptr, reinterpret_cast<BYTE*>(szValue), &nSize) !=
            ERROR_SUCCESS)
        return false;
    const std::string value(szValue);
    const size_t nBlank = value.find(' ');
    if (nBlank == std::string::npos)
        return false;
    const unsigned long long nWhen = std::strtoull(value.substr(0, nBlank).c_str(), nullptr, 10);
    const unsigned long long nNow = Now();
    const std::string identity = NetworkIdentity();
    return !identity.empty() && value.substr(nBlank + 1) == identity && nWhen <= nNow &&
           nNow - nWhen < kRememberedFor;
}

void RememberDetection(bool bMissed)
{
    CUniqueHKey key;
    if (::RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.Put(), nullptr) !=
        ERROR_SUCCESS)
        return;
    const std::string identity = bMissed ? NetworkIdentity() : std::string();
    if (identity.empty()) {
        ::RegDeleteValueA(key.Get(), kValue);
        return;
    }
    const std::string value = std::to_string(Now()) + " " + identity;
    ::RegSetValueExA(key.Get(), kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
}
