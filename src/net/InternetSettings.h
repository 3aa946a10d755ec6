#pragma once
// The current user's Internet settings, where the proxy setting, the bypass
// list and the automatic configuration script are kept; read, never written.

#include "framework/CString.h"
#include "ProxyRules.h"

// The proxy settings as Windows applies them, all read at once.
struct InternetProxySettings {
    bool bAutoDetect = false; // "Automatically detect settings" in DefaultConnectionSettings
    CString strAutoConfigUrl; // "AutoConfigURL": the configuration script, empty when none
    ManualProxySettings manual;
};

// The settings of the current user; a value that cannot be read is empty
// (off for "ProxyEnable"). "ProxyServer" is read only when the proxy is
// enabled and only when it fits 1024 bytes with its terminator; the bypass
// list and the script's address are read at whatever length they have.
// Automatic detection is on only where DefaultConnectionSettings says so;
// a value that cannot be read counts as absent, with one record a run.
// Where that value and the text values disagree on the proxy or the
// script, the texts hold: they are what deployment tools write.
InternetProxySettings ReadInternetProxySettings();
