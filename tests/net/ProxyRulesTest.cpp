// The text rules of the user's proxy configuration: the split of the
// manual setting, the bypass list, the URL the configuration script is
// asked about and the list it answers, the status of a proxy's answer.

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "net/SignInHeaders.h"
#include "framework/Win32.h"
#include "net/InternetSettings.h"
#include "net/ProxyRules.h"
#include "net/ResponseHeaders.h"

// Found by argument-dependent lookup, so beside the global type.
bool operator==(const Challenge& a, const Challenge& b)
{
    return a.scheme == b.scheme && a.token == b.token;
}

std::ostream& operator<<(std::ostream& out, const Challenge& challenge)
{
    return out << "{" << challenge.scheme << ", " << challenge.token << "}";
}

namespace {

struct BypassCase {
    const char* list;
    const char* host;
    int port;
    bool bypassed;
};

const BypassCase kBypassCases[] = {
    // Exact names, in any letter case, blanks around entries ignored.
    {"other.example;127.0.0.1", "127.0.0.1", 80, true},
    {"other.example;127.0.0.1", "127.0.0.2", 80, false},
    {"other.example;127.0.0.1", "other.example", 8080, true},
    {"  other.example ;\t127.0.0.1  ", "127.0.0.1", 80, true},
    {"Update.Corp.Example", "update.CORP.example", 80, true},
    {"update.corp.example", "update.corp.example.evil", 80, false},
    {"update.corp.example", "pdate.corp.example", 80, false},
    {"127.0.0.1", "127.0.0.10", 80, false},
    // <local>: a name without a dot, nothing with one.
    {"<local>", "updates", 80, true},
    {"<LOCAL>", "updates", 80, true},
    {"<local>", "updates.corp", 80, false},
    {"<local>", "127.0.0.1", 80, false},
    {"<local>", "", 80, false},
    {"<local>;updates.corp", "updates.corp", 80, true},
    // Wildcards stand for any run of characters, dots included.
    {"*.example; 127.0.0.*", "127.0.0.1", 80, true},
    {"*.example; 127.0.0.*", "a.b.example", 80, true},
    {"*.example; 127.0.0.*", "example", 80, false},
    {"*.corp.example", "corp.example", 80, false},
    {"*.corp.example", "x.corp.example.net", 80, false},
    {"10.*", "10.1.2.3", 80, true},
    {"10.*", "110.1.2.3", 80, false},
    {"*", "anything", 80, true},
    {"*corp*", "www.corp.example", 80, true},
    {"a*b*c", "aXbYbZc", 80, true},
    {"a*b*c", "aXbYcZ", 80, false},
    {"*<local>", "<local>", 80, true},
    {"*", "", 80, true},
    // A port limits an entry to that port.
    {"127.0.0.1:8080", "127.0.0.1", 8080, true},
    {"127.0.0.1:8080", "127.0.0.1", 80, false},
    {"127.0.0.*:80", "127.0.0.1", 80, true},
    {"127.0.0.*:80", "127.0.0.1", 8080, false},
    {"host:", "host", 80, false},
    {"host:999999", "host", 80, false},
    // Empty lists and entries name nothing.
    {"", "host", 80, false},
    {";;  ;", "host", 80, false},
    {"; host ;", "host", 80, true},
    // An IPv6 address, with or without brackets; a port only after "]:".
    {"[::1]", "[::1]", 80, true},
    {"::1", "[::1]", 80, true},
    {"::1", "[::2]", 80, false},
    {"[::1]:8080", "[::1]", 8080, true},
    {"[::1]:8080", "[::1]", 80, false},
    {"2001:db8::*", "[2001:db8::5]", 443, true},
    {"<local>", "[::1]", 80, false},
};

TEST(ProxyBypass, MatchesTheListAsWindowsReadsIt)
{
    for (const BypassCase& row : kBypassCases) {
        SCOPED_TRACE(std::string(row.list) + " / " + row.host + ":" + std::to_string(row.port));
        EXPECT_EQ(IsProxyBypassed(row.list, row.host, row.port), row.bypassed);
    }
}

struct SplitCase {
    const char* setting;
    const char* host; // empty: direct
    int port;         // 80 where the entry names no port
    const char* scheme = "http";
};

const SplitCase kSplitCases[] = {
    // The rows of the setting's split as it has always been read.
    {"proxy:8080", "proxy", 8080},
    {"http=proxy:8080;ftp=other:21", "proxy", 8080},
    {"ftp=other:21;http=proxy:81", "proxy", 81},
    {"ftp=other:21", "ftp=other", 21},
    {"http=proxy", "proxy", 80},
    {"proxy:", "proxy", 0},
    {"", "", 80},
    // The scheme's name is matched in its letter case.
    {"HTTP=proxy:80", "HTTP=proxy", 80},
    {"HTTP=proxy:3128", "HTTP=proxy", 3128},
    {"proxy", "proxy", 80},
    {"http=proxy:abc", "proxy", 0},
    {"http=proxy:81x;ftp=f:1", "proxy", 81},
    {"ftp=other:21; http=proxy:81", "proxy", 81},
    {"http=;ftp=other:21", "", 80},
    {"http=a:1;http=b:2", "a", 1},
    // A name counts only where an entry begins and '=' follows it.
    {"httpproxy.corp.example:8080", "httpproxy.corp.example", 8080},
    {"proxy-http.corp.example:3128", "proxy-http.corp.example", 3128},
    {"ftp=proxy-http.corp:21;http=web.corp:80", "web.corp", 80},
    {"http:proxy:82", "http", 0},
    {"https=a:1;http=b:2", "b", 2},
    {"http=b:2;https=a:1", "b", 2},
    {"httpsproxy:3128", "httpsproxy", 3128},
    {"https=a:1", "https=a", 1},
    // An entry written as a URL.
    {"http=http://proxy:8080", "proxy", 8080},
    {"http://proxy:8080", "proxy", 8080},
    {"HTTP://proxy:8080", "proxy", 8080},
    {"ftp=f:21;http=Http://proxy", "proxy", 80},
    // https: its own entry, the one proxy, or direct.
    {"https=a:1;http=b:2", "a", 1, "https"},
    {"http=b:2;https=a:1", "a", 1, "https"},
    {"http=b:2; https=http://a:3", "a", 3, "https"},
    {"proxy:8080", "proxy", 8080, "https"},
    {"http://proxy:8080", "proxy", 8080, "https"},
    {"https=a", "a", 80, "https"},
    {"http=b:2;ftp=c:3", "", 80, "https"},
    {"httpsproxy=a:1", "", 80, "https"},
    {"", "", 80, "https"},
    // An IPv6 address keeps its brackets; its port follows "]:".
    {"[::1]:3128", "[::1]", 3128},
    {"http=[::1]:3128;ftp=f:21", "[::1]", 3128},
    {"http://[2001:db8::5]:8080", "[2001:db8::5]", 8080, "https"},
    {"[::1]", "[::1]", 80},
};

TEST(ProxySplit, TakesTheSchemesEntryOrTheWholeSetting)
{
    for (const SplitCase& row : kSplitCases) {
        SCOPED_TRACE(std::string(row.scheme) + ": " + row.setting);
        const ProxyEndpoint proxy = SplitProxySetting(row.setting, row.scheme);
        EXPECT_EQ(proxy.strHost, row.host);
        EXPECT_EQ(proxy.nPort, row.port);
    }
}

TEST(ProxySplit, ManualProxyIsOffDisabledOrBypassed)
{
    const ManualProxySettings off = {false, "proxy:3128", ""};
    EXPECT_TRUE(ManualProxyFor(off, false, "update.corp", 80).IsDirect());
    const ManualProxySettings on = {true, "http=web:3128;https=tls:3129", "*.local;update.corp:8080"};
    EXPECT_EQ(ManualProxyFor(on, false, "update.corp", 80).strHost, "web");
    EXPECT_EQ(ManualProxyFor(on, true, "update.corp", 443).nPort, 3129);
    EXPECT_TRUE(ManualProxyFor(on, false, "update.corp", 8080).IsDirect());
    EXPECT_TRUE(ManualProxyFor(on, true, "a.local", 443).IsDirect());
}

struct ListCase {
    const char* list;
    const char* host; // empty: direct
    int port;
};

// WinHTTP gives the script's choice as a list of proxies.
const ListCase kListCases[] = {
    {"127.0.0.1:3128", "127.0.0.1", 3128},
    {"proxy.corp:8080;backup.corp:8080", "proxy.corp", 8080},
    {"proxy.corp:8080 backup.corp:8080", "proxy.corp", 8080},
    {"  proxy.corp:8080  ;", "proxy.corp", 8080},
    {"proxy.corp", "proxy.corp", 80},
    {"http://proxy.corp:8080", "proxy.corp", 8080},
    {"DIRECT", "", 80},
    {"direct;proxy.corp:8080", "", 80},
    {"proxy.corp:8080;DIRECT", "proxy.corp", 8080},
    // Malformed entries are passed over.
    {":8080;a:0;a:65536;a:x;b:3128", "b", 3128},
    {";;c:65535", "c", 65535},
    {"", "", 80},
    {";;;", "", 80},
    {"[::1]:3128", "[::1]", 3128},
    {"[::1]", "[::1]", 80},
    {"[::1;[::1]:0;[::1]:8080", "[::1]", 8080},
};

TEST(ProxyScriptList, FirstUsableEntryDecides)
{
    for (const ListCase& row : kListCases) {
        SCOPED_TRACE(row.list);
        const ProxyEndpoint proxy = ProxyOfScriptList(row.list);
        EXPECT_EQ(proxy.strHost, row.host);
        EXPECT_EQ(proxy.nPort, row.port);
    }
}

struct StatusCase {
    const char* name;
    std::string response;
    int status;
};

TEST(ProxyAnswerStatus, ReadFromTheStatusLineOfAWholeHeaderBlock)
{
    const StatusCase rows[] = {
        {"200 with length", "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nbody", 200},
        {"200 without a reason", "HTTP/1.1 200\r\n\r\nbody", 200},
        {"200, empty body", "HTTP/1.0 200 Connection established\r\n\r\n", 200},
        {"407", "HTTP/1.0 407 Proxy Authentication Required\r\n\r\n", 407},
        {"500", "HTTP/1.1 500 Oops\r\n\r\n", 500},
        {"header block never ends", "HTTP/1.0 200 OK\r\nX: y\r\n", 0},
        {"no status line", "function FindProxyForURL(u, h) { return \"DIRECT\"; }", 0},
        {"short status", "HTTP/1.0 20 OK\r\n\r\nbody", 0},
        {"long status", "HTTP/1.0 2000 OK\r\n\r\nbody", 0},
        {"status on a later line", "HTTP/1.0\r\nX: 200 OK\r\n\r\nbody", 0},
        {"nothing", "", 0},
    };
    for (const StatusCase& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(StatusOfResponse(row.response), row.status);
    }
}

// What a transfer cut short keeps to go on with: the validator, whether
// the server takes byte ranges, and the range of its 206.
TEST(ResumeFields, ValidatorRangesAndContentRangeOfAHeaderBlock)
{
    struct Row {
        const char* name;
        const char* headers;
        const char* validator;
        bool bRanges;
        bool bRange;
        ByteRange range;
    };
    const Row rows[] = {
        {"nginx 200", "HTTP/1.1 200 OK\r\nETag: \"5f3a-1000000\"\r\nLast-Modified: Fri, 11 Dec 2026 08:00:00 GMT"
                      "\r\nAccept-Ranges: bytes",
         "\"5f3a-1000000\"", true, false, {}},
        {"weak ETag: the date", "HTTP/1.1 200 OK\r\nETag: W/\"x\"\r\nLast-Modified: Fri, 11 Dec 2026 08:00:00 GMT",
         "Fri, 11 Dec 2026 08:00:00 GMT", false, false, {}},
        {"weak ETag alone", "HTTP/1.1 200 OK\r\nETag: W/\"x\"\r\nAccept-Ranges: none", "", false, false, {}},
        {"ETags that differ", "HTTP/1.1 200 OK\r\nETag: \"a\"\r\netag: \"b\"", "", false, false, {}},
        {"ranges in a list", "HTTP/1.1 200 OK\r\naccept-ranges: none, BYTES", "", true, false, {}},
        {"206", "HTTP/1.1 206 Partial\r\nContent-Range: bytes 100-999/1000", "", false, true, {100, 999, 1000}},
        {"206, total unknown", "HTTP/1.1 206 Partial\r\nContent-Range: bytes 100-999/*", "", false, false, {}},
        {"206, last beyond total", "HTTP/1.1 206 Partial\r\nContent-Range: bytes 100-1000/1000", "", false, false,
         {}},
        {"206, first after last", "HTTP/1.1 206 Partial\r\nContent-Range: bytes 9-8/1000", "", false, false, {}},
        {"416", "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */1000", "", false, false, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(StrongValidatorOf(row.headers), row.validator);
        EXPECT_EQ(AcceptsByteRanges(row.headers), row.bRanges);
        ByteRange range;
        ASSERT_EQ(ContentRangeOf(row.headers, &range), row.bRange);
        EXPECT_EQ(range.nFirst, row.range.nFirst);
        EXPECT_EQ(range.nLast, row.range.nLast);
        EXPECT_EQ(range.nTotal, row.range.nTotal);
    }
}

// Whom the user's sign-in goes to: the setting's host, listed hosts and
// dotless names; a password over plain http only to the first two.
TEST(ServerSignInRules, SettingsHostListedHostsAndIntranetNames)
{
    struct Row {
        const char* host;
        bool bSecure;
        int nPort;
        const char* listed;
        ServerSignIn expected;
    };
    const Row rows[] = {
        {"updates.corp.example", false, 80, "", ServerSignIn::kAllowed},   // the setting's own host
        {"UPDATES.corp.example", false, 80, "", ServerSignIn::kAllowed},   // in any letter case
        {"cdn.example.net", true, 443, "", ServerSignIn::kRefused},         // where a redirect led
        {"cdn.example.net", false, 80, "*.example.net", ServerSignIn::kAllowed},
        {"cdn.example.net", false, 80, "cdn.example.net:8080", ServerSignIn::kRefused},
        {"cdn.example.net", false, 8080, "a.example; cdn.example.net:8080", ServerSignIn::kAllowed},
        {"intranet", false, 80, "", ServerSignIn::kWithoutPassword},
        {"intranet", true, 443, "", ServerSignIn::kAllowed},
        {"intranet", false, 80, "<local>", ServerSignIn::kAllowed},
        {"10.1.2.3", false, 80, "", ServerSignIn::kRefused},
        {"[fd00::5]", true, 443, "", ServerSignIn::kRefused},               // an address, not a name
        {"", false, 80, "*", ServerSignIn::kRefused},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.host) + " listed as '" + row.listed + "'");
        EXPECT_EQ(ServerSignInFor(row.host, row.bSecure, row.nPort, "updates.corp.example", row.listed),
                  row.expected);
    }
}

