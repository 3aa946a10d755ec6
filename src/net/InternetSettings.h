#pragma once
// The current user's Internet settings, where the proxy setting, the bypass
// list and the automatic configuration script are kept; read, never written.

#include "framework/CString.h"
#include "framework/Win32.h"

// A value of at most nSize bytes, whatever its registry type; false when the
// key or the value cannot be read, or the value is larger.
bool QueryInternetSetting(const char* pszName, void* pBuffer, DWORD nSize);
// A text value of at most 1024 bytes with its terminator; empty when it
// cannot be read.
CString ReadInternetSetting(const char* pszName);
