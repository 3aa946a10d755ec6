#pragma once
// The text rules of the user's proxy settings: the bypass list
// ("ProxyOverride"), and around the automatic configuration script
// ("AutoConfigURL") the URL it is asked about, its server's response and
// its answer; and the status of a proxy's or script server's response.
// Text only, so that it also builds for Linux and runs under generated
// inputs.

#include <string>

#include "framework/CString.h"

// Whether the list names the host at nPort. Entries are separated by ';'
// and compared without regard to letter case, blanks around them ignored:
// "<local>" names every host without a dot, '*' stands for any run of
// characters ("*.corp.example", "10.*"), a trailing ":port" limits the
// entry to that port, and any other entry names exactly one host.
bool IsProxyBypassed(const CString& strBypassList, const CString& strHost, int nPort);

// The status code of a response's status line: the three digits after the
// version and one blank; 0 when the response has no readable status line
// or no end of its header block.
int StatusOfResponse(const std::string& response);

// The whole URL that the script gets: scheme://host[:port]path, the port
// left out when it is the scheme's default.
CString ScriptQueryUrlOf(const CString& strScheme, const CString& strHost, int nPort, const CString& strPath);

// The parts of the script's own address, which must be an http:// URL
// (any letter case): host, port (80 when none is given) and the path with
// its query ("/" when there is none). False for any other scheme, an empty
// host or a port that is not 1 to 65535.
bool SplitScriptUrl(const CString& strUrl, CString& strHost, int& nPort, CString& strPath);

// The script from its server's whole response: true with the body when the
// status is 200; otherwise false, with the status (0 when the response has
// no readable status line or no end of its header block).
bool ScriptFromResponse(const std::string& response, int& nStatus, std::string& script);

// The proxy that a script's answer chooses; an empty host means direct.
struct ScriptProxyChoice {
    CString strHost;
    int nPort = 80;
};

// The first entry of the answer that the program can use: "PROXY
// host[:port]" (port 80 when none is given) or "DIRECT". Entries are
// separated by ';', keywords in any letter case; entries for other kinds
// of proxy ("SOCKS", "HTTPS") and malformed ones are skipped, and an
// answer without a usable entry means direct.
ScriptProxyChoice ChooseFromScriptAnswer(const CString& strAnswer);
