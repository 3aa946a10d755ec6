#pragma once
// The user's automatic configuration script, which Windows applies ahead
// of the manual proxy. It is evaluated by WinHTTP's AutoProxy in a process
// of its own, this program started again with kProxyLookupArgument: under
// Wine the script engine runs inside the calling process, where a script
// can crash it or never return.

#include "framework/CString.h"

// The arguments text that makes this program the lookup process.
extern const char kProxyLookupArgument[];

// Asks the script at strScriptUrl for the proxy of strUrl. True when it
// answered, with WinHTTP's proxy list (empty for a direct connection).
// False when it could not be fetched or evaluated within 5 s: then one
// event-log record says why, and the manual setting holds.
bool AskProxyScript(const CString& strScriptUrl, const CString& strUrl, CString& strProxyList);

// The lookup process: reads the script's address and the URL, a line each,
// from its standard input and writes the answer to its standard output.
// Its result is the process's exit code.
int AnswerProxyLookup();
