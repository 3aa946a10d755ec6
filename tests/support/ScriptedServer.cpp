#include "ScriptedServer.h"

#include <windows.h>

#include <algorithm>

namespace {

bool Readable(SOCKET hSocket, int nMs)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(hSocket, &set);
    timeval timeout = {nMs / 1000, (nMs % 1000) * 1000};
    return select(0, &set, nullptr, nullptr, &timeout) == 1;
}

void SendAll(SOCKET hSocket, const std::string& bytes)
{
    size_t nSent = 0;
    while (nSent < bytes.size()) {
        const int n = send(hSocket, bytes.data() + nSent, static_cast<int>(bytes.size() - nSent), 0);
        if (n <= 0)
            return;
        nSent += static_cast<size_t>(n);
    }
}

} // namespace

SOCKET BindLoopback(int& nPort)
{
    const SOCKET hSocket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(hSocket, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    int nLength = sizeof(address);
    getsockname(hSocket, reinterpret_cast<sockaddr*>(&address), &nLength);
    nPort = ntohs(address.sin_port);
    return hSocket;
}

int RefusingPort()
{
    WSADATA wsaData;
    WSAStartup(MAKEWORD(2, 2), &wsaData);
    int nPort = 0;
    closesocket(BindLoopback(nPort));
    WSACleanup();
    return nPort;
}

ScriptedServer::ScriptedServer(std::vector<ServerStep> script) : m_script(std::move(script))
{
    WSADATA wsaData;
    WSAStartup(MAKEWORD(2, 2), &wsaData);
    m_hListen = BindLoopback(m_nPort);
    listen(m_hListen, 8);
    m_thread = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer()
{
    m_bStop = true;
    m_thread.join();
    closesocket(m_hListen);
    WSACleanup();
}

std::string ScriptedServer::Request(int i) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return i < static_cast<int>(m_connections.size()) ? m_connections[static_cast<size_t>(i)].received : std::string();
}

int ScriptedServer::Connections() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_connections.size());
}

bool ScriptedServer::Finished(int i) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return i < static_cast<int>(m_connections.size()) && m_connections[static_cast<size_t>(i)].bFinished;
}

bool ScriptedServer::ClientClosed(int i) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return i < static_cast<int>(m_connections.size()) && m_connections[static_cast<size_t>(i)].bClientClosed;
}

void ScriptedServer::Run()
{
    while (!m_bStop) {
        if (!Readable(m_hListen, 50))
            continue;
        const SOCKET hConnection = accept(m_hListen, nullptr, nullptr);
        if (hConnection == INVALID_SOCKET)
            continue;
        int nIndex;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_connections.emplace_back();
            nIndex = static_cast<int>(m_connections.size()) - 1;
        }
        Play(hConnection, nIndex);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connections[static_cast<size_t>(nIndex)].bFinished = true;
    }
}

bool ScriptedServer::ReadSome(SOCKET hConnection, int nIndex, int nMs)
{
    if (!Readable(hConnection, nMs))
        return true;
    char buffer[16384];
    const int n = recv(hConnection, buffer, sizeof(buffer), 0);
    std::lock_guard<std::mutex> lock(m_mutex);
    Connection& connection = m_connections[static_cast<size_t>(nIndex)];
    if (n <= 0) {
        connection.bClientClosed = true;
        return false;
    }
    connection.received.append(buffer, static_cast<size_t>(n));
    return true;
}

