#pragma once
// The user's automatic configuration script, which Windows applies ahead
// of the manual proxy.

#include "framework/CString.h"
#include "ProxyRules.h"

// Asks the script that "AutoConfigURL" names for the proxy of strUrl (on
// strHost). True when the script answered, with its choice. False when no
// script is set, and when it could not be fetched or evaluated within 5 s:
// then one event-log record says why, and the manual setting holds.
bool AskProxyScript(const CString& strUrl, const CString& strHost, ScriptProxyChoice& choice);
