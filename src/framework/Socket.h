#pragma once
#include "Win32.h"

// Starts the socket layer for the process; it is released again at exit.
BOOL AfxSocketInit(WSADATA* lpwsaData = nullptr);
