// Proxy discovery and the request text of CHttpInterface.

#include <gtest/gtest.h>

#include "net/HttpInterface.h"
#include "net/InternetSettings.h"
#include "net/RequestText.h"
#include "support/SuiteSettings.h"

namespace {

struct RegistryCase {
    const char* pszName;
    std::optional<DWORD> nEnable;
    std::optional<std::string> strServer;
    const char* pszExpected;
};

class ProxyLookup : public ::testing::TestWithParam<RegistryCase> {};

TEST_P(ProxyLookup, ReadsTheServerOnlyWhenEnabled)
{
    ProxySettings settings(GetParam().nEnable, GetParam().strServer);
    EXPECT_EQ(ReadInternetProxySettings().manual.strServer, GetParam().pszExpected);
}

INSTANTIATE_TEST_SUITE_P(
    Registry, ProxyLookup,
    ::testing::Values(RegistryCase{"Enabled", 1, "proxy:8080", "proxy:8080"},
                      RegistryCase{"EnabledByAnyNonZero", 7, "http=p:1;ftp=q:2", "http=p:1;ftp=q:2"},
                      RegistryCase{"Disabled", 0, "proxy:8080", ""}, RegistryCase{"NoEnable", {}, "proxy:8080", ""},
                      RegistryCase{"NoServer", 1, {}, ""}, RegistryCase{"EmptyServer", 1, "", ""},
                      RegistryCase{"TooLongServer", 1, std::string(1024, 'p'), ""}),
    [](const auto& info) { return std::string(info.param.pszName); });

TEST(ProxyLookup, ServerOfMaximalLengthIsReadWhole)
{
    const std::string strServer(1023, 'p');
    ProxySettings settings(1, strServer);
    EXPECT_EQ(ReadInternetProxySettings().manual.strServer, strServer.c_str());
}

TEST(ProxyLookup, IgnoresTheRegistryTypes)
{
    ProxySettings settings(std::nullopt, std::nullopt);
    const BYTE enable[4] = {1, 0, 0, 0};
    ProxySettings::SetRaw("ProxyEnable", REG_BINARY, enable, sizeof(enable));
    ProxySettings::SetRaw("ProxyServer", REG_EXPAND_SZ, "proxy:3128", 11);
    EXPECT_TRUE(ReadInternetProxySettings().manual.bEnabled);
    EXPECT_EQ(ReadInternetProxySettings().manual.strServer, "proxy:3128");
}

TEST(ProxyLookup, EnableWiderThanFourBytesMeansNoProxy)
{
    ProxySettings settings(std::nullopt, std::string("proxy:3128"));
    const BYTE enable[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    ProxySettings::SetRaw("ProxyEnable", REG_QWORD, enable, sizeof(enable));
    EXPECT_FALSE(ReadInternetProxySettings().manual.bEnabled);
    EXPECT_EQ(ReadInternetProxySettings().manual.strServer, "");
}

// Large companies list hundreds of hosts; a script's address may carry a
// long query.
TEST(ProxyLookup, BypassListAndScriptAddressAreReadAtAnyLength)
{
    std::string bypass;
    for (int i = 0; bypass.size() < 70000; ++i)
        bypass += "host" + std::to_string(i) + ".corp.example;";
    const std::string scriptUrl = "http://pac.corp/proxy.pac?" + std::string(5000, 'q');
    ProxySettings settings(1, std::string("proxy:3128"), bypass, scriptUrl);
    const InternetProxySettings read = ReadInternetProxySettings();
    EXPECT_EQ(read.manual.strBypassList, bypass.c_str());
    EXPECT_EQ(read.strAutoConfigUrl, scriptUrl.c_str());
}

TEST(ProxyLookup, RequestUsesTheHttpEntry)
{
    ProxySettings settings(1, std::string("ftp=other:21;http=cache.local:3128"));
    CHttpInterface http("server", 80, 500, "1.0", nullptr, nullptr, nullptr);
    http.ChooseProxy("/x");
    EXPECT_EQ(http.GetProxyHost(), "cache.local");
    EXPECT_EQ(http.GetProxyPort(), 3128);
}

// The request texts, byte for byte; they differ in the first line and the
// connection line only.
std::string RequestText(const std::string& target, const char* pszConnection, const char* pszHost = "server")
{
    return "GET " + target + " HTTP/1.0\r\nUser-Agent: Quillbrook Plugin (Win95; 1.0)\r\nHost: " + pszHost +
           "\r\nAccept: */*\r\n" + pszConnection + "\r\n\r\n";
}
const std::string kDirect = RequestText("/dir/setup.exe", "Connection: close");
// The Host line names a port that is not the scheme's default.
const std::string kDirect8080 = RequestText("/dir/setup.exe", "Connection: close", "server:8080");
const std::string kDirect8443 = RequestText("/dir/setup.exe", "Connection: close", "server:8443");
const std::string kProxy8080 =
    RequestText("http://server:8080/dir/setup.exe", "Proxy-Connection: Keep-Alive", "server:8080");
const std::string kProxy80 = RequestText("http://server/dir/setup.exe", "Proxy-Connection: Keep-Alive");

// The request for /dir/setup.exe to a server at the port, byte for byte.
void ExpectRequest(int nPort, const std::string& expected, int nLength, bool bSecure = false)
{
    CHttpInterface http("server", nPort, 500, "1.0", nullptr, nullptr, nullptr, bSecure);
    http.ChooseProxy("/dir/setup.exe");
    const CString strRequest = http.BuildRequest("/dir/setup.exe");
    EXPECT_EQ(strRequest.GetLength(), nLength);
    EXPECT_EQ(strRequest, expected.c_str());
}

TEST(RequestText, DirectIsTheWorkedExample)
{
    ProxySettings settings(0, std::string("proxy:3128"));
    ExpectRequest(80, kDirect, 121);
}

TEST(RequestText, DirectKeepsThePortOutOfTheRequestLine)
{
    ProxySettings settings(std::nullopt, std::nullopt);
    ExpectRequest(8080, kDirect8080, 126);
}

TEST(RequestText, ProxyNamesTheServerAndANonDefaultPort)
{
    ProxySettings settings(1, std::string("proxy:3128"));
    ExpectRequest(8080, kProxy8080, 155);
    ExpectRequest(80, kProxy80, 145);
}

// Over TLS the proxy only carries the tunnel: the server gets the direct request.
TEST(RequestText, SecureIsTheDirectRequestWithOrWithoutAProxy)
{
    ProxySettings settings(1, std::string("proxy:3128"));
    ExpectRequest(443, kDirect, 121, true);
    ExpectRequest(8443, kDirect8443, 126, true);
}

TEST(RequestText, ProxyWritesANegativePortWithItsSign)
{
    ProxySettings settings(1, std::string("proxy:3128"));
    CHttpInterface http("server", -5, 500, "1.0", nullptr, nullptr, nullptr);
    http.ChooseProxy("/a");
    EXPECT_EQ(http.BuildRequest("/a").Left(25), "GET http://server:-5/a HT");
}

struct PathCase {
    const char* pszPath;
    const char* pszDirectTarget;
    const char* pszProxyTarget;
};

class RequestTarget : public ::testing::TestWithParam<PathCase> {};

// The proxy form splits the path again as a URL; the direct form sends it as given.
TEST_P(RequestTarget, DirectAsGivenProxyResplit)
{
    const auto firstLine = [](const CString& str) { return std::string(str.Left(str.Find("\r\n"))); };
    {
        ProxySettings settings(0, std::nullopt);
        CHttpInterface http("server", 80, 500, "1.0", nullptr, nullptr, nullptr);
        EXPECT_EQ(firstLine(http.BuildRequest(GetParam().pszPath)),
                  std::string("GET ") + GetParam().pszDirectTarget + " HTTP/1.0");
    }
    {
        ProxySettings settings(1, std::string("proxy:3128"));
        CHttpInterface http("server", 80, 500, "1.0", nullptr, nullptr, nullptr);
        http.ChooseProxy(GetParam().pszPath);
        EXPECT_EQ(firstLine(http.BuildRequest(GetParam().pszPath)),
                  std::string("GET http://server") + GetParam().pszProxyTarget + " HTTP/1.0");
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, RequestTarget,
                         ::testing::Values(PathCase{"/dir/setup.exe", "/dir/setup.exe", "/dir/setup.exe"},
                                           PathCase{"/dir/", "/dir/", "/dir/index.html"},
                                           PathCase{"", "", "/index.html"},
                                           PathCase{"\\dir\\setup.exe", "\\dir\\setup.exe", "\\dir\\setup.exe"},
                                           PathCase{"/get?u=http://mirror/x.exe", "/get?u=http://mirror/x.exe",
                                                    "/x.exe"}));

TEST(RequestText, UrlHostFieldAndTunnelOfATarget)
{
    struct Row {
        bool bSecure;
        const char* pszHost;
        int nPort;
        const char* pszUrl;
        const char* pszHostField;
    };
    const Row rows[] = {
        {false, "update.corp", 80, "http://update.corp/dir/Update.exe", "update.corp"},
        {false, "127.0.0.1", 8080, "http://127.0.0.1:8080/dir/Update.exe", "127.0.0.1:8080"},
        {false, "update.corp", 443, "http://update.corp:443/dir/Update.exe", "update.corp:443"},
        {true, "update.corp", 443, "https://update.corp/dir/Update.exe", "update.corp"},
        {true, "update.corp", 80, "https://update.corp:80/dir/Update.exe", "update.corp:80"},
        {true, "update.corp", 8443, "https://update.corp:8443/dir/Update.exe", "update.corp:8443"},
        // An IPv6 address keeps its brackets in all three.
        {false, "[::1]", 8080, "http://[::1]:8080/dir/Update.exe", "[::1]:8080"},
        {true, "[2001:db8::5]", 443, "https://[2001:db8::5]/dir/Update.exe", "[2001:db8::5]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszUrl);
        const HttpTarget target{row.bSecure, row.pszHost, row.nPort, "/dir/Update.exe", 0, {}, false};
        EXPECT_EQ(UrlOf(target), row.pszUrl);
        EXPECT_EQ(HostFieldOf(target), row.pszHostField);
        // The tunnel names the port always.
        EXPECT_EQ(ConnectRequestOf(target), CString("CONNECT ") + row.pszHost + ":" +
                                                 std::to_string(row.nPort).c_str() + " HTTP/1.0\r\nHost: " +
                                                 row.pszHost + ":" + std::to_string(row.nPort).c_str() +
                                                 "\r\nUser-Agent: Quillbrook Plugin (Win95; 1.0)\r\n\r\n");
    }
}

TEST(RequestText, SignInGoesBeforeTheBlankLineAndAsksToKeepTheConnection)
{
    const CString strConnect = "CONNECT s:443 HTTP/1.0\r\nHost: s:443\r\n\r\n";
    EXPECT_EQ(WithSignIn(strConnect, "Proxy-Authorization", "Basic dTpw"),
              "CONNECT s:443 HTTP/1.0\r\nHost: s:443\r\nProxy-Connection: Keep-Alive\r\n"
              "Proxy-Authorization: Basic dTpw\r\n\r\n");
    const CString strForward = GetRequestOf({false, "s", 80, "/a", 0, {}, false}, true, "1.0");
    const CString strRetry = WithSignIn(strForward, "Proxy-Authorization", "NTLM TlRMTQ==");
    EXPECT_EQ(strRetry.Left(strForward.GetLength() - 2), strForward.Left(strForward.GetLength() - 2));
    EXPECT_EQ(strRetry.Mid(strForward.GetLength() - 2), "Proxy-Authorization: NTLM TlRMTQ==\r\n\r\n");
}

// A transfer that goes on asks for the rest after Accept, in both forms;
// an offset without a validator asks for the whole file.
TEST(RequestText, RangeOfAResumedTransferFollowsAccept)
{
    const std::string range = "Range: bytes=10066329-\r\nIf-Range: \"5f3a-1000000\"\r\n";
    struct Row {
        bool bForward;
        const char* pszValidator;
        std::string expected;
    };
    const Row rows[] = {
        {false, "\"5f3a-1000000\"", RequestText("/dir/setup.exe", (range + "Connection: close").c_str())},
        {true, "\"5f3a-1000000\"",
         RequestText("http://server/dir/setup.exe", (range + "Proxy-Connection: Keep-Alive").c_str())},
        {false, "", kDirect},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.expected);
        const HttpTarget target{false, "server", 80, "/dir/setup.exe", 10066329, row.pszValidator};
        EXPECT_EQ(GetRequestOf(target, row.bForward, "1.0"), row.expected.c_str());
    }
}

// A request that signs in to the server keeps the connection for the next
// leg, with the server's sign-in beside a proxy's.
TEST(RequestText, ServerSignInAsksToKeepTheConnection)
{
    HttpTarget target{false, "server", 80, "/dir/setup.exe", 0, {}, true};
    EXPECT_EQ(WithSignIn(GetRequestOf(target, false, "1.0"), "Authorization", "Negotiate YII="),
              RequestText("/dir/setup.exe", "Connection: Keep-Alive\r\nAuthorization: Negotiate YII=").c_str());
    const CString strForward = WithSignIn(GetRequestOf(target, true, "1.0"), "Authorization", "Basic dTpw");
    EXPECT_EQ(WithSignIn(strForward, "Proxy-Authorization", "Basic cDpx"),
              RequestText("http://server/dir/setup.exe", "Proxy-Connection: Keep-Alive\r\nAuthorization: Basic "
                                                         "dTpw\r\nProxy-Authorization: Basic cDpx")
                  .c_str());
}

TEST(RequestText, VersionComesFromTheConstructor)
{
    ProxySettings settings(0, std::nullopt);
    CHttpInterface http("server", 80, 500, "1.1", nullptr, nullptr, nullptr);
    EXPECT_EQ(http.BuildRequest("/x").Left(18), "GET /x HTTP/1.1\r\nU");
}

} // namespace
