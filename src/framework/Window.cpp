#include "Window.h"

#include <commctrl.h>

#include <vector>

#include "WinApp.h"

CWnd::~CWnd() = default;

int CWnd::MessageBox(const char* pszText, const char* pszCaption, UINT nType)
{
    if (!pszCaption)
        pszCaption = AfxGetApp() ? AfxGetApp()->m_strAppName.GetString() : "";
    return ::MessageBoxA(m_hWnd, pszText, pszCaption, nType);
}

BOOL CWnd::ShowWindow(int nCmdShow)
{
    return ::ShowWindow(m_hWnd, nCmdShow);
}

BOOL CWnd::IsIconic() const
{
    return ::IsIconic(m_hWnd);
}

void CWnd::GetClientRect(RECT* pRect) const
{
    ::GetClientRect(m_hWnd, pRect);
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    return ::SendMessageA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    return ::PostMessageA(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::OnWndMsg(UINT, WPARAM, LPARAM, LRESULT*)
{
    return FALSE;
}

// A dialog procedure cannot call the default dialog procedure itself: it
// returns FALSE and the platform's dialog manager does the default work.
// The flag tells the dispatcher to do so after the handler has returned.
LRESULT CWnd::Default()
{
    m_bDefaultRequested = TRUE;
    return 0;
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl)
{
    if (!rControl.m_hWnd)
        rControl.m_hWnd = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC);
}

CPaintDC::CPaintDC(CWnd* pWnd) : m_hWnd(pWnd->m_hWnd), m_ps(), m_hDC(::BeginPaint(m_hWnd, &m_ps)) {}

CPaintDC::~CPaintDC()
{
    ::EndPaint(m_hWnd, &m_ps);
}

BOOL CPaintDC::DrawIcon(int x, int y, HICON hIcon)
{
    return ::DrawIcon(m_hDC, x, y, hIcon);
}

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd) : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParentWnd) {}

CDialog::~CDialog()
{
    if (m_hWnd)
        ::DestroyWindow(m_hWnd);
}

INT_PTR CDialog::DoModal()
{
    HINSTANCE hInstance = ::GetModuleHandleA(nullptr);
    HRSRC hResource = ::FindResourceA(hInstance, MAKEINTRESOURCEA(m_nIDTemplate), MAKEINTRESOURCEA(5) /* RT_DIALOG */);
    HGLOBAL hTemplate = hResource ? ::LoadResource(hInstance, hResource) : nullptr;
    const void* pTemplate = hTemplate ? ::LockResource(hTemplate) : nullptr;
    if (!pTemplate)
        return -1;

    // The window is created hidden and shown only once OnInitDialog has
    // returned without ending the dialog, and after it has been centred.
    std::vector<unsigned char> copy(static_cast<const unsigned char*>(pTemplate),
                                    static_cast<const unsigned char*>(pTemplate) +
                                        ::SizeofResource(hInstance, hResource));
    const bool bExtended = copy.size() >= 16 && copy[2] == 0xFF && copy[3] == 0xFF;
    const size_t nStyleOffset = bExtended ? 12 : 0;
    if (copy.size() < nStyleOffset + sizeof(DWORD))
        return -1;
    DWORD dwStyle;
    memcpy(&dwStyle, &copy[nStyleOffset], sizeof(dwStyle));
    const bool bVisible = (dwStyle & WS_VISIBLE) != 0;
    dwStyle &= ~WS_VISIBLE;
    memcpy(&copy[nStyleOffset], &dwStyle, sizeof(dwStyle));

    // Registers the progress bar's window class before the template needs it.
    INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_PROGRESS_CLASS};
    ::InitCommonControlsEx(&icc);

    m_bEnded = FALSE;
    m_nModalResult = -1;
    HWND hParent = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    HWND hWnd = ::CreateDialogIndirectParamA(hInstance, reinterpret_cast<LPCDLGTEMPLATEA>(copy.data()), hParent,
                                             DialogProc, reinterpret_cast<LPARAM>(this));
    if (!hWnd)
        return -1;

    if (!m_bEnded) {
        CenterInWorkArea();
        if (bVisible)
            ::ShowWindow(hWnd, SW_SHOWNORMAL);
        MSG msg;
        while (!m_bEnded) {
            const BOOL bResult = ::GetMessageA(&msg, nullptr, 0, 0);
            if (bResult == 0) {
                // Leave WM_QUIT for the loop that owns it.
                ::PostQuitMessage(static_cast<int>(msg.wParam));
                break;
            }
            if (bResult == -1)
                break;
            if (!::IsDialogMessageA(hWnd, &msg)) {
                ::TranslateMessage(&msg);
                ::DispatchMessageA(&msg);
            }
        }
    }

    ::ShowWindow(hWnd, SW_HIDE);
    ::DestroyWindow(hWnd);
    return m_nModalResult;
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::EndDialog(int nResult)
{
    m_nModalResult = nResult;
    m_bEnded = TRUE;
    // Wake the modal loop, which may be waiting in GetMessage.
    if (m_hWnd)
        PostMessage(WM_NULL);
}

