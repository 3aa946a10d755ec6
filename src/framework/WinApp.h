#pragma once
// The application object and the process's start-up.

#include "Window.h"

class CWinApp : public CObject {
public:
    // Without a name the application title is the program file's name
    // without its extension.
    explicit CWinApp(const char* pszAppName = nullptr);
    ~CWinApp() override;

    virtual BOOL InitInstance();
    virtual int ExitInstance();
    virtual int Run();
    // The application's command routing; the base handles nothing.
    virtual BOOL OnCmdMsg(UINT nID);

    HICON LoadIcon(UINT nIDResource) const;
    BOOL Enable3dControls();
    void OnHelp();

    CString m_strAppName;
    HINSTANCE m_hInstance = nullptr;
    const char* m_lpCmdLine = "";
    int m_nCmdShow = SW_SHOWDEFAULT;
    CWnd* m_pMainWnd = nullptr;
    // What ExitInstance returns as the process's exit code.
    int m_nExitCode = 0;
};

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();

// Boxes owned by the main window when there is one, with the application
// title as caption.
int AfxMessageBox(const char* pszText, UINT nType = MB_OK, UINT nIDHelp = 0);
int AfxMessageBox(UINT nIDPrompt, UINT nType = MB_OK, UINT nIDHelp = static_cast<UINT>(-1));

// The arguments text of a command line: the program path (a quoted path up
// to its closing quote, otherwise up to the first byte 1..32) and the blanks
// and control bytes behind it are cut off; the rest stays as it is.
const char* AfxArgumentsOf(const char* pszCommandLine);

int AfxWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, char* lpCmdLine, int nCmdShow);
