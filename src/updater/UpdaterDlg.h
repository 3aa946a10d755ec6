#pragma once
// The update dialog and the one transfer that it carries.

#include <cstdint>

#include "framework/File.h"
#include "framework/Window.h"

#include "DownloadFile.h"
#include "KeptTransfer.h"
#include "UpdateLock.h"

#include "eventlog/EventLog.h"
#include "net/ResponseReader.h"

class CHttpTransfer;

// The event-log record that names this module.
extern const LogSource g_logUpdaterDlg;

// How a run ended; the process's exit code.
enum UpdateOutcome {
    OUTCOME_COMPLETED = 0,         // stored (and, in run mode, launched)
    OUTCOME_CANCELLED = 1,         // the user cancelled, or the dialog closed before an end
    OUTCOME_CONNECTION_FAILED = 2, // no connection, request not sent, or response cut short
    OUTCOME_HTTP_ERROR = 3,        // a status other than 200, or an unreadable response
    OUTCOME_STORE_FAILED = 4,      // the body could not be stored at the destination
    OUTCOME_LAUNCH_FAILED = 5,     // run mode: the fetched program did not start
    OUTCOME_SOCKETS_FAILED = 6,    // the socket layer could not be started
    OUTCOME_SIGNATURE_REFUSED = 7, // run mode: the fetched program's signature was refused
    OUTCOME_UPDATES_TURNED_OFF = 8, // the administrator's policy turns updates off
    OUTCOME_UPDATE_IN_PROGRESS = 9, // another update of this file is in progress
};

// Program-lifetime text buffers of the dialog code: the text of a message
// box, and the detail text of an event-log record.
extern char g_szUserText[1024];
extern char g_szDetailText[1024];

// The transfer tells the dialog of the answer through CResponseReceiver.
class CUpdaterDlg : public CDialog, public CResponseReceiver {
public:
    explicit CUpdaterDlg(CWnd* pParent = nullptr);
    ~CUpdaterDlg() override;

    // Installation settings, read afresh from the machine's registry at every
    // call; each gives its default when the setting cannot be read. A value
    // of the administrator's policy wins over the installer's.
    static CString ReadUpdateSetting(const CString& strValueName);
    // A DWORD beside the update URLs; 0 when absent or of another type.
    static DWORD ReadUpdatePolicy(const CString& strValueName);
    // The policy "UpdatesDisabled": no update at all on this machine.
    static bool AreUpdatesTurnedOff();
    static CString GetRootPath();
    static CString GetUpdateProgramPath();
    static CString GetDescriptionPagePath();

    // The transfer: start, reception, completion.
    void StartUpdate();
    void OnResponseHead(const ResponseHead& head) override;
    void OnTransferData(const char* pData, int nLength) override;
    void OnTransferClosed(int nErrorCode, bool bComplete) override;
    int GetContentLength();
    int GetStatusCode();
    BOOL AppendToFile(const char* pData, uint32_t nLength);

    CHttpTransfer* m_pHttp;
    uint32_t m_nReceived;
    CString m_strHeaders;
    CString m_strDestPath;
    uint32_t m_nContentLength;
    int m_nStatusCode;         // read once, when the header block is split off
    BOOL m_bFilePrepared;
    BOOL m_bInProgress;
    BOOL m_bHttpError;
    BOOL m_bRunMode;
    CProgressCtrl m_progress;
    uint64_t m_nPosition; // the progress bar's, as last sent; UINT64_MAX: none yet
    // Owned; at the sizes of the window's DPI.
    HICON m_hIcon;      // at SM_CXICON, for the window and its minimized form
    HICON m_hSmallIcon; // at SM_CXSMICON, for the caption and the task bar

    // The body goes to a temporary file beside the destination, held open
    // for the transfer, which replaces the destination only once the whole
    // body has arrived and has been checked.
    CDownloadFile m_download;
    uint64_t m_nBodyReceived;  // body bytes of the response, as stored
    BOOL m_bHeadersUnreadable; // header block too long, or empty
    BOOL m_bStoreFailed;
    BOOL m_bClosed;            // the end of the connection has been handled
    int m_nOutcome;            // UpdateOutcome
    CUpdateLock m_lock;        // this run's hold on the destination
    // A transfer cut short goes on at the next start: what it knows of the
    // file it is fetching, and where an earlier start left it.
    CString m_strSourceUrl;    // the setting's URL of this run
    KeptTransfer m_kept;       // what a resumption of this transfer needs; unset: none
    uint64_t m_nKeptSize;      // bytes of the kept file that this start holds
    BOOL m_bResumed;           // the answer is the rest of the kept file

    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnCancel() override;
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnDpiChanged(UINT nDpi, const RECT& rcSuggested);

private:
    void SetIconsForDpi(UINT nDpi);
    BOOL TakeUpdateLock();
    void PrepareResumption(const CString& strUrl);
    void RemoveKept(const char* pszReason);
    void ResumeOrStartAfresh(const ResponseHead& head);
    void KeepForResumption();
    template <typename Step> void Guarded(Step step);
    void SetProgress(uint64_t nPosition);
    void StoreBody(const char* pData, uint32_t nLength);
    void MarkHeadersUnreadable();
    void PrepareTempFile();
    void LogStoreError(const CFileException& e);
    BOOL FinishTempFile();
    BOOL CommitDownload();
    BOOL IsSignatureAccepted();
    void DiscardDownload();
    void ReportHttpError();
    void ReportLostConnection(int nErrorCode);
    void LaunchUpdateProgram();
    void ReportLaunchFailure(int nResult);
    void ReportStoreFailure();
};
