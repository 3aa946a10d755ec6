// The start of the one transfer of a run: source and destination for the
// mode, the connection, and the request.

#include "UpdaterDlg.h"
#include "eventlog/EventLog.h"
#include "eventlog/LogLines.h"
#include "net/HttpTransfer.h"
#include "net/UrlParser.h"
#include "resources/resource.h"

void CUpdaterDlg::StartUpdate()
{
    // The administrator's policy ends both modes before anything is read,
    // fetched, stored or started.
    if (AreUpdatesTurnedOff()) {
        CString strText;
        strText.LoadString(IDS_UPDATES_TURNED_OFF);
        MessageBox(strText, "Quillbrook Updater", MB_OK);
        LogEvent(&g_logUpdaterDlg, 1, strText, LOG_LINE_UPDATES_TURNED_OFF);
        m_nOutcome = OUTCOME_UPDATES_TURNED_OFF;
        m_bClosed = TRUE;
        EndDialog(IDCANCEL);
        return;
    }

    CString strUrl;
    if (m_bRunMode) {
        strUrl = ReadUpdateSetting("Source");
        m_strDestPath = GetUpdateProgramPath();
    } else {
        strUrl = ReadUpdateSetting("Description");
        m_strDestPath = GetDescriptionPagePath();
    }

    const CUrlParser url(strUrl);
    if (m_pHttp)
        return;
    if (!TakeUpdateLock())
        return;
    PrepareResumption(strUrl);

    m_pHttp = new CHttpTransfer(*this, 500, "1.0");
    m_pHttp->SetSignInServers(ReadUpdateSetting("SignInServers"));
    if (m_kept.IsSet())
        m_pHttp->ResumeAt(m_kept.url.c_str(), m_nKeptSize, m_kept.validator);
    const int nResult = m_pHttp->Request(url);
    if (nResult == -1) {
        wsprintfA(g_szUserText, "Unable to connect to update server %s on port %d\n", url.GetHost().GetString(),
                  url.GetPort());
        MessageBox(g_szUserText, "Quillbrook Updater", MB_OK);
        LogEvent(&g_logUpdaterDlg, 0, g_szUserText, LOG_LINE_UNABLE_TO_CONNECT);

        // Connected, but the request could not be sent: no end of the
        // connection will follow, so the dialog ends after the report
        // instead of waiting for the user.
        if (!m_bClosed) {
            m_nOutcome = OUTCOME_CONNECTION_FAILED;
            m_bClosed = TRUE;
            EndDialog(IDCANCEL);
            return;
        }
    }
    m_bInProgress = TRUE;
}

// A second start for a destination that is being updated ends quietly,
// before any connection: the user sees the first one's dialog come to the
// front, and the suite learns from the exit code. A lock that cannot be
// made at all does not stop the update.
BOOL CUpdaterDlg::TakeUpdateLock()
{
    DWORD nError = 0;
    switch (m_lock.Take(m_strDestPath, m_hWnd, &nError)) {
    case CUpdateLock::kTaken:
        return TRUE;
    case CUpdateLock::kHeldElsewhere:
        m_lock.ShowHolder();
        wsprintfA(g_szDetailText, "Another update of %s is in progress", m_strDestPath.GetString());
        LogEvent(&g_logUpdaterDlg, 1, g_szDetailText, LOG_LINE_UPDATE_IN_PROGRESS);
        m_nOutcome = OUTCOME_UPDATE_IN_PROGRESS;
        m_bClosed = TRUE;
        EndDialog(IDCANCEL);
        return FALSE;
    case CUpdateLock::kUnavailable:
        wsprintfA(g_szDetailText, "Updates of %s are not kept apart: error %lu", m_strDestPath.GetString(), nError);
        LogEvent(&g_logUpdaterDlg, 1, g_szDetailText, LOG_LINE_UPDATE_LOCK_FAILED);
        return TRUE;
    }
    return TRUE;
}
