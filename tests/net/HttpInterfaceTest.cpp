// CHttpInterface::Request against a local server: what goes out, what comes
// back, and how failures reach the log and the owner.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "NetTestSupport.h"
#include "eventlog/LogLines.h"
#include "framework/File.h"
#include "net/HttpInterface.h"
#include "support/ScriptedServer.h"
#include "support/SuiteSettings.h"
#include "support/Waits.h"

namespace {

// Shuts the connection for sending as soon as it is made, so that writing
// the request fails in the socket layer itself.
class ShutAtConnect : public CHttpInterface {
public:
    using CHttpInterface::CHttpInterface;
    void OnConnect(int nErrorCode) override
    {
        CHttpInterface::OnConnect(nErrorCode);
        shutdown(m_hSocket, SD_SEND);
    }
};

// An error record of CHttpInterface among the records, and what there is
// when it is not.
::testing::AssertionResult HasRecord(const std::vector<LogRecord>& records, int nLine, const std::string& text)
{
    if (std::ranges::any_of(records, [&](const LogRecord& record) {
            return record.line == nLine && record.text == text && record.level == 0 && record.module == "HttpInterface";
        }))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << (records.empty() ? "no records" : "last: " + records.back().text);
}

// The owner of a connection that keeps every block as it came.
struct BlockOwner {
    std::vector<std::string> blocks;
    std::vector<int> closes;