// DefaultConnectionSettings as the settings page writes it: the flags,
// then three texts each after its length; cut short anywhere, nothing.
std::string ConnectionSettingsValue(unsigned long nFlags, const std::string& proxy, const std::string& bypass,
                                    const std::string& script)
{
    const auto dword = [](unsigned long n) {
        return std::string{static_cast<char>(n & 0xFF), static_cast<char>((n >> 8) & 0xFF),
                           static_cast<char>((n >> 16) & 0xFF), static_cast<char>((n >> 24) & 0xFF)};
    };
    return dword(0x46) + dword(7) + dword(nFlags) + dword(proxy.size()) + proxy + dword(bypass.size()) + bypass +
           dword(script.size()) + script + std::string(32, '\0');
}

TEST(ConnectionSettings, FlagsAndTextsOfTheBinaryValue)
{
    const std::string whole = ConnectionSettingsValue(0x0F, "p:1", "<local>", "http://pac/x.pac");
    struct Row {
        const char* name;
        std::string value;
        bool bRead;
        unsigned long nFlags;
        const char* proxy;
        const char* script;
    };
    const Row rows[] = {
        {"direct", ConnectionSettingsValue(0x01, "", "", ""), true, 0x01, "", ""},
        {"direct, detection on", ConnectionSettingsValue(0x09, "", "", ""), true, 0x09, "", ""},
        {"all four", whole, true, 0x0F, "p:1", "http://pac/x.pac"},
        {"without the trailing fields", whole.substr(0, whole.size() - 32), true, 0x0F, "p:1", "http://pac/x.pac"},
        {"cut in the script", whole.substr(0, whole.size() - 40), false, 0, "", ""},
        {"cut in a length", whole.substr(0, 14), false, 0, "", ""},
        {"flags only", whole.substr(0, 12), false, 0, "", ""},
        {"a length past the end", ConnectionSettingsValue(0x09, "", "", "").replace(12, 4, "\xff\xff\xff\x7f"),
         false, 0, "", ""},
        {"empty", "", false, 0, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SavedConnectionSettings read;
        ASSERT_EQ(ParseConnectionSettings(row.value, &read), row.bRead);
        EXPECT_EQ(read.nFlags, row.nFlags);
        EXPECT_EQ(read.proxy, row.proxy);
        EXPECT_EQ(read.script, row.script);
    }
}

// The switch as the program reads it from the user's registry: on only
// where the value says so; a value cut short counts as absent.
TEST(ConnectionSettings, AutomaticDetectionIsOnOnlyWhereTheValueSaysSo)
{
    const char kConnections[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kConnections, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                              nullptr),
              ERROR_SUCCESS);
    std::string saved(4096, '\0');
    DWORD nSaved = static_cast<DWORD>(saved.size());
    const bool bHadValue = RegQueryValueExA(hKey, "DefaultConnectionSettings", nullptr, nullptr,
                                            reinterpret_cast<BYTE*>(saved.data()), &nSaved) == ERROR_SUCCESS;
    const std::string detect = ConnectionSettingsValue(0x09, "", "", "");
    struct Row {
        const char* name;
        const std::string* pValue; // null: no value
        bool bAutoDetect;
    };
    const std::string direct = ConnectionSettingsValue(0x01, "", "", "");
    const std::string cut = detect.substr(0, 10);
    const Row rows[] = {{"no value", nullptr, false}, {"detection on", &detect, true},
                        {"direct only", &direct, false}, {"cut short", &cut, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.pValue)
            RegSetValueExA(hKey, "DefaultConnectionSettings", 0, REG_BINARY,
                           reinterpret_cast<const BYTE*>(row.pValue->data()), static_cast<DWORD>(row.pValue->size()));
        else
            RegDeleteValueA(hKey, "DefaultConnectionSettings");
        EXPECT_EQ(ReadInternetProxySettings().bAutoDetect, row.bAutoDetect);
    }
    if (bHadValue)
        RegSetValueExA(hKey, "DefaultConnectionSettings", 0, REG_BINARY, reinterpret_cast<const BYTE*>(saved.data()),
                       nSaved);
    else
        RegDeleteValueA(hKey, "DefaultConnectionSettings");
    RegCloseKey(hKey);
}