BOOL CDialog::OnWndMsg(UINT message, WPARAM wParam, LPARAM, LRESULT* pResult)
{
    switch (message) {
    case WM_COMMAND:
        *pResult = 0;
        switch (LOWORD(wParam)) {
        case IDOK:
            OnOK();
            return TRUE;
        case IDCANCEL:
            OnCancel();
            return TRUE;
        default:
            return AfxGetApp() && AfxGetApp()->OnCmdMsg(LOWORD(wParam));
        }
    case WM_CLOSE:
        // The dialog manager would post IDCANCEL and leave the close to a
        // later loop; handling it here ends the dialog in the loop that
        // dispatches the close, as a modal box's loop does.
        OnCancel();
        *pResult = 0;
        return TRUE;
    default:
        return FALSE;
    }
}

void CDialog::DoDataExchange(CDataExchange*) {}

void CDialog::OnOK()
{
    UpdateData(TRUE);
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate)
{
    CDataExchange dx = {this, bSaveAndValidate};
    DoDataExchange(&dx);
    return TRUE;
}

void CDialog::CenterInWorkArea()
{
    RECT rcWork;
    RECT rcDialog;
    if (!::SystemParametersInfoA(SPI_GETWORKAREA, 0, &rcWork, 0) || !::GetWindowRect(m_hWnd, &rcDialog))
        return;
    const int nWidth = rcDialog.right - rcDialog.left;
    const int nHeight = rcDialog.bottom - rcDialog.top;
    const int x = rcWork.left + (rcWork.right - rcWork.left - nWidth) / 2;
    const int y = rcWork.top + (rcWork.bottom - rcWork.top - nHeight) / 2;
    ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        CDialog* pDialog = reinterpret_cast<CDialog*>(lParam);
        ::SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
        pDialog->m_hWnd = hWnd;
        return pDialog->OnInitDialog();
    }

    CDialog* pDialog = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hWnd, DWLP_USER));
    if (!pDialog)
        return FALSE;

    if (message == WM_NCDESTROY) {
        // The main-window reference must never outlive the window.
        if (AfxGetApp() && AfxGetApp()->m_pMainWnd == pDialog)
            AfxGetApp()->m_pMainWnd = nullptr;
        ::SetWindowLongPtrA(hWnd, DWLP_USER, 0);
        pDialog->m_hWnd = nullptr;
        return FALSE;
    }

    // Handlers may run nested loops that dispatch other messages: keep the
    // default request of each message to itself.
    const BOOL bOuterDefault = pDialog->m_bDefaultRequested;
    pDialog->m_bDefaultRequested = FALSE;
    LRESULT lResult = 0;
    const BOOL bHandled = pDialog->OnWndMsg(message, wParam, lParam, &lResult);
    const BOOL bDefault = pDialog->m_bDefaultRequested;
    pDialog->m_bDefaultRequested = bOuterDefault;
    if (!bHandled || bDefault)
        return FALSE;

    switch (message) {
    // These messages return their result directly from a dialog procedure.
    case WM_CHARTOITEM:
    case WM_COMPAREITEM:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_QUERYDRAGICON:
    case WM_VKEYTOITEM:
        return static_cast<INT_PTR>(lResult);
    default:
        ::SetWindowLongPtrA(hWnd, DWLP_MSGRESULT, lResult);
        return TRUE;
    }
}

HWND CreateMessageWindow(const char* pszClassName, WNDPROC pfnWndProc)
{
    const HINSTANCE hInstance = ::GetModuleHandleA(nullptr);
    WNDCLASSA wc = {};
    wc.lpfnWndProc = pfnWndProc;
    wc.hInstance = hInstance;
    wc.lpszClassName = pszClassName;
    ::RegisterClassA(&wc); // fails harmlessly when another thread registered it
    return ::CreateWindowExA(0, pszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, hInstance, nullptr);
}