    static void OnData(const char* pData, int nLength, void* pContext)
    {
        static_cast<BlockOwner*>(pContext)->blocks.emplace_back(pData, static_cast<size_t>(nLength));
    }
    static void OnClose(int nErrorCode, void* pContext) { static_cast<BlockOwner*>(pContext)->closes.push_back(nErrorCode); }
    std::string Joined() const
    {
        std::string all;
        for (const std::string& block : blocks)
            all += block;
        return all;
    }
};

// Counts the blocks that each read notification handed on.
class CountingConnection : public CHttpInterface {
public:
    CountingConnection(int nPort, BlockOwner& owner)
        : CHttpInterface("127.0.0.1", nPort, 500, "1.0", &owner, BlockOwner::OnData, BlockOwner::OnClose),
          m_owner(owner)
    {
    }
    void OnReceive(int nErrorCode) override
    {
        const size_t nBefore = m_owner.blocks.size();
        CHttpInterface::OnReceive(nErrorCode);
        if (m_owner.blocks.size() > nBefore)
            perNotification.push_back(m_owner.blocks.size() - nBefore);
    }
    std::vector<size_t> perNotification;

private:
    BlockOwner& m_owner;
};

class HttpInterfaceTest : public ::testing::Test {
protected:
    void SetUp() override { StartSockets(); }
    Owner owner;
};

TEST_F(HttpInterfaceTest, SendsExactlyTheBuiltRequestAndDeliversTheResponse)
{
    ProxySettings noProxy(0, std::string("127.0.0.1:1"));
    std::string response = "HTTP/1.0 200 OK\r\nContent-Length: 3000\r\n\r\n";
    for (int i = 0; i < 3000; ++i)
        response += static_cast<char>('a' + i % 26);
    ScriptedServer server({ServerStep::ReadRequest(), ServerStep::Send(response), ServerStep::Close()});

    CHttpInterface http("127.0.0.1", server.Port(), 500, "1.0", &owner, Owner::OnData, Owner::OnClose);
    int nLength = 1234;
    ASSERT_EQ(http.Request("/dir/setup.exe", nLength), 1);
    EXPECT_EQ(nLength, 1234);
    ASSERT_TRUE(PumpUntil([&] { return !owner.closes.empty(); }, 5000));

    EXPECT_EQ(server.Request(0), std::string(http.BuildRequest("/dir/setup.exe")));
    EXPECT_EQ(owner.data, response);
    EXPECT_EQ(owner.closes, std::vector<int>{0});
}

TEST_F(HttpInterfaceTest, TimeoutsAreSetOnceConnected)
{
    ProxySettings noProxy(0, std::nullopt);
    ScriptedServer server({ServerStep::ReadRequest(), ServerStep::WaitForClientClose(3000)});
    CHttpInterface http("127.0.0.1", server.Port(), 650, "1.0", &owner, Owner::OnData, Owner::OnClose);
    int nLength = 0;
    ASSERT_EQ(http.Request("/x", nLength), 1);
    for (int nOption : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        int nValue = 0;
        int nSize = sizeof(nValue);
        ASSERT_EQ(getsockopt(http.m_hSocket, SOL_SOCKET, nOption, reinterpret_cast<char*>(&nValue), &nSize), 0);
        EXPECT_EQ(nValue, 650) << nOption;
    }
}

TEST_F(HttpInterfaceTest, RefusedConnectIsLoggedAndReportedBeforeRequestReturns)
{
    ProxySettings noProxy(0, std::nullopt);
    LogCapture log;
    CHttpInterface http("127.0.0.1", RefusingPort(), 500, "1.0", &owner, Owner::OnData, Owner::OnClose);
    int nLength = 0;
    owner.bInRequest = true;
    EXPECT_EQ(http.Request("/x", nLength), -1);
    owner.bInRequest = false;
    EXPECT_EQ(nLength, -1);
    EXPECT_EQ(owner.closes, std::vector<int>{-1});
    EXPECT_TRUE(owner.bClosedInsideRequest);
    EXPECT_NE(http.m_hSocket, INVALID_SOCKET) << "the socket stays created";
    EXPECT_TRUE(HasRecord(log.Records(), LOG_LINE_CONNECT_ERROR, "Error 10061 connecting to host: '127.0.0.1'"));
}

TEST_F(HttpInterfaceTest, RefusedProxyIsTheHostNamed)
{
    const int nProxyPort = RefusingPort();
    ProxySettings proxy(1, "http=localhost:" + std::to_string(nProxyPort) + ";ftp=127.0.0.1:21");
    LogCapture log;
    CHttpInterface http("updates.example", 80, 500, "1.0", &owner, Owner::OnData, Owner::OnClose);
    int nLength = 0;
    EXPECT_EQ(http.Request("/x", nLength), -1);
    EXPECT_EQ(http.GetProxyHost(), "localhost");
    EXPECT_EQ(http.GetProxyPort(), nProxyPort);
    EXPECT_EQ(owner.closes, std::vector<int>{-1});
    EXPECT_TRUE(HasRecord(log.Records(), LOG_LINE_CONNECT_ERROR, "Error 10061 connecting to host: 'localhost'"));
}

TEST_F(HttpInterfaceTest, RefusedConnectWithoutCloseCallback)
{
    ProxySettings noProxy(0, std::nullopt);
    CHttpInterface http("127.0.0.1", RefusingPort(), 500, "1.0", &owner, Owner::OnData, nullptr);
    int nLength = 0;
    EXPECT_EQ(http.Request("/x", nLength), -1);
    EXPECT_EQ(nLength, -1);
}

TEST_F(HttpInterfaceTest, FailedWriteIsLoggedWithoutCallback)
{
    ProxySettings noProxy(0, std::nullopt);
    LogCapture log;
    ScriptedServer server({ServerStep::WaitForClientClose(3000)});
    ShutAtConnect http("127.0.0.1", server.Port(), 500, "1.0", &owner, Owner::OnData, Owner::OnClose);
    int nLength = 0;
    EXPECT_EQ(http.Request("/x", nLength), -1);
    EXPECT_EQ(nLength, -1);
    EXPECT_EQ(http.m_hSocket, INVALID_SOCKET) << "the socket is closed";
    PumpUntil([] { return false; }, 200);
    EXPECT_TRUE(owner.closes.empty());

    CFileException exception(CFileException::genericException, WSAESHUTDOWN);
    char szText[1024];
    exception.GetErrorMessage(szText, sizeof(szText));
    EXPECT_TRUE(
        HasRecord(log.Records(), LOG_LINE_SOCKET_FILE_ERROR, std::string("Socket file exception: '") + szText + "'"));
}

// The socket is read in large pieces, and the owner gets the blocks of one
// read back to back, within the notification.
TEST_F(HttpInterfaceTest, ReadNotificationFinding64KiBGivesTheOwner64BlocksInOrder)
{
    ProxySettings noProxy(0, std::nullopt);
    std::string waiting(64 * 1024, '\0');
    for (size_t i = 0; i < waiting.size(); ++i)
        waiting[i] = static_cast<char>((i * 7 + i / 1024) % 251);
    ScriptedServer server({ServerStep::ReadRequest(), ServerStep::Send(waiting), ServerStep::WaitForClientClose(5000)});
    BlockOwner owner;
    CountingConnection http(server.Port(), owner);
    int nLength = 0;
    ASSERT_EQ(http.Request("/x", nLength), 1);
    Sleep(300); // all of it waits in the socket before its notification is handled
    ASSERT_TRUE(PumpUntil([&] { return owner.Joined().size() >= waiting.size(); }, 5000));

    EXPECT_EQ(http.perNotification, std::vector<size_t>{64});
    ASSERT_EQ(owner.blocks.size(), 64u);
    for (const std::string& block : owner.blocks)
        EXPECT_EQ(block.size(), 1024u);
    EXPECT_TRUE(owner.Joined() == waiting);
    EXPECT_TRUE(owner.closes.empty());
}

TEST_F(HttpInterfaceTest, DestroyedAfterTheRequestNothingReachesTheOwner)
{
    ProxySettings noProxy(0, std::nullopt);
    ScriptedServer server({ServerStep::ReadRequest(), ServerStep::Send("HTTP/1.0 200 OK\r\n\r\nbody"),
                           ServerStep::Close()});
    auto* pHttp = new CHttpInterface("127.0.0.1", server.Port(), 500, "1.0", &owner, Owner::OnData, Owner::OnClose);
    int nLength = 0;
    ASSERT_EQ(pHttp->Request("/x", nLength), 1);
    Sleep(300); // the response and the close are queued
    delete pHttp;
    PumpUntil([] { return false; }, 300);
    EXPECT_TRUE(owner.data.empty());
    EXPECT_TRUE(owner.closes.empty());
    EXPECT_TRUE(PumpUntil([&] { return server.Finished(0); }, 5000));
    EXPECT_TRUE(server.ClientClosed(0));
}

} // namespace
