#include "Waits.h"

namespace {

bool Until(const std::function<bool()>& condition, DWORD nTimeoutMs, void (*pfnPause)())
{
    const DWORD nStart = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - nStart > nTimeoutMs)
            return false;
        pfnPause();
    }
    return true;
}

} // namespace

bool PumpUntil(const std::function<bool()>& condition, DWORD nTimeoutMs)
{
    return Until(condition, nTimeoutMs, [] {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    });
}

bool WaitUntil(const std::function<bool()>& condition, DWORD nTimeoutMs)
{
    return Until(condition, nTimeoutMs, [] { Sleep(20); });
}
