#pragma once
// The user's automatic configuration script, which Windows applies ahead
// of the manual proxy. It is evaluated by WinHTTP's AutoProxy in a process
// of its own, this program started again with kProxyLookupArgument: under
// Wine the script engine runs inside the calling process, where a script
// can crash it or never return.

#include "framework/CString.h"

// The arguments text that makes this program the lookup process.
extern const char kProxyLookupArgument[];

// Asks for the proxy of strUrl as Windows finds it: with bDetect, the
// script that automatic detection (WPAD) finds first, then the script at
// strScriptUrl when there is one. Detection and script share one bound of
// 5 s. True when a script answered, with WinHTTP's proxy list (empty for
// a direct connection). False when neither did: the manual setting holds.
// Nothing detected is no fault; a detected or named script that could not
// be fetched or evaluated, or no answer within the bound, gets one
// event-log record.
bool AskProxyScript(bool bDetect, const CString& strScriptUrl, const CString& strUrl, CString& strProxyList);

// The lookup process: reads the script's address and the URL, a line each,
// from its standard input and writes the answer to its standard output.
// Its result is the process's exit code.
int AnswerProxyLookup();
