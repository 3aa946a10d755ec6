#pragma once
// The servers that the test command's fixtures start: where they listen.

#include <string>

// The port of a proxy that a test fixture started: the fixture writes it
// into a file of the build tree, whose Linux path the environment variable
// names. 0 when there is none.
int ProxyPortOf(const char* pszPortFileVariable);

// The TLS fixture's folder (Windows form of TLS_FIXTURE_DIR), whose www
// folder its servers serve; empty when there is none.
std::string TlsFixtureFolder();
// The port of one of the TLS fixture's servers, by its name in tls.ports
// ("good", "other-name", "expired", "self-signed", "untrusted-ca", "plain",
// "origin"); 0 when there is none.
int TlsPortOf(const std::string& strName);
