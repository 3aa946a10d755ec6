// Proxy discovery and the request text of CHttpInterface.

#include <gtest/gtest.h>

#include "net/HttpInterface.h"
#include "support/SuiteSettings.h"

namespace {

struct ProxyCase {
    const char* pszSetting;
    const char* pszHost;
    int nPort; // 80 where the entry names no port
    const char* pszScheme = "http";
};

class ProxySplit : public ::testing::TestWithParam<ProxyCase> {};

TEST_P(ProxySplit, TakesTheSchemesEntryOrTheWholeSetting)
{
    ProxySettings noProxy(0, std::nullopt);
    CHttpInterface http("server", 80, 500, "1.0", nullptr, nullptr, nullptr);
    http.ParseProxySetting(GetParam().pszSetting, GetParam().pszScheme);
    EXPECT_EQ(http.GetProxyHost(), GetParam().pszHost);
    EXPECT_EQ(http.GetProxyPort(), GetParam().nPort);
}

INSTANTIATE_TEST_SUITE_P(Settings, ProxySplit,
                         ::testing::Values(ProxyCase{"proxy:8080", "proxy", 8080},
                                           ProxyCase{"http=proxy:8080;ftp=other:21", "proxy", 8080},
                                           ProxyCase{"ftp=other:21;http=proxy:81", "proxy", 81},
                                           ProxyCase{"ftp=other:21", "ftp=other", 21},
                                           ProxyCase{"http=proxy", "proxy", 80},
                                           ProxyCase{"proxy:", "proxy", 0},
                                           ProxyCase{"", "", 80},
                                           // The scheme is matched case-sensitively.
                                           ProxyCase{"HTTP=proxy:80", "HTTP=proxy", 80},
                                           ProxyCase{"HTTP=proxy:3128", "HTTP=proxy", 3128},
                                           ProxyCase{"proxy", "proxy", 80},
                                           ProxyCase{"http=proxy:abc", "proxy", 0},
                                           ProxyCase{"http=proxy:81x;ftp=f:1", "proxy", 81},
                                           ProxyCase{"http:proxy:82", "", 0},
                                           // An "http" that begins "https" is the other scheme's.
                                           ProxyCase{"https=a:1;http=b:2", "b", 2},
                                           ProxyCase{"http=b:2;https=a:1", "b", 2},
                                           ProxyCase{"httpsproxy:3128", "httpsproxy", 3128},
                                           ProxyCase{"https=a:1", "https=a", 1},
                                           // https: its own entry, the one proxy, or direct.
                                           ProxyCase{"https=a:1;http=b:2", "a", 1, "https"},
                                           ProxyCase{"http=b:2;https=a:1", "a", 1, "https"},
                                           ProxyCase{"proxy:8080", "proxy", 8080, "https"},
                                           ProxyCase{"https=a", "a", 80, "https"},
                                           ProxyCase{"http=b:2;ftp=c:3", "", 80, "https"},
                                           ProxyCase{"", "", 80, "https"}));

TEST(ProxySplit, EntryWithoutPortKeepsAPortFromTheConstructor)
{
    ProxySettings proxy(1, std::string("http=first:3128"));
    CHttpInterface http("server", 80, 500, "1.0", nullptr, nullptr, nullptr);
    EXPECT_EQ(http.GetProxyHost(), "first");
    EXPECT_EQ(http.GetProxyPort(), 3128);
    http.ParseProxySetting("http=second", "http");
    EXPECT_EQ(http.GetProxyHost(), "second");
    EXPECT_EQ(http.GetProxyPort(), 3128);
}

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
    EXPECT_EQ(CHttpInterface::ReadProxySetting(), GetParam().pszExpected);
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
    EXPECT_EQ(CHttpInterface::ReadProxySetting(), strServer.c_str());
}