struct ChallengeCase {
    const char* name;
    const char* headers; // the header block without its blank line
    std::vector<Challenge> challenges;
};

TEST(ProxyChallenges, EveryLineAndEveryCommaSeparatedChallenge)
{
    const ChallengeCase rows[] = {
        {"squid's three lines",
         "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Negotiate\r\n"
         "Proxy-Authenticate: NTLM\r\nProxy-Authenticate: Basic realm=\"Squid proxy-caching web server\"",
         {{"Negotiate", ""}, {"NTLM", ""}, {"Basic", "realm=\"Squid proxy-caching web server\""}}},
        {"one line, commas, parameters",
         "HTTP/1.0 407 x\r\nproxy-authenticate: Basic realm=\"a, b\", charset=\"UTF-8\", NTLM, negotiate",
         {{"Basic", "realm=\"a, b\", charset=\"UTF-8\""}, {"NTLM", ""}, {"negotiate", ""}}},
        {"a challenge with a token",
         "HTTP/1.0 407 x\r\nPROXY-AUTHENTICATE:  NTLM TlRMTVNTUAACAAAADAAMADgAAAA=  ",
         {{"NTLM", "TlRMTVNTUAACAAAADAAMADgAAAA="}}},
        {"escaped quote in a realm",
         "HTTP/1.0 407 x\r\nProxy-Authenticate: Basic realm=\"say \\\", hi\"\r\nProxy-Authenticate: Digest",
         {{"Basic", "realm=\"say \\\", hi\""}, {"Digest", ""}}},
        {"parameter without a challenge, empty items",
         "HTTP/1.0 407 x\r\nProxy-Authenticate: realm=\"x\", , Basic",
         {{"Basic", ""}}},
        {"other lines and the status line are not challenges",
         "HTTP/1.0 407 Proxy-Authenticate: Basic\r\nWWW-Authenticate: Basic\r\nX-Proxy-Authenticate: NTLM", {}},
        {"none", "HTTP/1.0 407 x\r\nContent-Length: 0", {}},
    };
    for (const ChallengeCase& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ChallengesOf(row.headers, "Proxy-Authenticate"), row.challenges);
    }
}

