#pragma once
// The bypass list of the user's Internet settings ("ProxyOverride"): the
// hosts that are reached directly although a proxy is set. Text only, so
// that it also builds for Linux and runs under the generated inputs.

#include "framework/CString.h"

// Whether the list names the host at nPort. Entries are separated by ';'
// and compared without regard to letter case, blanks around them ignored:
// "<local>" names every host without a dot, '*' stands for any run of
// characters ("*.corp.example", "10.*"), a trailing ":port" limits the
// entry to that port, and any other entry names exactly one host.
bool IsProxyBypassed(const CString& strBypassList, const CString& strHost, int nPort);