TEST(ProxyLookup, IgnoresTheRegistryTypes)
{
    ProxySettings settings(std::nullopt, std::nullopt);
    const BYTE enable[4] = {1, 0, 0, 0};
    ProxySettings::SetRaw("ProxyEnable", REG_BINARY, enable, sizeof(enable));
    ProxySettings::SetRaw("ProxyServer", REG_EXPAND_SZ, "proxy:3128", 11);
    EXPECT_EQ(CHttpInterface::ReadProxySetting(), "proxy:3128");
}

TEST(ProxyLookup, EnableWiderThanFourBytesMeansNoProxy)
{
    ProxySettings settings(std::nullopt, std::string("proxy:3128"));
    const BYTE enable[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    ProxySettings::SetRaw("ProxyEnable", REG_QWORD, enable, sizeof(enable));
    EXPECT_EQ(CHttpInterface::ReadProxySetting(), "");
}

TEST(ProxyLookup, ConstructorUsesTheHttpEntry)
{
    ProxySettings settings(1, std::string("ftp=other:21;http=cache.local:3128"));
    CHttpInterface http("server", 80, 500, "1.0", nullptr, nullptr, nullptr);
    EXPECT_EQ(http.GetProxyHost(), "cache.local");
    EXPECT_EQ(http.GetProxyPort(), 3128);
}

// The request texts, byte for byte; they differ in the first line and the
// connection line only.
std::string RequestText(const std::string& target, const char* pszConnection)
{
    return "GET " + target + " HTTP/1.0\r\nUser-Agent: Quillbrook Plugin (Win95; 1.0)\r\nHost: server\r\n"
                             "Accept: */*\r\n" + pszConnection + "\r\n\r\n";
}
const std::string kDirect = RequestText("/dir/setup.exe", "Connection: close");
const std::string kProxy8080 = RequestText("http://server:8080/dir/setup.exe", "Proxy-Connection: Keep-Alive");
const std::string kProxy80 = RequestText("http://server/dir/setup.exe", "Proxy-Connection: Keep-Alive");

// The request for /dir/setup.exe to a server at the port, byte for byte.
void ExpectRequest(int nPort, const std::string& expected, int nLength, bool bSecure = false)
{
    CHttpInterface http("server", nPort, 500, "1.0", nullptr, nullptr, nullptr, bSecure);
    const CString strRequest = http.BuildRequest("/dir/setup.exe");
    EXPECT_EQ(strRequest.GetLength(), nLength);
    EXPECT_EQ(strRequest, expected.c_str());
}

TEST(RequestText, DirectIsTheWorkedExample)
{
    ProxySettings settings(0, std::string("proxy:3128"));
    ExpectRequest(80, kDirect, 121);
}

TEST(RequestText, DirectKeepsThePortOutOfTheRequest)
{
    ProxySettings settings(std::nullopt, std::nullopt);
    ExpectRequest(8080, kDirect, 121);
}

TEST(RequestText, ProxyNamesTheServerAndANonDefaultPort)
{
    ProxySettings settings(1, std::string("proxy:3128"));
    ExpectRequest(8080, kProxy8080, 150);
    ExpectRequest(80, kProxy80, 145);
}

// Over TLS the proxy only carries the tunnel: the server gets the direct request.
TEST(RequestText, SecureIsTheDirectRequestWithOrWithoutAProxy)
{
    ProxySettings settings(1, std::string("proxy:3128"));
    ExpectRequest(443, kDirect, 121, true);
    ExpectRequest(8443, kDirect, 121, true);
}

TEST(RequestText, ProxyWritesANegativePortWithItsSign)
{
    ProxySettings settings(1, std::string("proxy:3128"));
    CHttpInterface http("server", -5, 500, "1.0", nullptr, nullptr, nullptr);
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

TEST(RequestText, VersionComesFromTheConstructor)
{
    ProxySettings settings(0, std::nullopt);
    CHttpInterface http("server", 80, 500, "1.1", nullptr, nullptr, nullptr);
    EXPECT_EQ(http.BuildRequest("/x").Left(18), "GET /x HTTP/1.1\r\nU");
}

} // namespace
