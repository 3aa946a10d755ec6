#pragma once
// The texts of a sign-in to a proxy or a server: the challenges of its 407
// or 401 answer, whether it keeps the connection for the next leg, and the Base64 that
// carries tokens and Basic credentials. Text only, so that it also builds
// for Linux and runs under generated inputs.

#include <cstdint>
#include <string>
#include <vector>

#include "framework/CString.h"

struct Challenge {
    std::string scheme; // as the peer wrote it; compared in any letter case
    std::string token;  // what follows the scheme: a token, or parameters
};

// The challenges of the block's lines named pszField ("Proxy-Authenticate"
// or "WWW-Authenticate"), in their order:
// one line each, or several on one line separated by commas. A comma
// outside quotes also separates a challenge's parameters ("Basic
// realm="proxy", charset="UTF-8""): an item whose first word holds '=' is
// a parameter of the challenge before it; an item that begins with neither
// a scheme's name nor a parameter is passed over.
std::vector<Challenge> ChallengesOf(const CString& strHeaders, const char* pszField);

// Whether the proxy keeps the connection open after this answer, so that
// the next leg can follow on it: the block announces the body's length
// (stored in nBodyLength) and neither Connection nor Proxy-Connection says
// "close".
bool KeepsConnection(const CString& strHeaders, uint64_t& nBodyLength);
// The same for a server that answers an HTTP/1.0 request: it keeps the
// connection only where it says "Connection: keep-alive".
bool ServerKeepsConnection(const CString& strHeaders, uint64_t& nBodyLength);

std::string Base64Of(const std::string& bytes);
// False for a text that is not Base64 (padding '=' only at the end).
bool BytesOfBase64(const std::string& text, std::string& bytes);

// Whom the user's sign-in and saved credentials go to: the host that the
// setting itself names, hosts the administrator's list names (entries as
// in the bypass list: wildcards, "<local>", ":port"), and a name without a
// dot, which only the local intranet resolves. Over plain http a password
// (Basic) goes to the first two alone.
enum class ServerSignIn { kRefused, kWithoutPassword, kAllowed };
ServerSignIn ServerSignInFor(const CString& strHost, bool bSecure, int nPort, const CString& strSettingHost,
                             const CString& strListed);