void ScriptedServer::Play(SOCKET hConnection, int nIndex)
{
    const auto received = [&] { return Request(nIndex); };
    const auto receivedSize = [&] {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_connections[static_cast<size_t>(nIndex)].received.size();
    };
    // Where the requests that earlier steps read end: a later ReadRequest
    // waits for a request of its own.
    size_t nRequestsEnd = 0;
    for (const ServerStep& step : m_script) {
        if (m_bStop)
            break;
        const DWORD nStart = GetTickCount();
        const auto timeLeft = [&] { return static_cast<int>(step.nMs) - static_cast<int>(GetTickCount() - nStart); };
        switch (step.kind) {
        case ServerStep::kReadRequest: {
            while (received().find("\r\n\r\n", nRequestsEnd) == std::string::npos && receivedSize() < 65536 &&
                   timeLeft() > 0 && !m_bStop && ReadSome(hConnection, nIndex, 50)) {
            }
            const size_t nEnd = received().find("\r\n\r\n", nRequestsEnd);
            nRequestsEnd = nEnd == std::string::npos ? receivedSize() : nEnd + 4;
            break;
        }
        case ServerStep::kReceive: {
            const size_t nTarget = receivedSize() + step.nBytes;
            while (receivedSize() < nTarget && timeLeft() > 0 && !m_bStop && ReadSome(hConnection, nIndex, 50)) {
            }
            break;
        }
        case ServerStep::kSend:
            SendAll(hConnection, step.bytes);
            break;
        case ServerStep::kSleep:
            Sleep(static_cast<DWORD>(step.nMs));
            break;
        case ServerStep::kClose:
            shutdown(hConnection, SD_SEND);
            // Closing with unread input would turn the close into a reset.
            while (timeLeft() > 0 && !m_bStop && ReadSome(hConnection, nIndex, 50)) {
            }
            closesocket(hConnection);
            hConnection = INVALID_SOCKET;
            break;
        case ServerStep::kReset: {
            const linger abort = {1, 0};
            setsockopt(hConnection, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof(abort));
            closesocket(hConnection);
            hConnection = INVALID_SOCKET;
            break;
        }
        case ServerStep::kRelay:
            Relay(hConnection, nIndex, step);
            hConnection = INVALID_SOCKET;
            break;
        case ServerStep::kWaitForClientClose:
            while (timeLeft() > 0 && !m_bStop && ReadSome(hConnection, nIndex, 50)) {
            }
            break;
        }
        if (hConnection == INVALID_SOCKET)
            break;
    }
    if (hConnection != INVALID_SOCKET)
        closesocket(hConnection);
}

void ScriptedServer::Relay(SOCKET hConnection, int nIndex, const ServerStep& step)
{
    const SOCKET hServer = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(step.nPort));
    bool bOpen = connect(hServer, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    // The network fails once: later connections pass everything.
    const size_t nCutAfter = nIndex == 0 ? step.nBytes : SIZE_MAX;
    bool bCut = false;
    size_t nPassed = 0;
    const DWORD nStart = GetTickCount();
    char buffer[16384];
    while (bOpen && !m_bStop && GetTickCount() - nStart < static_cast<DWORD>(step.nMs)) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(hConnection, &set);
        FD_SET(hServer, &set);
        timeval timeout = {0, 50000};
        if (select(0, &set, nullptr, nullptr, &timeout) <= 0)
            continue;
        if (FD_ISSET(hConnection, &set)) {
            const int n = recv(hConnection, buffer, sizeof(buffer), 0);
            if (n <= 0)
                break;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_connections[static_cast<size_t>(nIndex)].received.append(buffer, static_cast<size_t>(n));
            }
            SendAll(hServer, std::string(buffer, static_cast<size_t>(n)));
        }
        if (FD_ISSET(hServer, &set)) {
            const size_t nWanted = std::min(sizeof(buffer), nCutAfter - nPassed);
            const int n = recv(hServer, buffer, static_cast<int>(nWanted), 0);
            bOpen = n > 0;
            if (bOpen) {
                SendAll(hConnection, std::string(buffer, static_cast<size_t>(n)));
                nPassed += static_cast<size_t>(n);
                bCut = nPassed == nCutAfter;
                bOpen = !bCut;
            }
        }
    }
    closesocket(hServer);
    if (bCut) {
        // A reset throws away what the client has not read yet: the bytes
        // passed on arrive first.
        Sleep(300);
        const linger abort = {1, 0};
        setsockopt(hConnection, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof(abort));
    } else {
        shutdown(hConnection, SD_SEND);
    }
    closesocket(hConnection);
}

std::vector<ServerStep> Answering(const std::string& response)
{
    return {ServerStep::ReadRequest(), ServerStep::Send(response), ServerStep::Close()};
}

std::string OkResponse(const std::string& body)
{
    return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
