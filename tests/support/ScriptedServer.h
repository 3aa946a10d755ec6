#pragma once
// A TCP server on 127.0.0.1 (ephemeral port) on its own thread, with blocking
// Winsock, that plays one script of steps for each connection it accepts,
// one connection at a time. Every wait is bounded.

#include <winsock2.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A socket bound to a free port of 127.0.0.1, not yet listening; the
// caller has started Winsock.
SOCKET BindLoopback(int& nPort);
// A port on 127.0.0.1 where nothing listens: a connect is refused.
int RefusingPort();

struct ServerStep {
    enum Kind { kReadRequest, kReceive, kSend, kSleep, kClose, kReset, kWaitForClientClose, kRelay };

    // Reads until the end of a header block ("\r\n\r\n") after those that
    // earlier steps read, at most 64 KiB, 5 s.
    static ServerStep ReadRequest() { return {kReadRequest, {}, 5000, 0, 0}; }
    // Reads exactly nBytes (or until the client closes or nMs pass).
    static ServerStep Receive(size_t nBytes, int nMs = 10000) { return {kReceive, {}, nMs, nBytes, 0}; }
    static ServerStep Send(std::string bytes) { return {kSend, std::move(bytes), 0, 0, 0}; }
    static ServerStep Sleep(int nMs) { return {kSleep, {}, nMs, 0, 0}; }
    // Graceful: shutdown for sending, wait up to 2 s for the client to close, close.
    static ServerStep Close() { return {kClose, {}, 2000, 0, 0}; }
    // SO_LINGER 0, then close: the client sees a reset.
    static ServerStep Reset() { return {kReset, {}, 0, 0, 0}; }
    static ServerStep WaitForClientClose(int nMs) { return {kWaitForClientClose, {}, nMs, 0, 0}; }
    // Passes the bytes of the connection on to 127.0.0.1:nPort and back
    // (what the client sends is recorded), for at most nMs, until either
    // side closes; a network that fails once: on the first connection,
    // after nCutAfter bytes from the server, the client's is reset.
    static ServerStep Relay(int nPort, size_t nCutAfter, int nMs = 30000) { return {kRelay, {}, nMs, nCutAfter, nPort}; }

    Kind kind;
    std::string bytes;
    int nMs;
    size_t nBytes;
    int nPort;
};

class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<ServerStep> script);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int Port() const { return m_nPort; }
    // The bytes received on connection i.
    std::string Request(int i = 0) const;
    int Connections() const;
    // Whether the script of connection i has run to its end.
    bool Finished(int i = 0) const;
    // Whether connection i saw the client close (or reset) the connection.
    bool ClientClosed(int i = 0) const;

private:
    struct Connection {
        std::string received;
        bool bFinished = false;
        bool bClientClosed = false;
    };

    void Run();
    void Play(SOCKET hConnection, int nIndex);
    // Reads what arrives within nMs into connection nIndex; false once the
    // client has closed or the connection failed.
    bool ReadSome(SOCKET hConnection, int nIndex, int nMs);
    void Relay(SOCKET hConnection, int nIndex, const ServerStep& step);

    std::vector<ServerStep> m_script;
    SOCKET m_hListen = INVALID_SOCKET;
    int m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    mutable std::mutex m_mutex;
    std::vector<Connection> m_connections;
    std::thread m_thread;
};

// A server that reads the request, sends the response whole and closes.
std::vector<ServerStep> Answering(const std::string& response);
// A 200 response that announces the body's length.
std::string OkResponse(const std::string& body);
