#include "WinApp.h"

namespace {
CWinApp* g_pApp = nullptr;

CString ModuleTitle()
{
    char szPath[MAX_PATH];
    const DWORD nLength = ::GetModuleFileNameA(nullptr, szPath, sizeof(szPath));
    CString strPath(szPath, nLength < sizeof(szPath) ? static_cast<int>(nLength) : 0);
    CString strName = strPath.Mid(strPath.ReverseFind('\\') + 1);
    const int nDot = strName.ReverseFind('.');
    return nDot < 0 ? strName : strName.Left(nDot);
}
} // namespace

CWinApp::CWinApp(const char* pszAppName) : m_strAppName(pszAppName ? CString(pszAppName) : ModuleTitle())
{
    g_pApp = this;
}

CWinApp::~CWinApp()
{
    if (g_pApp == this)
        g_pApp = nullptr;
}

BOOL CWinApp::InitInstance()
{
    return TRUE;
}

int CWinApp::ExitInstance()
{
    return m_nExitCode;
}

int CWinApp::Run()
{
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return ExitInstance();
}

BOOL CWinApp::OnCmdMsg(UINT)
{
    return FALSE;
}

HICON CWinApp::LoadIcon(UINT nIDResource) const
{
    return ::LoadIconA(m_hInstance ? m_hInstance : ::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(nIDResource));
}

// Three-dimensional controls are the platform's own look on every system
// this program runs on; nothing is left to switch on.
BOOL CWinApp::Enable3dControls()
{
    return TRUE;
}

// Help is the program's help file beside it, named after the program.
void CWinApp::OnHelp()
{
    char szPath[MAX_PATH];
    const DWORD nLength = ::GetModuleFileNameA(m_hInstance, szPath, sizeof(szPath));
    CString strPath(szPath, nLength < sizeof(szPath) ? static_cast<int>(nLength) : 0);
    const int nDot = strPath.ReverseFind('.');
    const CString strHelp = (nDot < 0 ? strPath : strPath.Left(nDot)) + ".hlp";
    ::WinHelpA(m_pMainWnd ? m_pMainWnd->m_hWnd : nullptr, strHelp, HELP_FINDER, 0);
}

CWinApp* AfxGetApp()
{
    return g_pApp;
}

CWnd* AfxGetMainWnd()
{
    return g_pApp ? g_pApp->m_pMainWnd : nullptr;
}

int AfxMessageBox(const char* pszText, UINT nType, UINT)
{
    CWnd* pMainWnd = AfxGetMainWnd();
    const char* pszCaption = g_pApp ? g_pApp->m_strAppName.GetString() : "";
    return ::MessageBoxA(pMainWnd ? pMainWnd->m_hWnd : nullptr, pszText, pszCaption, nType);
}

int AfxMessageBox(UINT nIDPrompt, UINT nType, UINT nIDHelp)
{
    CString strText;
    strText.LoadString(nIDPrompt);
    return AfxMessageBox(strText, nType, nIDHelp == static_cast<UINT>(-1) ? nIDPrompt : nIDHelp);
}

const char* AfxArgumentsOf(const char* pszCommandLine)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(pszCommandLine ? pszCommandLine : "");
    if (*p == '"') {
        ++p;
        while (*p && *p != '"')
            ++p;
        if (*p == '"')
            ++p;
    } else {
        while (*p > ' ')
            ++p;
    }
    while (*p && *p <= ' ')
        ++p;
    return reinterpret_cast<const char*>(p);
}

int AfxWinMain(HINSTANCE hInstance, HINSTANCE, char* lpCmdLine, int nCmdShow)
{
    CWinApp* pApp = AfxGetApp();
    if (!pApp)
        return -1;
    pApp->m_hInstance = hInstance;
    pApp->m_lpCmdLine = lpCmdLine ? lpCmdLine : "";
    pApp->m_nCmdShow = nCmdShow;
    if (!pApp->InitInstance())
        return pApp->ExitInstance();
    return pApp->Run();
}
