// The text code over generated inputs: the URL splitter, the header-field
// readers, the string type, the proxy-setting split, the bypass list and
// the configuration script's proxy list, the redirect's location, and (in
// the Windows build) the
// request builder. Built with undefined-behaviour checks that
// trap, and natively with AddressSanitizer as well; each input is also
// checked against what must hold for any text.
//
//   parser_fuzz [--seed S] [--count N]

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framework/CString.h"
#include "net/UrlParser.h"
#include "net/ResponseHeaders.h"
#include "net/SignInHeaders.h"
#include "net/ProxyRules.h"
#include "net/RedirectRules.h"
#include "net/RequestText.h"

namespace {

int g_nFailures = 0;

void Check(bool bOk, const char* pszWhat, const std::string& input)
{
    if (bOk)
        return;
    if (++g_nFailures <= 20) {
        std::printf("FAIL %s for input of %zu bytes: \"", pszWhat, input.size());
        for (unsigned char ch : input.substr(0, 200))
            std::printf(ch >= 32 && ch < 127 && ch != '"' && ch != '\\' ? "%c" : "\\x%02x", ch);
        std::printf("\"\n");
    }
}

class Rng {
public:
    explicit Rng(unsigned long long nSeed) : m_nState(nSeed) {}
    unsigned long long Next()
    {
        unsigned long long z = (m_nState += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    unsigned Below(unsigned n) { return n ? static_cast<unsigned>(Next() % n) : 0; }

private:
    unsigned long long m_nState;
};

const char* const kUrlPieces[] = {
    "http", "://", "/", "\\", ":", "8080", "65536", "-1", "99999999999", "2147483648", "host", "127.0.0.1",
    "?", "#", "=", "&", "a/b", "index.html", "..", ".", "@", "user:pw@", " ", "\t", "%2F", "ftp", "::", ":/",
    "/:", "\\\\", "//", "setup.exe", "+", "0x10", "\xff", "\x80", "", "[", "]", "[::1]", "%25",
};

const char* const kHeaderPieces[] = {
    "HTTP/1.0", " ", "200", "OK", "\r\n", "\r", "\n", "Content-Length: ", "Content-Length:", "content-length: ",
    "-", "+", "5", "99999999999", "2147483647", "2147483648", "-2147483648", "4294967295", "abc", "0", "\t",
    "X-Content-Length: 7", "Server: x", ":", "\r\n\r\n", "\xff", "  ", "\r\nCONTENT-LENGTH:", "18446744073709551616",
    "\r\nProxy-Authenticate: ", "Negotiate", "NTLM ", "Basic realm=\"", "\"", ",", "=", "\\", "\r\nConnection: close",
};

template <size_t N>
std::string Compose(Rng& rng, const char* const (&pieces)[N], unsigned nMaxPieces)
{
    std::string text;
    const unsigned nPieces = rng.Below(nMaxPieces + 1);
    for (unsigned i = 0; i < nPieces; ++i) {
        const unsigned nPick = rng.Below(100);
        if (nPick < 80) {
            text += pieces[rng.Below(N)];
        } else if (nPick < 95) {
            text += static_cast<char>(rng.Below(256)); // any byte but zero reaches the parsers
            if (text.back() == '\0')
                text.back() = '\x01';
        } else {
            text += std::string(rng.Below(5000), "a/:\\"[rng.Below(4)]);
        }
    }
    return text;
}

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool IsSeparator(char ch)
{
    return ch == '/' || ch == '\\';
}

void CheckUrl(const std::string& url)
{
    const CUrlParser parser(url.c_str());
    const std::string host = parser.GetHost().GetString();
    const std::string pathAndFile = parser.GetPathAndFile().GetString();
    Check(host.find('/') == std::string::npos, "host without '/'", url);
    Check(!pathAndFile.empty() && IsSeparator(pathAndFile[0]), "path begins with a separator", url);
    Check(!IsSeparator(pathAndFile.back()), "file name not empty", url);
    // Host and path come from the text after the scheme, in order.
    const size_t nScheme = url.find("://");
    const std::string rest = nScheme == std::string::npos ? url : url.substr(nScheme + 3);
    Check(rest.compare(0, host.size(), host) == 0, "host is the start of the rest", url);
    if (!EndsWith(pathAndFile, "index.html"))
        Check(EndsWith(rest, pathAndFile), "path and file are the end of the rest", url);
}

void CheckHeaders(const std::string& headers)
{
    const CString str(headers.c_str(), static_cast<int>(headers.size()));
    const int nStatus = StatusCodeOf(str);
    const int nLength = ContentLengthOf(str);
    if (headers.find("\r\n") == std::string::npos)
        Check(nStatus == 0, "no status without a line after the status line", headers);
    if (headers.find("Content-Length: ") == std::string::npos)
        Check(nLength == -1, "no length without its field", headers);
    if (headers.empty())
        Check(nStatus == 0 && nLength == -1, "nothing from an empty block", headers);
    uint64_t nAnnounced = 0;
    if (AnnouncedLengthOf(str, &nAnnounced)) {
        Check(headers.find("\r\n") != std::string::npos, "a strict length only from a header line", headers);
        Check(headers.find(std::to_string(nAnnounced)) != std::string::npos, "a strict length is written out",
              headers);
    }
}

// The string type against std::string, with indices in and out of range.
void CheckString(Rng& rng, const std::string& text)
{
    const CString str(text.c_str(), static_cast<int>(text.size()));
    const int nLength = static_cast<int>(text.size());
    Check(str.GetLength() == nLength, "length", text);
    const int nIndex = static_cast<int>(rng.Below(static_cast<unsigned>(nLength) + 20)) - 10;
    const int nCount = static_cast<int>(rng.Below(static_cast<unsigned>(nLength) + 20)) - 10;
    const auto clamp = [](int n, int nLo, int nHi) { return n < nLo ? nLo : n > nHi ? nHi : n; };
    const int nFirst = clamp(nIndex, 0, nLength);
    const std::string expectedMid = text.substr(static_cast<size_t>(nFirst),
                                                static_cast<size_t>(clamp(nCount, 0, nLength - nFirst)));
    Check(std::string(str.Mid(nIndex, nCount).GetString(), static_cast<size_t>(str.Mid(nIndex, nCount).GetLength())) ==
              expectedMid,
          "Mid", text);
    Check(str.Left(nCount).GetLength() == clamp(nCount, 0, nLength), "Left", text);
    Check(str.Right(nCount).GetLength() == clamp(nCount, 0, nLength), "Right", text);
    const char* pszNeedle = kHeaderPieces[rng.Below(sizeof(kHeaderPieces) / sizeof(kHeaderPieces[0]))];
    const size_t nFound = nIndex >= 0 && nIndex <= nLength ? text.find(pszNeedle, static_cast<size_t>(nIndex))
                                                            : std::string::npos;
    Check(str.Find(pszNeedle, nIndex) == (nFound == std::string::npos ? -1 : static_cast<int>(nFound)), "Find", text);
}

bool ContainsNoCase(const std::string& text, const std::string& word)
{
    std::string lower = text;
    for (char& ch : lower)
        ch = ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
    return lower.find(word) != std::string::npos;
}

const char* const kProxyPieces[] = {
    "http", "HTTP", "=", ";", ":", "proxy", "8080", "ftp=other:21", "https=", "-1", "99999999999", "", " ",
    "http=", "http:", "::", ";;", "http://", "HTTP://", "httpproxy", "proxy-http", "[", "]", "[::1]",
};

void CheckProxySplit(Rng& rng, const std::string& setting)
{
    const bool bSecure = rng.Below(2) == 0;
    const ProxyEndpoint proxy = SplitProxySetting(setting.c_str(), bSecure ? "https" : "http");
    const std::string proxyHost = proxy.strHost.GetString();
    Check(setting.find(proxyHost) != std::string::npos, "proxy host is part of the setting", setting);
    // An IPv6 address in brackets keeps its colons, up to its ']'.
    const size_t nClose = !proxyHost.empty() && proxyHost[0] == '[' ? proxyHost.find(']') : 0;
    Check(nClose == std::string::npos || proxyHost.find(':', nClose) == std::string::npos,
          "the host ends at its first colon, or the first after an address's ']'", setting);
    if (setting.find('=') == std::string::npos && !ContainsNoCase(setting, "http://"))
        Check(setting.rfind(proxyHost, 0) == 0, "a setting without entries is the entry", setting);
}

// A proxy's challenges and the Base64 of its tokens.
void CheckSignInTexts(Rng& rng, const std::string& headers)
{
    for (const Challenge& challenge : ChallengesOf(headers.c_str(), "Proxy-Authenticate")) {
        Check(!challenge.scheme.empty() && challenge.scheme.find_first_of(" \t=,") == std::string::npos,
              "a scheme is one word", headers);
        Check(headers.find(challenge.scheme) != std::string::npos, "the scheme comes from the block", headers);
    }
    uint64_t nLength = 0;
    if (KeepsConnection(headers.c_str(), nLength))
        Check(ContainsNoCase(headers, "content-length"), "kept only with a length", headers);
    std::string bytes;
    for (unsigned i = rng.Below(40); i > 0; --i)
        bytes += static_cast<char>(rng.Next());
    std::string decoded;
    Check(BytesOfBase64(Base64Of(bytes), decoded) && decoded == bytes, "Base64 both ways", bytes);
    BytesOfBase64(headers, decoded);
}

// The request of a direct connection, and the same inside a tunnel.
void CheckRequest(Rng& rng, const std::string& path)
{
    const std::string host = Compose(rng, kUrlPieces, 4);
    const bool bSecure = rng.Below(2) == 0;
    const int nPort = rng.Below(4) == 0 ? (bSecure ? 443 : 80) : static_cast<int>(rng.Next());
    const std::string request =
        GetRequestOf({bSecure, host.c_str(), nPort, path.c_str(), 0, {}, false}, false, "1.0").GetString();
    Check(request.rfind("GET ", 0) == 0, "request line first", path);
    Check(request.compare(4, path.size(), path) == 0, "direct target is the path", path);
    // The port only where it is not the scheme's default.
    const std::string hostField = nPort == (bSecure ? 443 : 80) ? host : host + ":" + std::to_string(nPort);
    Check(request.find("\r\nHost: " + hostField + "\r\nAccept: */*\r\n") != std::string::npos, "Host line", path);
    Check(EndsWith(request, "\r\nConnection: close\r\n\r\n"), "connection line last", path);
}

const char* const kBypassPieces[] = {
    "<local>", "<LOCAL>", "*", ";", " ", "\t", ".", ":", "8080", "80", "0", "99999999999", "127.0.0.1", "127.0.0.*",
    "host", "HOST", "*.example", "example", "", "**", ":*", "[::1]", "::1", "[",
};

const char* const kAnswerPieces[] = {
    "PROXY", "proxy", "DIRECT", "direct", "SOCKS", "HTTPS", " ", "\t", ";", ":", "host", "3128", "0", "65535",
    "65536", "99999999999", "-1", "", "host:3128", "DIRECT;", "http://", "\r\n", "[::1]:3128", "[", "]",
};


void CheckBypassAndScript(Rng& rng, const std::string& list, const std::string& answer)
{
    const std::string host = Compose(rng, kUrlPieces, 3);
    const int nPort = static_cast<int>(rng.Below(70000));
    const bool bBypassed = IsProxyBypassed(list.c_str(), host.c_str(), nPort);
    if (list.find_first_not_of(" \t;") == std::string::npos)
        Check(!bBypassed, "an empty list names nothing", list);
    if (list.find('*') == std::string::npos && !ContainsNoCase(list, host) && !ContainsNoCase(list, "<local>"))
        Check(!bBypassed, "only a listed host is bypassed", list);
    Check(IsProxyBypassed((list + ";*").c_str(), host.c_str(), nPort), "a catch-all entry names every host", list);
    if (!host.empty() && host.find_first_of(";:* \t") == std::string::npos)
        Check(IsProxyBypassed((list + ";" + host).c_str(), host.c_str(), nPort), "a listed host is bypassed", list);

    const ProxyEndpoint proxy = ProxyOfScriptList(answer.c_str());
    const std::string proxyHost = proxy.strHost.GetString();
    if (!proxyHost.empty()) {
        Check(answer.find(proxyHost) != std::string::npos, "the proxy comes from the list", answer);
        Check(proxy.nPort >= 1 && proxy.nPort <= 65535, "a proxy port in range", answer);
    }
    Check(ProxyOfScriptList(("DIRECT;" + answer).c_str()).IsDirect(), "DIRECT first is direct", answer);
}

// A location resolves to an http or https URL with a host, which a request
// line can carry, or to nothing; an absolute one stays as it came.
void CheckLocation(Rng& rng, const std::string& location)
{
    const char* const bases[] = {"http://host/dir/Update.exe", "https://host:8443/get?f=a/b", "http://h/"};
    const std::string base = bases[rng.Below(3)];
    const std::string url = ResolvedLocation(base, location);
    if (url.empty())
        return;
    const std::string scheme = url.substr(0, url.find("://"));
    Check(scheme.size() == 4 || scheme.size() == 5, "an http or https scheme", location);
    Check(!CUrlParser(url.c_str()).GetHost().IsEmpty(), "a host", location);
    for (const char ch : url)
        Check(static_cast<unsigned char>(ch) > ' ' && ch != 0x7f, "no blank or control character", location);
    if (location.find('#') == std::string::npos &&
        (ContainsNoCase(location.substr(0, 7), "http://") || ContainsNoCase(location.substr(0, 8), "https://")))
        Check(url == location, "an absolute location as it came", location);
}

} // namespace

int main(int argc, char** argv)
{
    unsigned long long nSeed = 1;
    long nCount = 20000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--seed"))
            nSeed = std::strtoull(argv[i + 1], nullptr, 0);
        else if (!std::strcmp(argv[i], "--count"))
            nCount = std::atol(argv[i + 1]);
    }

    Rng rng(nSeed);
    for (long i = 0; i < nCount; ++i) {
        const std::string url = Compose(rng, kUrlPieces, 12);
        CheckUrl(url);
        const std::string headers = Compose(rng, kHeaderPieces, 16);
        CheckHeaders(headers);
        CheckSignInTexts(rng, headers);
        CheckString(rng, rng.Below(2) ? url : headers);
        CheckBypassAndScript(rng, Compose(rng, kBypassPieces, 8), Compose(rng, kAnswerPieces, 8));
        CheckProxySplit(rng, Compose(rng, kProxyPieces, 8));
        CheckLocation(rng, rng.Below(2) ? url : Compose(rng, kUrlPieces, 6));
        CheckRequest(rng, url);
    }
    std::printf("parser_fuzz: %ld generated inputs per parser (seed %llu), %d failures\n", nCount, nSeed, g_nFailures);
    return g_nFailures == 0 ? 0 : 1;
}
