#pragma once
// The texts of a sign-in to a proxy: the challenges of its 407 answer,
// whether it keeps the connection for the next leg, and the Base64 that
// carries tokens and Basic credentials. Text only, so that it also builds
// for Linux and runs under generated inputs.

#include <cstdint>
#include <string>
#include <vector>

#include "framework/CString.h"

struct ProxyChallenge {
    std::string scheme; // as the proxy wrote it; compared in any letter case
    std::string token;  // what follows the scheme: a token, or parameters
};

// The challenges of the block's "Proxy-Authenticate" lines, in their order:
// one line each, or several on one line separated by commas. A comma
// outside quotes also separates a challenge's parameters ("Basic
// realm="proxy", charset="UTF-8""): an item whose first word holds '=' is
// a parameter of the challenge before it; an item that begins with neither
// a scheme's name nor a parameter is passed over.
std::vector<ProxyChallenge> ProxyChallengesOf(const CString& strHeaders);

// Whether the proxy keeps the connection open after this answer, so that
// the next leg can follow on it: the block announces the body's length
// (stored in nBodyLength) and neither Connection nor Proxy-Connection says
// "close".
bool ProxyKeepsConnection(const CString& strHeaders, uint64_t& nBodyLength);

std::string Base64Of(const std::string& bytes);
// False for a text that is not Base64 (padding '=' only at the end).
bool BytesOfBase64(const std::string& text, std::string& bytes);
