// The text rules of the user's proxy configuration: the bypass list, and
// the address, response and answer of the configuration script.

#include <gtest/gtest.h>

#include <string>

#include "net/ProxyRules.h"

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
};

TEST(ProxyBypass, MatchesTheListAsWindowsReadsIt)
{
    for (const BypassCase& row : kBypassCases) {
        SCOPED_TRACE(std::string(row.list) + " / " + row.host + ":" + std::to_string(row.port));
        EXPECT_EQ(IsProxyBypassed(row.list, row.host, row.port), row.bypassed);
    }
}

struct AnswerCase {
    const char* answer;
    const char* host; // empty: direct
    int port;
};

const AnswerCase kAnswerCases[] = {
    {"PROXY 127.0.0.1:3128; DIRECT", "127.0.0.1", 3128},
    {"DIRECT", "", 80},
    {"DIRECT; PROXY 127.0.0.1:3128", "", 80},
    {"proxy proxy.corp:8080", "proxy.corp", 8080},
    {"  PROXY   proxy.corp:8080  ;DIRECT", "proxy.corp", 8080},
    {"PROXY proxy.corp", "proxy.corp", 80},
    // Kinds the program cannot use are passed over.
    {"SOCKS 127.0.0.1:1080; PROXY 127.0.0.1:3128", "127.0.0.1", 3128},
    {"HTTPS secure.corp:443; SOCKS5 s:1; DIRECT", "", 80},
    {"SOCKS 127.0.0.1:1080", "", 80},
    {"HTTPS secure.corp:443", "", 80},
    // Malformed entries are passed over too.
    {"PROXY; PROXY :8080; PROXY a:0; PROXY a:65536; PROXY a:x; PROXY b:3128", "b", 3128},
    {"PROXY a b:3128; PROXYa:1; DIRECTX; PROXY c:65535", "c", 65535},
    {"DIRECT now; PROXY c:1", "c", 1},
    {"", "", 80},
    {";;;", "", 80},
};

TEST(ProxyScriptAnswer, FirstUsableEntryDecides)
{
    for (const AnswerCase& row : kAnswerCases) {
        SCOPED_TRACE(row.answer);
        const ScriptProxyChoice choice = ChooseFromScriptAnswer(row.answer);
        EXPECT_EQ(choice.strHost, row.host);
        EXPECT_EQ(choice.nPort, row.port);
    }
}

struct ResponseCase {
    const char* name;
    std::string response;
    bool ok;
    int status;
    const char* script;
};

TEST(ProxyScriptResponse, OnlyA200BodyIsTheScript)
{
    const ResponseCase rows[] = {
        {"200 with length", "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nbody", true, 200, "body"},
        {"200 without a reason", "HTTP/1.1 200\r\n\r\nbody", true, 200, "body"},
        {"200, empty body", "HTTP/1.0 200 OK\r\n\r\n", true, 200, ""},
        {"404", "HTTP/1.0 404 Not Found\r\n\r\nnot found", false, 404, ""},
        {"500", "HTTP/1.1 500 Oops\r\n\r\n", false, 500, ""},
        {"header block never ends", "HTTP/1.0 200 OK\r\nX: y\r\n", false, 0, ""},
        {"no status line", "function FindProxyForURL(u, h) { return \"DIRECT\"; }", false, 0, ""},
        {"short status", "HTTP/1.0 20 OK\r\n\r\nbody", false, 0, ""},
        {"long status", "HTTP/1.0 2000 OK\r\n\r\nbody", false, 0, ""},
        {"status on a later line", "HTTP/1.0\r\nX: 200 OK\r\n\r\nbody", false, 0, ""},
        {"nothing", "", false, 0, ""},
    };
    for (const ResponseCase& row : rows) {
        SCOPED_TRACE(row.name);
        int nStatus = -1;
        std::string script = "left over";
        EXPECT_EQ(ScriptFromResponse(row.response, nStatus, script), row.ok);
        EXPECT_EQ(nStatus, row.status);
        EXPECT_EQ(script, row.script);
    }
}

struct ScriptUrlCase {
    const char* url;
    bool ok;
    const char* host;
    int port;
    const char* path;
};

const ScriptUrlCase kScriptUrlCases[] = {
    {"http://pac.corp/proxy.pac", true, "pac.corp", 80, "/proxy.pac"},
    {"HTTP://pac.corp:8081/a/proxy.pac?user=x", true, "pac.corp", 8081, "/a/proxy.pac?user=x"},
    {"http://pac.corp", true, "pac.corp", 80, "/"},
    {"http://pac.corp:8081?x", true, "pac.corp", 8081, "/?x"},
    {"https://pac.corp/proxy.pac", false, "", 0, ""},
    {"file://C:/proxy.pac", false, "", 0, ""},
    {"pac.corp/proxy.pac", false, "", 0, ""},
    {"http:///proxy.pac", false, "", 0, ""},
    {"http://pac.corp:0/proxy.pac", false, "", 0, ""},
    {"http://pac.corp:65536/proxy.pac", false, "", 0, ""},
};

TEST(ProxyScriptUrl, OnlyPlainHttpAddressesAreFetched)
{
    for (const ScriptUrlCase& row : kScriptUrlCases) {
        SCOPED_TRACE(row.url);
        CString strHost;
        int nPort = 0;
        CString strPath;
        ASSERT_EQ(SplitScriptUrl(row.url, strHost, nPort, strPath), row.ok);
        if (row.ok) {
            EXPECT_EQ(strHost, row.host);
            EXPECT_EQ(nPort, row.port);
            EXPECT_EQ(strPath, row.path);
        }
    }
}

TEST(ProxyScriptUrl, TheScriptIsAskedAboutTheWholeUrl)
{
    EXPECT_EQ(ScriptQueryUrlOf("http", "update.corp", 80, "/dir/Update.exe"), "http://update.corp/dir/Update.exe");
    EXPECT_EQ(ScriptQueryUrlOf("http", "127.0.0.1", 8080, "/a?b"), "http://127.0.0.1:8080/a?b");
    EXPECT_EQ(ScriptQueryUrlOf("https", "update.corp", 443, "/x"), "https://update.corp/x");
    EXPECT_EQ(ScriptQueryUrlOf("https", "update.corp", 80, "/x"), "https://update.corp:80/x");
}

} // namespace
