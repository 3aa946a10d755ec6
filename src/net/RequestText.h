#pragma once
// The texts the program sends: the URL of a request, the GET request in
// its origin form (to the server, or inside a tunnel) and in its proxy form
// (to a forwarding proxy), the CONNECT that opens a tunnel, and a message
// again with a sign-in. Text only, so that it also builds for Linux and
// runs under generated inputs.

#include <cstdint>
#include <string>

#include "framework/CString.h"

// What a request asks for: scheme, server and the path with its file name;
// for a transfer that goes on where an earlier one was cut short, the rest
// from a byte on, if the file is still the one its validator names.
struct HttpTarget {
    bool bSecure = false;
    CString strHost;
    int nPort = 80;
    CString strPath;
    uint64_t nRangeFrom = 0;
    std::string ifRange; // empty: the whole file
    // A sign-in to the server whose legs may need one connection.
    bool bKeepAlive = false;
};

// scheme://host[:port]path, the port left out when it is the scheme's
// default (80 for http, 443 for https).
CString UrlOf(const HttpTarget& target);

// The Host line's value: the host, with ":port" when the port is not the
// scheme's default, so that a proxy that reads it (an inspecting one inside
// a tunnel) goes to the port the URL names.
CString HostFieldOf(const HttpTarget& target);

// The GET request, header block and blank line. bForward: to a proxy that
// forwards it, with the absolute target and the request to keep the
// connection; otherwise the path alone and "Connection: close", or
// "Connection: Keep-Alive" where the target asks to keep it. A range asked
// for adds "Range" and "If-Range".
CString GetRequestOf(const HttpTarget& target, bool bForward, const CString& strHttpVersion);

// The request for a tunnel to the server.
CString ConnectRequestOf(const HttpTarget& target);

// The message with the field "name: value" before its blank line, and,
// where the message says nothing of its connection, the request to keep it,
// without which squid closes it after a 407 and a sign-in of two legs
// cannot work.
CString WithSignIn(const CString& strMessage, const char* pszField, const std::string& value);
