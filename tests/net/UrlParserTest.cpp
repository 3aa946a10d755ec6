#include "net/UrlParser.h"

#include <gtest/gtest.h>

#include <string>

#include "net/RedirectRules.h"
#include "net/ResponseHeaders.h"

namespace {

struct SplitCase {
    const char* url;
    const char* host;
    int port;
    const char* pathAndFile;
    bool secure = false;
};

// The scheme is not observable; its effect shows in where the host begins.
const SplitCase kSplitCases[] = {
    {"http://host/dir/setup.exe", "host", 80, "/dir/setup.exe"},
    {"http://host:8080/dir/setup.exe", "host", 8080, "/dir/setup.exe"},
    {"http://host:8080", "host:8080", 80, "/index.html"},
    {"http://host", "host", 80, "/index.html"},
    {"http://host/", "host", 80, "/index.html"},
    {"http://host/dir/", "host", 80, "/dir/index.html"},
    {"http://host/dir", "host", 80, "/dir"},
    {"host/dir/setup.exe", "host", 80, "/dir/setup.exe"},
    {"/dir/setup.exe", "", 80, "/dir/setup.exe"},
    {"/", "", 80, "/index.html"},
    {"", "", 80, "/index.html"},
    {"http://", "", 80, "/index.html"},
    {"http://host\\dir\\setup.exe", "host", 80, "\\dir\\setup.exe"},
    {"http://host\\dir\\", "host", 80, "\\dir\\index.html"},
    {"http://host\\dir/setup.exe", "host\\dir", 80, "/setup.exe"},
    {"http://host/dir\\sub\\setup.exe", "host", 80, "/dir\\sub\\setup.exe"},
    {"http://host/dir\\", "host", 80, "/dir\\index.html"},
    {"http://host:/x", "host", 0, "/x"},
    {"http://host:abc/x", "host", 0, "/x"},
    {"http://host:81:9/x", "host", 81, "/x"},
    {"ftp://host/x.exe", "host", 80, "/x.exe"},
    {"host/get?u=http://mirror/x.exe", "mirror", 80, "/x.exe"},
    {"http://host/cgi/get?f=a/b.exe", "host", 80, "/cgi/get?f=a/b.exe"},
    // atoi: white space and a sign are read, no range check is made.
    {"http://host: 42/x", "host", 42, "/x"},
    {"http://host:-1/x", "host", -1, "/x"},
    {"http://host:99999/x", "host", 99999, "/x"},
    {"http://host:8080\\dir\\x", "host", 8080, "\\dir\\x"},
    // User information is not recognised: the host is cut at its first colon.
    {"http://user:pw@host/x", "user", 0, "/x"},
    // "https" in any letter case means TLS, on port 443 unless one is named.
    {"https://host/dir/setup.exe", "host", 443, "/dir/setup.exe", true},
    {"HTTPS://host/x", "host", 443, "/x", true},
    {"hTtPs://host:8443/x", "host", 8443, "/x", true},
    {"https://host:8443", "host:8443", 443, "/index.html", true},
    {"httpsx://host/x", "host", 80, "/x"},
    {"https:/host/x", "https", 0, "/host/x"},
    {"host/get?u=https://mirror/x.exe", "mirror", 80, "/x.exe"},
    // An IPv6 address keeps its brackets; the port comes after "]:".
    {"http://[::1]:8080/path", "[::1]", 8080, "/path"},
    {"https://[2001:db8::5]/path", "[2001:db8::5]", 443, "/path", true},
    {"http://[::1]/", "[::1]", 80, "/index.html"},
    {"http://[::1]:/x", "[::1]", 0, "/x"},
    {"http://[::1]x:81/x", "[::1]x", 81, "/x"},
    {"http://[fe80::1%25eth0]:81/x", "[fe80::1%25eth0]", 81, "/x"},
    {"http://[::1:8080/x", "[::1:8080", 80, "/x"},
    {"http://[::1]:8080", "[::1]:8080", 80, "/index.html"},
};

} // namespace

TEST(UrlParser, SplitsEveryWorkedExample)
{
    for (const SplitCase& c : kSplitCases) {
        SCOPED_TRACE(c.url);
        const CUrlParser url(c.url);
        EXPECT_EQ(url.GetHost(), c.host);
        EXPECT_EQ(url.GetPort(), c.port);
        EXPECT_EQ(url.GetPathAndFile(), c.pathAndFile);
        EXPECT_EQ(url.IsSecure(), c.secure);
    }
}

// The path begins and ends with a separator and the file is never empty, so
// the joined text begins with a separator and never ends with one.
TEST(UrlParser, RequestPathIsAlwaysAFileBelowASeparator)
{
    const char* const pieces[] = {"", "http://", "h", ":1", "/", "\\", "d", "://", "?q=/", "."};
    for (const char* a : pieces)
        for (const char* b : pieces)
            for (const char* c : pieces)
                for (const char* d : pieces) {
                    const CString strUrl = CString(a) + b + c + d;
                    SCOPED_TRACE(strUrl.GetString());
                    const CString strPath = CUrlParser(strUrl).GetPathAndFile();
                    ASSERT_GE(strPath.GetLength(), 2);
                    const char chFirst = strPath[0];
                    const char chLast = strPath[strPath.GetLength() - 1];
                    EXPECT_TRUE(chFirst == '/' || chFirst == '\\');
                    EXPECT_FALSE(chLast == '/' || chLast == '\\');
                }
}

