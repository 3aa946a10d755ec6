#pragma once
// The notification window of the socket classes, for their own files: a
// socket attaches to it for a message number of its own.

#include "Socket.h"

// Kept notifications of the socket whose message is wParam are due.
const UINT WM_SOCKET_KEPT = WM_APP;

// This thread's notification window, made on first use.
HWND SocketWindow();
// A free message number for the socket; 0 when all are taken.
UINT AttachSocket(CAsyncSocket* pSocket);
// The socket's message number is free again; its queued messages and its
// timer go with it.
void DetachSocket(UINT nMessage);
