#include "NetTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "eventlog/EventLog.h"
#include "framework/Socket.h"

namespace {
const char kInternetSettings[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
}

void StartSockets()
{
    static const BOOL bStarted = AfxSocketInit();
    ASSERT_TRUE(bStarted);
}

ProxySettings::ProxySettings(std::optional<DWORD> nEnable, std::optional<std::string> strServer)
    : m_enable(Save("ProxyEnable")), m_server(Save("ProxyServer"))
{
    if (nEnable)
        SetRaw("ProxyEnable", REG_DWORD, &*nEnable, sizeof(DWORD));
    else
        Remove("ProxyEnable");
    if (strServer)
        SetRaw("ProxyServer", REG_SZ, strServer->c_str(), static_cast<DWORD>(strServer->size() + 1));
    else
        Remove("ProxyServer");
}

ProxySettings::~ProxySettings()
{
    Restore("ProxyEnable", m_enable);
    Restore("ProxyServer", m_server);
}

void ProxySettings::SetRaw(const char* pszName, DWORD nType, const void* pData, DWORD nSize)
{
    HKEY hKey;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, nullptr, 0, KEY_WRITE, nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(hKey, pszName, 0, nType, static_cast<const BYTE*>(pData), nSize), ERROR_SUCCESS);
    RegCloseKey(hKey);
}

void ProxySettings::Remove(const char* pszName)
{
    HKEY hKey;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_WRITE, &hKey) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(hKey, pszName);
    RegCloseKey(hKey);
}

ProxySettings::Saved ProxySettings::Save(const char* pszName)
{
    Saved saved;
    HKEY hKey;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return saved;
    DWORD nSize = 0;
    if (RegQueryValueExA(hKey, pszName, nullptr, &saved.nType, nullptr, &nSize) == ERROR_SUCCESS) {
        saved.data.resize(nSize);
        saved.bPresent = RegQueryValueExA(hKey, pszName, nullptr, &saved.nType, saved.data.data(), &nSize) ==
                         ERROR_SUCCESS;
    }
    RegCloseKey(hKey);
    return saved;
}

void ProxySettings::Restore(const char* pszName, const Saved& saved)
{
    if (saved.bPresent)
        SetRaw(pszName, saved.nType, saved.data.data(), static_cast<DWORD>(saved.data.size()));
    else
        Remove(pszName);
}

LogCapture::LogCapture()
{
    static const int bBound = LoadLogLibrary();
    EXPECT_TRUE(bBound) << "QbLog.dll beside the test";
    char szFolder[MAX_PATH];
    GetTempPathA(sizeof(szFolder), szFolder);
    char szPath[MAX_PATH];
    GetTempFileNameA(szFolder, "log", 0, szPath);
    m_strPath = szPath;
    const auto pfnSetLogFile = reinterpret_cast<void (*)(const char*)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("QbLog.dll"), "SetLogFile")));
    EXPECT_NE(pfnSetLogFile, nullptr);
    if (pfnSetLogFile)
        pfnSetLogFile(m_strPath.c_str());
}

LogCapture::~LogCapture()
{
    DeleteFileA(m_strPath.c_str());
}

std::vector<std::string> LogCapture::Records() const
{
    std::vector<std::string> records;
    std::ifstream file(m_strPath);
    for (std::string line; std::getline(file, line);)
        if (!line.empty())
            records.push_back(line);
    return records;
}

std::string JsonText(const std::string& text)
{
    std::string json = "\"";
    for (char ch : text) {
        if (ch == '"' || ch == '\\')
            json += '\\';
        json += ch;
    }
    return json + "\"";
}

int RefusingPort()
{
    const SOCKET hSocket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(hSocket, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    int nLength = sizeof(address);
    getsockname(hSocket, reinterpret_cast<sockaddr*>(&address), &nLength);
    closesocket(hSocket);
    return ntohs(address.sin_port);
}

int ProxyPortOf(const char* pszPortFileVariable)
{
    const char* pszFile = std::getenv(pszPortFileVariable);
    if (!pszFile)
        return 0;
    std::string strPath = std::string("Z:") + pszFile;
    for (char& ch : strPath)
        if (ch == '/')
            ch = '\\';
    std::ifstream file(strPath);
    int nPort = 0;
    file >> nPort;
    return nPort;
}
