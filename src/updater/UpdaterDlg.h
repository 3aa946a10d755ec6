#pragma once
// The update dialog and the one transfer that it carries.

#include <cstdint>

#include "framework/Window.h"

class CHttpInterface;

// Program-lifetime text buffers of the dialog code: the text of a message
// box, and the detail text of an event-log record.
extern char g_szUserText[1024];
extern char g_szDetailText[1024];

class CUpdaterDlg : public CDialog {
public:
    explicit CUpdaterDlg(CWnd* pParent = nullptr);
    ~CUpdaterDlg() override;

    // Installation settings, read afresh from the machine's registry at every
    // call; each gives its default when the setting cannot be read.
    static CString ReadUpdateSetting(const CString& strValueName);
    static CString GetRootPath();
    static CString GetUpdateProgramPath();
    static CString GetDescriptionPagePath();

    CHttpInterface* m_pHttp;
    unsigned char* m_pRawBuffer;
    uint32_t m_nReceived;
    CString m_strHeaders;
    CString m_strDestPath;
    uint32_t m_nContentLength;
    BOOL m_bFilePrepared;
    BOOL m_bInProgress;
    BOOL m_bHttpError;
    BOOL m_bRunMode;
    CProgressCtrl m_progress;
    HICON m_hIcon;

    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnCancel() override;
    void OnPaint();
    HCURSOR OnQueryDragIcon();
};
