#pragma once
// Where each connection of a transfer goes: to the server itself or to a
// proxy, as the current user's Internet settings say, in the order Windows
// applies them: the automatic configuration script first, then the manual
// proxy with its bypass list. Through a proxy a secure connection tunnels.

#include "framework/CString.h"
#include "InternetSettings.h"
#include "ProxyRules.h"

class CProxyRoute {
public:
    // Reads the settings, once for every connection of the transfer.
    CProxyRoute();

    // The proxy for the URL scheme://host:port/path; direct when its host
    // is empty.
    ProxyEndpoint ProxyFor(bool bSecure, const CString& strHost, int nPort, const CString& strPath) const;

private:
    InternetProxySettings m_settings;
};
