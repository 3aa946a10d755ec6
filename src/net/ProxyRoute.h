#pragma once
// Where each connection of a transfer goes, as the current user's Internet
// settings say, in the order Windows applies them: the automatic
// configuration script first, then the manual proxy with its bypass list.

#include "framework/CString.h"
#include "InternetSettings.h"
#include "ProxyRules.h"
#include "RequestText.h"

// How a connection reaches the server: directly; through a proxy that
// forwards each request (plain http); or through a tunnel that a proxy
// opens to the server (https), inside which the server is spoken to as
// directly.
struct Route {
    enum Kind { kDirect, kForward, kTunnel };
    Kind kind = kDirect;
    ProxyEndpoint proxy; // the proxy of a forward or a tunnel

    bool ThroughProxy() const { return kind != kDirect; }
};

class CProxyRoute {
public:
    // Reads the settings, once for every connection of the transfer.
    CProxyRoute();

    Route RouteFor(const HttpTarget& target) const;

private:
    InternetProxySettings m_settings;
};
