#pragma once
// The current user's Internet settings, where the proxy setting, the bypass
// list and the automatic configuration script are kept; read, never written.

#include "framework/CString.h"
#include "ProxyRules.h"

// The proxy settings as Windows applies them, all read at once.
struct InternetProxySettings {
    CString strAutoConfigUrl; // "AutoConfigURL": the configuration script, empty when none
    ManualProxySettings manual;
};

// The settings of the current user; a value that cannot be read is empty
// (off for "ProxyEnable"). "ProxyServer" is read only when the proxy is
// enabled and only when it fits 1024 bytes with its terminator; the bypass
// list and the script's address are read at whatever length they have.
InternetProxySettings ReadInternetProxySettings();
