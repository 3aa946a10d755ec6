// Requests through a real HTTP proxy (tinyproxy on 127.0.0.1, started by the
// test fixture), chosen by the user's Internet settings.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NetTestSupport.h"
#include "net/HttpInterface.h"
#include "support/ScriptedServer.h"
#include "support/SuiteSettings.h"
#include "support/Waits.h"

namespace {

std::string Body()
{
    std::string body;
    for (int i = 0; i < 70000; ++i)
        body += static_cast<char>(i % 256);
    return body;
}

class ProxyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        StartSockets();
        m_nProxyPort = ProxyPortOf("TINYPROXY_PORT_FILE");
        ASSERT_NE(m_nProxyPort, 0) << "no proxy: run through ctest, which starts tinyproxy";
    }
    int m_nProxyPort = 0;
    Owner owner;
};

TEST_F(ProxyTest, BodyArrivesIntactThroughTheProxy)
{
    const std::string body = Body();
    const std::string header = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    ScriptedServer server({ServerStep::ReadRequest(), ServerStep::Send(header + body), ServerStep::Close()});
    ProxySettings proxy(1, "http=127.0.0.1:" + std::to_string(m_nProxyPort) + ";ftp=127.0.0.1:1");

    CHttpInterface http("127.0.0.1", server.Port(), 500, "1.0", &owner, Owner::OnData, Owner::OnClose);
    int nLength = 0;
    ASSERT_EQ(http.Request("/dir/update.bin", nLength), 1);
    EXPECT_EQ(http.GetProxyPort(), m_nProxyPort);
    ASSERT_TRUE(PumpUntil([&] { return !owner.closes.empty(); }, 15000));

    EXPECT_EQ(owner.closes, std::vector<int>{0});
    ASSERT_EQ(owner.data.compare(0, 12, "HTTP/1.0 200"), 0) << owner.data.substr(0, 200);
    const size_t nEnd = owner.data.find("\r\n\r\n");
    ASSERT_NE(nEnd, std::string::npos);
    EXPECT_TRUE(owner.data.substr(nEnd + 4) == body) << "body of " << owner.data.size() - nEnd - 4 << " bytes";
    // The proxy asked the server for the path the program requested.
    EXPECT_EQ(server.Request(0).compare(0, 25, "GET /dir/update.bin HTTP/"), 0) << server.Request(0);
}

TEST_F(ProxyTest, DisabledProxyGoesDirect)
{
    const std::string body = Body();
    ScriptedServer server({ServerStep::ReadRequest(), ServerStep::Send("HTTP/1.0 200 OK\r\n\r\n" + body),
                           ServerStep::Close()});
    ProxySettings proxy(0, "http=127.0.0.1:" + std::to_string(m_nProxyPort));

    CHttpInterface http("127.0.0.1", server.Port(), 500, "1.0", &owner, Owner::OnData, Owner::OnClose);
    int nLength = 0;
    ASSERT_EQ(http.Request("/dir/update.bin", nLength), 1);
    EXPECT_EQ(http.GetProxyHost(), "");
    ASSERT_TRUE(PumpUntil([&] { return !owner.closes.empty(); }, 15000));

    EXPECT_EQ(server.Request(0), std::string(http.BuildRequest("/dir/update.bin")));
    EXPECT_TRUE(owner.data == "HTTP/1.0 200 OK\r\n\r\n" + body);
}

} // namespace
