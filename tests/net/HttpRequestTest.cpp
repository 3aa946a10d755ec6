// Proxy discovery and the request text of CHttpInterface.

#include <gtest/gtest.h>

#include "net/HttpInterface.h"
#include "net/InternetSettings.h"
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

TEST(RequestText, VersionComesFromTheConstructor)
{
    ProxySettings settings(0, std::nullopt);
    CHttpInterface http("server", 80, 500, "1.1", nullptr, nullptr, nullptr);
    EXPECT_EQ(http.BuildRequest("/x").Left(18), "GET /x HTTP/1.1\r\nU");
}

} // namespace
