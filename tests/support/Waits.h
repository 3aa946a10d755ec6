#pragma once
// Bounded waits for a condition; each returns the condition's last value.

#include <windows.h>

#include <functional>

// Pumps this thread's messages meanwhile, for code under test that runs on
// this thread's message loop.
bool PumpUntil(const std::function<bool()>& condition, DWORD nTimeoutMs);
// Sleeps meanwhile, for what another process or thread does.
bool WaitUntil(const std::function<bool()>& condition, DWORD nTimeoutMs);