TEST(ProxyChallenges, KeptConnectionNeedsALengthAndNoClose)
{
    const struct {
        const char* headers;
        bool bKept;
        uint64_t nLength;
    } rows[] = {
        {"HTTP/1.1 407 x\r\nContent-Length: 3437\r\nConnection: keep-alive", true, 3437},
        {"HTTP/1.0 407 x\r\nContent-Length: 0", true, 0},
        {"HTTP/1.0 407 x\r\nContent-Length: 10\r\nConnection: Close", false, 10},
        {"HTTP/1.0 407 x\r\nContent-Length: 10\r\nProxy-Connection: keep-alive, close", false, 10},
        {"HTTP/1.0 407 x\r\nConnection: keep-alive", false, 0},
        {"HTTP/1.0 407 x\r\nContent-Length: 10\r\nContent-Length: 11", false, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.headers);
        uint64_t nLength = 0;
        EXPECT_EQ(KeepsConnection(row.headers, nLength), row.bKept);
        if (row.bKept) {
            EXPECT_EQ(nLength, row.nLength);
        }
    }
}

TEST(ProxyChallenges, Base64BothWays)
{
    const struct {
        std::string bytes;
        const char* text;
    } rows[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"suiteuser:Suite-Pass-1", "c3VpdGV1c2VyOlN1aXRlLVBhc3MtMQ=="},
        {std::string("\0\xff\xfe\x80", 4), "AP/+gA=="},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(Base64Of(row.bytes), row.text);
        std::string bytes = "left over";
        EXPECT_TRUE(BytesOfBase64(row.text, bytes));
        EXPECT_EQ(bytes, row.bytes);
    }
    std::string bytes;
    for (const char* pszBad : {"Zg=", "Z===", "Zg==Zg==", "Zm9v!", "Zm 9", "=Zm9"}) {
        SCOPED_TRACE(pszBad);
        EXPECT_FALSE(BytesOfBase64(pszBad, bytes));
    }
}

} // namespace
