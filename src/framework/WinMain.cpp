#include "WinApp.h"

// The arguments text is cut from the process's command line by the
// framework's own rule; the runtime's lpCmdLine follows other rules.
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE, LPSTR, int)
{
    STARTUPINFOA si = {};
    si.cb = sizeof(si);
    ::GetStartupInfoA(&si);
    const int nCmdShow = (si.dwFlags & STARTF_USESHOWWINDOW) ? si.wShowWindow : SW_SHOWDEFAULT;
    return AfxWinMain(hInstance, nullptr, const_cast<char*>(AfxArgumentsOf(::GetCommandLineA())), nCmdShow);
}
