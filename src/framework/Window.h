#pragma once
// Windows and dialogs: the part of the framework that the update dialog uses.

#include "Win32.h"
#include "CObject.h"
#include "CString.h"

class CWnd;

// A hidden window that only receives messages, of a class registered for
// it on first use.
HWND CreateMessageWindow(const char* pszClassName, WNDPROC pfnWndProc);

// Context of DoDataExchange: which dialog, and in which direction.
struct CDataExchange {
    CWnd* m_pDlgWnd;
    BOOL m_bSaveAndValidate;
};

class CWnd : public CObject {
public:
    CWnd() = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;
    ~CWnd() override;

    HWND m_hWnd = nullptr;

    int MessageBox(const char* pszText, const char* pszCaption = nullptr, UINT nType = MB_OK);
    BOOL ShowWindow(int nCmdShow);
    BOOL IsIconic() const;
    void GetClientRect(RECT* pRect) const;
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    // The message map: a handler returns TRUE when it has handled the
    // message and has put its result in *pResult.
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);

protected:
    // The platform's own handling of the message being dispatched.
    LRESULT Default();
    BOOL m_bDefaultRequested = FALSE;
};

// A control of a dialog, attached to its window by DDX_Control.
// Its position is set with PBM_SETPOS through SendMessage.
class CProgressCtrl : public CWnd {};

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);

// BeginPaint/EndPaint for the lifetime of the object.
class CPaintDC {
public:
    explicit CPaintDC(CWnd* pWnd);
    ~CPaintDC();
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;

    HDC GetSafeHdc() const { return m_hDC; }
    BOOL DrawIcon(int x, int y, HICON hIcon);

private:
    HWND m_hWnd;
    PAINTSTRUCT m_ps;
    HDC m_hDC;
};

class CDialog : public CWnd {
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    // Creates the dialog from its template and runs it modally. A dialog that
    // is ended during OnInitDialog is never shown and runs no modal loop.
    virtual INT_PTR DoModal();
    virtual BOOL OnInitDialog();
    void EndDialog(int nResult);

    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;

protected:
    virtual void DoDataExchange(CDataExchange* pDX);
    virtual void OnOK();
    virtual void OnCancel();
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    void CenterInWorkArea();

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;
    BOOL m_bEnded = FALSE;
    int m_nModalResult = -1;
};
