#pragma once
// The text rules of the user's proxy settings: the split of the manual
// setting ("ProxyServer") and the bypass list ("ProxyOverride"), the list
// that the automatic configuration script ("AutoConfigURL") answers. Text
// only, so that it also builds for Linux and runs under generated inputs.

#include <string>

#include "framework/CString.h"

// A name without a dot, as intranets name their hosts; an IPv6 address,
// though it has no dot either, is not one.
bool IsDotlessName(const CString& strHost);

// Whether the list names the host at nPort. Entries are separated by ';'
// and compared without regard to letter case, blanks around them ignored:
// "<local>" names every host without a dot, '*' stands for any run of
// characters ("*.corp.example", "10.*"), a trailing ":port" limits the
// entry to that port, and any other entry names exactly one host. An IPv6
// address matches with or without its brackets ("[::1]", "::1"); only one
// in brackets can have a port ("[::1]:8080").
bool IsProxyBypassed(const CString& strBypassList, const CString& strHost, int nPort);

// A proxy to connect to; an empty host means a direct connection.
struct ProxyEndpoint {
    CString strHost;
    int nPort = 80;
    bool IsDirect() const { return strHost.IsEmpty(); }
};

// The entry of "ProxyServer" for the scheme ("http" or "https"). An entry
// for a scheme is "name=value" at the start of the setting or after a ';'
// (blanks before the name skipped, the name in its letter case); without an
// entry for the scheme the whole setting is the entry, except that an
// https connection goes direct when the setting has entries for other
// schemes only. A leading "http://" (any letter case) of the entry is
// dropped; the host is the text before its first ':' (after the ']' of an
// IPv6 address in brackets, which the host keeps), the port the value of
// the text after it read as atoi reads it, 80 when there is no ':'.
ProxyEndpoint SplitProxySetting(const CString& strSetting, const CString& strScheme);

// The manual proxy settings, as they were read.
struct ManualProxySettings {
    bool bEnabled = false; // "ProxyEnable", any value but 0
    CString strServer;     // "ProxyServer"
    CString strBypassList; // "ProxyOverride"
};

// The proxy of a connection to strHost at nPort by the manual settings:
// direct when they are off or the bypass list names the host.
ProxyEndpoint ManualProxyFor(const ManualProxySettings& settings, bool bSecure, const CString& strHost, int nPort);

// The proxy that a configuration script chose, from the list that WinHTTP
// gives for it: entries separated by ';' or blanks, each "host[:port]"
// (port 80 when none is given), perhaps with an "http://" before it. The
// first entry that is an address or "DIRECT" (any letter case) decides;
// malformed entries are skipped, and a list without a usable entry means
// direct.
ProxyEndpoint ProxyOfScriptList(const CString& strList);

// The binary value "DefaultConnectionSettings" under the Connections key,
// where the settings page keeps its switches: a DWORD version, a DWORD
// counter, the DWORD flags, then the proxy, the bypass list and the
// script's address, each a DWORD length and that many bytes; what follows
// is not read here.
struct SavedConnectionSettings {
    enum Flags { kDirect = 0x01, kProxy = 0x02, kScript = 0x04, kAutoDetect = 0x08 };
    unsigned long nFlags = 0;
    std::string proxy;
    std::string bypass;
    std::string script;
};
// false when the value is cut short or a length runs past its end.
bool ParseConnectionSettings(const std::string& value, SavedConnectionSettings* pSettings);
