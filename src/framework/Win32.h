#pragma once
// The one way the program includes the Windows headers. winsock2.h must come
// before windows.h, and the ANSI macro LoadString would rename
// CString::LoadString in every file that includes windows.h after CString.h.
#include <winsock2.h>
#include <windows.h>
#ifdef LoadString
#undef LoadString
#endif
