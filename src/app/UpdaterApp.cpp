#include "UpdaterApp.h"

#include <cstring>

#include "eventlog/EventLog.h"
#include "framework/Socket.h"
#include "net/ProxyScript.h"
#include "resources/resource.h"
#include "updater/UpdaterDlg.h"

CUpdaterApp theApp;

BOOL CUpdaterApp::InitInstance()
{
    // The program started by itself to evaluate the user's proxy script,
    // which must not take the updater down with it; it shows nothing.
    if (_stricmp(m_lpCmdLine, kProxyLookupArgument) == 0) {
        m_nExitCode = AnswerProxyLookup();
        return FALSE;
    }

    if (!AfxSocketInit()) {
        AfxMessageBox(IDS_SOCKETS_INIT_FAILED, MB_OK, IDS_SOCKETS_INIT_FAILED);
        m_nExitCode = OUTCOME_SOCKETS_FAILED;
        return FALSE;
    }

    // Without the library the update runs unlogged, after its error box.
    LoadLogLibrary();
    Enable3dControls();

    const CString strArguments(m_lpCmdLine);
    {
        CUpdaterDlg dlg(nullptr);
        dlg.m_bRunMode = _stricmp(strArguments, "/run") == 0;
        m_pMainWnd = &dlg;
        dlg.DoModal();
        m_nExitCode = dlg.m_nOutcome;
    }
    return FALSE;
}

int CUpdaterApp::ExitInstance()
{
    // Every user of the log has gone with the dialog.
    UnloadLogLibrary();
    return CWinApp::ExitInstance();
}

BOOL CUpdaterApp::OnCmdMsg(UINT nID)
{
    if (nID == ID_HELP) {
        OnHelp();
        return TRUE;
    }
    return CWinApp::OnCmdMsg(nID);
}