TEST(UrlParser, FindSlashPrefersAnySlashOverEveryBackslash)
{
    struct {
        const char* text;
        int first;
        int last;
    } const cases[] = {
        {"", -1, -1},
        {"abc", -1, -1},
        {"a/b/c", 1, 3},
        {"a\\b\\c", 1, 3},
        {"a\\b/c\\d", 3, 3},
        {"/a\\b\\", 0, 0},
        {"a\\\\b/", 4, 4},
    };
    const CUrlParser parser("");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parser.FindSlash(c.text, false), c.first);
        EXPECT_EQ(parser.FindSlash(c.text, true), c.last);
    }
}

namespace {

struct LocationCase {
    const char* base;
    const char* location;
    const char* resolved; // empty: not followed
};

const LocationCase kLocationCases[] = {
    {"http://host/dir/Update.exe", "http://mirror/pub/Update.exe", "http://mirror/pub/Update.exe"},
    {"http://host/dir/Update.exe", "HTTPS://cdn:8443/u/2.1/Update.exe", "HTTPS://cdn:8443/u/2.1/Update.exe"},
    {"https://host/dir/Update.exe", "//cdn/Update.exe", "https://cdn/Update.exe"},
    {"http://host:8080/dir/Update.exe", "//cdn:81/x", "http://cdn:81/x"},
    {"http://host:8080/dir/Update.exe", "/moved/Update.exe", "http://host:8080/moved/Update.exe"},
    {"http://host:8080/dir/Update.exe", "2.1/Update.exe", "http://host:8080/dir/2.1/Update.exe"},
    {"http://host/dir/", "Update.exe", "http://host/dir/Update.exe"},
    {"http://host/get?f=a/b.exe", "c.exe", "http://host/c.exe"},
    {"http://host/dir/get?f=1", "?f=2", "http://host/dir/get?f=2"},
    {"http://host/dir/Update.exe", "/x.exe#part", "http://host/x.exe"},
    {"http://host/dir/Update.exe", "../Update.exe", "http://host/dir/../Update.exe"},
    // Not followed: other schemes, no host, text a request line cannot carry.
    {"http://host/dir/Update.exe", "ftp://mirror/Update.exe", ""},
    {"http://host/dir/Update.exe", "file:///C:/Windows/notepad.exe", ""},
    {"http://host/dir/Update.exe", "javascript:alert(1)", ""},
    {"http://host/dir/Update.exe", "http:Update.exe", ""},
    {"http://host/dir/Update.exe", "http:///Update.exe", ""},
    {"http://host/dir/Update.exe", "//", ""},
    {"http://host/dir/Update.exe", "/a b.exe", ""},
    {"http://host/dir/Update.exe", "/a\nX-Injected: 1", ""},
    {"http://host/dir/Update.exe", "/a\rb", ""},
    {"http://host/dir/Update.exe", "#only-a-fragment", ""},
    {"http://host/dir/Update.exe", "", ""},
    {"http://[::1]:8080/dir/Update.exe", "/moved/Update.exe", "http://[::1]:8080/moved/Update.exe"},
    {"http://host/dir/Update.exe", "https://[2001:db8::5]/x", "https://[2001:db8::5]/x"},
    {"http://host/dir/Update.exe", "http://[fe80::1%25eth0]/x", ""},
    {"http://host/dir/Update.exe", "http://[::1/x", ""},
};

} // namespace

TEST(UrlParser, ConnectsToAnAddressWithoutItsBrackets)
{
    const struct {
        const char* host;
        const char* name; // empty: no connection
    } cases[] = {
        {"host", "host"}, {"[::1]", "::1"}, {"[2001:db8::5]", "2001:db8::5"}, {"[fe80::1%25eth0]", ""},
        {"[::1", ""},     {"[]", ""},        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        EXPECT_EQ(CUrlParser::ConnectNameOf(c.host), c.name);
    }
}

TEST(RedirectRules, LocationsResolveAgainstTheUrlAskedFor)
{
    for (const LocationCase& c : kLocationCases) {
        SCOPED_TRACE(std::string(c.base) + " + " + c.location);
        EXPECT_EQ(ResolvedLocation(c.base, c.location), c.resolved);
    }
}

TEST(RedirectRules, OnlyTheFiveStatusesWithOneLocationAreFollowed)
{
    struct {
        const char* headers;
        bool redirect;
        const char* location;
    } const cases[] = {
        {"HTTP/1.1 301 Moved Permanently\r\nLocation: /a", true, "/a"},
        {"HTTP/1.1 302 Found\r\nlocation:\t/a \r\nServer: nginx", true, "/a"},
        {"HTTP/1.0 303 See Other\r\nLOCATION: /a", true, "/a"},
        {"HTTP/1.1 307 Temporary Redirect\r\nLocation: /a\r\nLocation: /a", true, "/a"},
        {"HTTP/1.1 308 Permanent Redirect\r\nLocation: /a", true, "/a"},
        {"HTTP/1.1 302 Found\r\nLocation: /a\r\nLocation: /b", true, ""},
        {"HTTP/1.1 302 Found\r\nContent-Location: /a", true, ""},
        {"HTTP/1.1 302 Found\r\nLocation:", true, ""},
        {"HTTP/1.1 300 Multiple Choices\r\nLocation: /a", false, "/a"},
        {"HTTP/1.1 304 Not Modified\r\nLocation: /a", false, "/a"},
        {"HTTP/1.1 305 Use Proxy\r\nLocation: /a", false, "/a"},
        {"HTTP/1.1 200 OK\r\nLocation: /a", false, "/a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.headers);
        EXPECT_EQ(IsRedirectStatus(StatusCodeOf(c.headers)), c.redirect);
        EXPECT_EQ(LocationOf(c.headers), c.location);
    }
}
