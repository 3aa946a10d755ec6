// The sample update program that the demonstration serves: it says that it
// ran and goes away by itself after a few seconds, so that an unattended
// demonstration ends.

#include <windows.h>

namespace {

const UINT kShowMs = 4000;

BOOL CALLBACK CloseBox(HWND hWnd, LPARAM)
{
    char szClass[16] = "";
    GetClassNameA(hWnd, szClass, sizeof(szClass));
    if (lstrcmpA(szClass, "#32770") == 0)
        PostMessageA(hWnd, WM_COMMAND, IDOK, 0);
    return TRUE;
}

// A thread timer fires inside the message box's own message loop.
void CALLBACK OnTimeUp(HWND, UINT, UINT_PTR, DWORD)
{
    EnumThreadWindows(GetCurrentThreadId(), CloseBox, 0);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    SetTimer(nullptr, 0, kShowMs, OnTimeUp);
    MessageBoxA(nullptr, "Quillbrook Suite demo update installed", "Quillbrook Suite", MB_OK | MB_ICONINFORMATION);
    return 0;
}
