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
// ("good", "other-name", "expired", "self-signed", "untrusted-ca",
// "client-cert", "plain", "origin"); 0 when there is none.
int TlsPortOf(const std::string& strName);

// The proxies that ask for sign-in (tools/auth-fixture.sh), by their name in
// auth.ports, which the folder AUTH_FIXTURE_DIR holds: "negotiate", "ntlm",
// "basic", or "all" (the three offered in one answer); 0 when there is none.
int AuthProxyPortOf(const std::string& strName);

// The one account those proxies admit: a user of the Kerberos realm, whose
// ticket the fixture keeps in the cache that KRB5CCNAME names, and the same
// name and password for NTLM (in its domain) and for basic sign-in.
extern const char* const kAuthUser;
extern const char* const kAuthPassword;
extern const char* const kAuthRealm;
extern const char* const kAuthNtlmDomain;
