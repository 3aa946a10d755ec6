// The end of the transfer: the outcome is reported, the fetched program is
// started in run mode, and the dialog closes itself.

#include "UpdaterDlg.h"
#include "eventlog/EventLog.h"
#include "eventlog/LogLines.h"
#include "net/UrlParser.h"
#include "resources/resource.h"

#include <shellapi.h>

// Formats loaded from the string table at each use.
CString g_strUserFormat;
CString g_strDetailFormat;

void CUpdaterDlg::OnTransferClosed(int nErrorCode, bool bComplete)
{
    if (m_bClosed)
        return;
    m_bInProgress = FALSE;
    m_bClosed = TRUE;

    // A normal close before the whole response has arrived is a lost
    // connection, not a finished transfer.
    if (nErrorCode == 0 && (m_bHttpError || m_bStoreFailed || bComplete)) {
        if (m_bHttpError) {
            ReportHttpError();
            m_nOutcome = OUTCOME_HTTP_ERROR;
        } else if (!FinishTempFile()) {
            // Only a completely stored program is ever started.
            ReportStoreFailure();
        } else if (m_bRunMode && !IsSignatureAccepted()) {
            m_nOutcome = OUTCOME_SIGNATURE_REFUSED;
        } else if (!CommitDownload()) {
            ReportStoreFailure();
        } else if (m_bRunMode) {
            LaunchUpdateProgram();
        } else {
            m_nOutcome = OUTCOME_COMPLETED;
        }
    } else {
        ReportLostConnection(nErrorCode);
        m_nOutcome = OUTCOME_CONNECTION_FAILED;
        KeepForResumption();
    }

    DiscardDownload();
    PostMessage(WM_CLOSE);
}

// A program whose signature the machine's policy refuses never replaces the
// old one; the user learns of it as of a program that could not be started.
BOOL CUpdaterDlg::IsSignatureAccepted()
{
    const LONG nResult =
        m_download.CheckSignature(ReadUpdatePolicy("RequireSignature") != 0, ReadUpdateSetting("SignerThumbprint"));
    if (nResult == ERROR_SUCCESS)
        return TRUE;
    ReportLaunchFailure(static_cast<int>(nResult));
    return FALSE;
}

void CUpdaterDlg::ReportHttpError()
{
    wsprintfA(g_szDetailText, "HTTP error %d when retrieving %s", GetStatusCode(), m_strDestPath.GetString());
    LogEvent(&g_logUpdaterDlg, 1, g_szDetailText, LOG_LINE_HTTP_ERROR);
    wsprintfA(g_szUserText, "No updates are currently available");
    ShowWindow(SW_HIDE);
    MessageBox(g_szUserText, "Quillbrook Updater", MB_OK);
}

void CUpdaterDlg::LaunchUpdateProgram()
{
    const HINSTANCE hResult = ::ShellExecuteA(nullptr, "open", m_strDestPath, nullptr, nullptr, SW_SHOWNORMAL);
    const INT_PTR nResult = reinterpret_cast<INT_PTR>(hResult);
    if (nResult <= 32) {
        ReportLaunchFailure(static_cast<int>(nResult));
        m_nOutcome = OUTCOME_LAUNCH_FAILED;
    } else {
        m_nOutcome = OUTCOME_COMPLETED;
    }
}

void CUpdaterDlg::ReportLaunchFailure(int nResult)
{
    CString strCaption;
    g_strUserFormat.LoadString(IDS_LAUNCH_FAILED);
    g_strDetailFormat.LoadString(IDS_LAUNCH_FAILED_DETAIL);
    strCaption.LoadString(IDS_CAPTION);
    wsprintfA(g_szDetailText, g_strDetailFormat, m_strDestPath.GetString(), nResult);
    wsprintfA(g_szUserText, g_strUserFormat, m_strDestPath.GetString());
    LogEvent(&g_logUpdaterDlg, 0, g_szDetailText, LOG_LINE_LAUNCH_ERROR);
    MessageBox(g_szUserText, strCaption, MB_OK);
}

// The body could not be stored; the event log holds the storing error. In
// run mode the program is therefore not started, and the user learns it
// from the launch-failure box.
void CUpdaterDlg::ReportStoreFailure()
{
    m_nOutcome = OUTCOME_STORE_FAILED;
    if (!m_bRunMode)
        return;
    CString strCaption;
    g_strUserFormat.LoadString(IDS_LAUNCH_FAILED);
    strCaption.LoadString(IDS_CAPTION);
    wsprintfA(g_szUserText, g_strUserFormat, m_strDestPath.GetString());
    MessageBox(g_szUserText, strCaption, MB_OK);
}

void CUpdaterDlg::ReportLostConnection(int nErrorCode)
{
    const CUrlParser url(ReadUpdateSetting("Source"));
    CString strCaption;
    g_strUserFormat.LoadString(IDS_CONNECTION_LOST);
    g_strDetailFormat.LoadString(IDS_CONNECTION_LOST_DETAIL);
    strCaption.LoadString(IDS_CAPTION);
    wsprintfA(g_szUserText, g_strUserFormat, url.GetHost().GetString());
    wsprintfA(g_szDetailText, g_strDetailFormat, url.GetHost().GetString(), url.GetPort(), nErrorCode);
    MessageBox(g_szUserText, strCaption, MB_OK);
    LogEvent(&g_logUpdaterDlg, 0, g_szDetailText, LOG_LINE_CONNECTION_LOST);
}
