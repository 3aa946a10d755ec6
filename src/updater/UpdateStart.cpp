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

    m_pHttp = new CHttpTransfer(*this, 500, "1.0");
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
