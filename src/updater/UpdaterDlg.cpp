#include "UpdaterDlg.h"

#include "eventlog/EventLog.h"
#include "framework/WinApp.h"
#include "net/HttpTransfer.h"
#include "resources/resource.h"

const LogSource g_logUpdaterDlg = ModuleLogSource("UpdaterDlg");

namespace {

// Both come with Windows 10 1607; before it one DPI served the whole
// session, that of the screen device.
template <typename T> T User32Export(const char* pszName)
{
    return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("user32.dll"), pszName)));
}

UINT SessionDpi()
{
    HDC hdc = ::GetDC(nullptr);
    const int nDpi = ::GetDeviceCaps(hdc, LOGPIXELSY);
    ::ReleaseDC(nullptr, hdc);
    return nDpi;
}

UINT WindowDpi(HWND hWnd)
{
    static const auto pfnGetDpiForWindow = User32Export<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
    return pfnGetDpiForWindow ? pfnGetDpiForWindow(hWnd) : SessionDpi();
}

int MetricForDpi(int nIndex, UINT nDpi)
{
    static const auto pfnGetSystemMetricsForDpi = User32Export<int(WINAPI*)(int, UINT)>("GetSystemMetricsForDpi");
    return pfnGetSystemMetricsForDpi ? pfnGetSystemMetricsForDpi(nIndex, nDpi)
                                     : ::MulDiv(::GetSystemMetrics(nIndex), nDpi, SessionDpi());
}

// The program's icon in the size of the two metrics at that DPI: the image
// of the icon file that fits it best, scaled when none has the size. Not
// shared: a shared icon is cached by its image, so a later call for another
// size that picks the same image gets the size loaded first.
HICON LoadIconOfSize(int nWidthMetric, int nHeightMetric, UINT nDpi)
{
    return static_cast<HICON>(::LoadImageA(AfxGetApp()->m_hInstance ? AfxGetApp()->m_hInstance
                                                                      : ::GetModuleHandleA(nullptr),
                                           MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
                                           MetricForDpi(nWidthMetric, nDpi), MetricForDpi(nHeightMetric, nDpi),
                                           0));
}

} // namespace

char g_szUserText[1024];
char g_szDetailText[1024];

CUpdaterDlg::CUpdaterDlg(CWnd* pParent)
    : CDialog(IDD_UPDATER_DIALOG, pParent),
      m_pHttp(nullptr),
      m_nReceived(0),
      m_nContentLength(0),
      m_nStatusCode(0),
      m_bFilePrepared(FALSE),
      m_bInProgress(FALSE),
      m_bHttpError(FALSE),
      m_bRunMode(TRUE),
      m_nPosition(UINT64_MAX),
      m_hIcon(LoadIconOfSize(SM_CXICON, SM_CYICON, SessionDpi())),
      m_hSmallIcon(LoadIconOfSize(SM_CXSMICON, SM_CYSMICON, SessionDpi())),
      m_nBodyReceived(0),
      m_bHeadersUnreadable(FALSE),
      m_bStoreFailed(FALSE),
      m_bClosed(FALSE),
      m_nOutcome(OUTCOME_CANCELLED),
      m_nKeptSize(0),
      m_bResumed(FALSE)
{
}

// The connection goes first, so that no callback can reach a dialog that is
// being destroyed. A body that did not replace the destination goes too.
CUpdaterDlg::~CUpdaterDlg()
{
    delete m_pHttp;
    DiscardDownload();
    m_lock.Release();
    ::DestroyIcon(m_hIcon);
    ::DestroyIcon(m_hSmallIcon);
}

void CUpdaterDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
}

BOOL CUpdaterDlg::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    switch (message) {
    case WM_PAINT:
        OnPaint();
        *pResult = 0;
        return TRUE;
    case WM_DESTROY:
        // The mark goes with the window; the lock stays until the dialog's
        // end, after the fetched file has been stored or kept.
        m_lock.Unmark();
        return CDialog::OnWndMsg(message, wParam, lParam, pResult);
    case WM_QUERYDRAGICON:
        *pResult = reinterpret_cast<LRESULT>(OnQueryDragIcon());
        return TRUE;
    case WM_DPICHANGED:
        OnDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
        // Left to the dialog manager too, which from Windows 10 1703 on lays
        // the template out anew in its font at the new DPI.
        return CDialog::OnWndMsg(message, wParam, lParam, pResult);
    default:
        return CDialog::OnWndMsg(message, wParam, lParam, pResult);
    }
}

BOOL CUpdaterDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    SetIconsForDpi(WindowDpi(m_hWnd));

    StartUpdate();

    // Focus goes to the Cancel button.
    return TRUE;
}

// Each icon at the size the system asks for at this DPI, not one image
// stretched to both.
void CUpdaterDlg::SetIconsForDpi(UINT nDpi)
{
    const HICON hOldIcon = m_hIcon;
    const HICON hOldSmallIcon = m_hSmallIcon;
    m_hIcon = LoadIconOfSize(SM_CXICON, SM_CYICON, nDpi);
    m_hSmallIcon = LoadIconOfSize(SM_CXSMICON, SM_CYSMICON, nDpi);
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon));
    // The window no longer shows them.
    ::DestroyIcon(hOldIcon);
    ::DestroyIcon(hOldSmallIcon);
}

// Moved to a screen of another DPI (or the screen's scale changed): the
// rectangle that Windows suggests keeps the dialog's place and its size in
// proportion to the new DPI.
void CUpdaterDlg::OnDpiChanged(UINT nDpi, const RECT& rcSuggested)
{
    ::SetWindowPos(m_hWnd, nullptr, rcSuggested.left, rcSuggested.top, rcSuggested.right - rcSuggested.left,
                   rcSuggested.bottom - rcSuggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
    SetIconsForDpi(nDpi);
}

void CUpdaterDlg::OnCancel()
{
    if (m_bInProgress) {
        CString strText;
        CString strCaption;
        strText.LoadString(IDS_CONFIRM_CANCEL);
        strCaption.LoadString(IDS_CAPTION);
        if (MessageBox(strText, strCaption, MB_YESNO) == IDNO)
            return;
    }
    // The connection ends with the dialog: a redirect's next hop that is
    // being set up stops waiting, and its end is not reported.
    m_bClosed = TRUE;
    if (m_pHttp)
        m_pHttp->Close();
    CDialog::OnCancel();
}

void CUpdaterDlg::OnPaint()
{
    if (!IsIconic()) {
        Default();
        return;
    }

    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);

    const int cxIcon = ::GetSystemMetrics(SM_CXICON);
    const int cyIcon = ::GetSystemMetrics(SM_CYICON);
    RECT rect;
    GetClientRect(&rect);
    const int x = (rect.right - rect.left - cxIcon + 1) / 2;
    const int y = (rect.bottom - rect.top - cyIcon + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
}

HCURSOR CUpdaterDlg::OnQueryDragIcon()
{
    return reinterpret_cast<HCURSOR>(m_hIcon);
}
