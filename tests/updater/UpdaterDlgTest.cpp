#include "updater/UpdaterDlg.h"

#include <gtest/gtest.h>

#include <functional>

#include "framework/WinApp.h"
#include "net/HttpTransfer.h"
#include "support/BoxWatcher.h"

namespace {

CWinApp g_app("UpdaterDlgTest");

// The update dialog with hooks for the test: what to do once it is
// initialised, and whether it was ever shown. It holds a transfer that is
// never started, so that its initialisation starts no transfer.
class ObservedDlg : public CUpdaterDlg {
public:
    ObservedDlg() { m_pHttp = new CHttpTransfer(*this, 500, "1.0"); }

    std::function<void(ObservedDlg&)> onInit;
    std::function<void(ObservedDlg&)> onApp;
    bool bShown = false;

    BOOL OnInitDialog() override
    {
        const BOOL bResult = CUpdaterDlg::OnInitDialog();
        if (onInit)
            onInit(*this);
        return bResult;
    }

    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override
    {
        if (message == WM_SHOWWINDOW && wParam)
            bShown = true;
        if (message == WM_APP && onApp) {
            onApp(*this);
            return TRUE;
        }
        return CUpdaterDlg::OnWndMsg(message, wParam, lParam, pResult);
    }
};

enum class Trigger { Button, Escape, Enter, CloseBox, PostedClose };

const char* Name(Trigger t)
{
    switch (t) {
    case Trigger::Button: return "Cancel button";
    case Trigger::Escape: return "Escape";
    case Trigger::Enter: return "Enter";
    case Trigger::CloseBox: return "close box";
    case Trigger::PostedClose: return "WM_CLOSE";
    }
    return "";
}

void Fire(HWND hDlg, Trigger t)
{
    HWND hCancel = GetDlgItem(hDlg, IDCANCEL);
    switch (t) {
    case Trigger::Button: PostMessageA(hCancel, BM_CLICK, 0, 0); break;
    case Trigger::Escape: PostMessageA(hCancel, WM_KEYDOWN, VK_ESCAPE, 0); break;
    case Trigger::Enter: PostMessageA(hCancel, WM_KEYDOWN, VK_RETURN, 0); break;
    case Trigger::CloseBox: PostMessageA(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0); break;
    case Trigger::PostedClose: PostMessageA(hDlg, WM_CLOSE, 0, 0); break;
    }
}

SIZE IconSize(LRESULT hIcon)
{
    ICONINFO info = {};
    if (!GetIconInfo(reinterpret_cast<HICON>(hIcon), &info))
        return {};
    BITMAP bitmap = {};
    GetObjectA(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bitmap), &bitmap);
    if (info.hbmColor)
        DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return {bitmap.bmWidth, info.hbmColor ? bitmap.bmHeight : bitmap.bmHeight / 2};
}

const Trigger kTriggers[] = {Trigger::Button, Trigger::Escape, Trigger::Enter, Trigger::CloseBox, Trigger::PostedClose};

} // namespace

TEST(UpdaterDlg, StartsWithTheInitialFieldValues)
{
    CUpdaterDlg dlg;
    EXPECT_EQ(dlg.m_pHttp, nullptr);
    EXPECT_EQ(dlg.m_nReceived, 0u);
    EXPECT_TRUE(dlg.m_strHeaders.IsEmpty());
    EXPECT_TRUE(dlg.m_strDestPath.IsEmpty());
    EXPECT_EQ(dlg.m_nContentLength, 0u);
    EXPECT_FALSE(dlg.m_bFilePrepared);
    EXPECT_FALSE(dlg.m_bInProgress);
    EXPECT_FALSE(dlg.m_bHttpError);
    EXPECT_TRUE(dlg.m_bRunMode);
    EXPECT_NE(dlg.m_hIcon, nullptr);
}

TEST(UpdaterDlg, EveryWayOfCancellingEndsAnIdleDialogWithoutAQuestion)
{
    for (Trigger t : kTriggers) {
        SCOPED_TRACE(Name(t));
        BoxWatcher watcher;
        ObservedDlg dlg;
        HICON hBigIcon = nullptr;
        HWND hFocus = nullptr;
        dlg.onInit = [&](ObservedDlg& d) {
            hBigIcon = reinterpret_cast<HICON>(d.SendMessage(WM_GETICON, ICON_BIG, 0));
            Fire(d.m_hWnd, t);
        };
        dlg.onApp = [&](ObservedDlg&) {};
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
        EXPECT_TRUE(BoxCountIs(watcher.Boxes(), 0));
        EXPECT_TRUE(dlg.bShown);
        EXPECT_EQ(hBigIcon, dlg.m_hIcon);
        (void)hFocus;
    }
}

// Wine keeps one DPI for the session and never sends WM_DPICHANGED, so the
// test sends what Windows sends when the dialog moves to another screen.
TEST(UpdaterDlg, ADpiChangeTakesTheSuggestedRectangleAndIconsOfTheNewSize)
{
    for (const int nDpi : {96, 144, 192}) {
        SCOPED_TRACE(nDpi);
        ObservedDlg dlg;
        const RECT rcSuggested = {40, 30, 40 + MulDiv(284, nDpi, 96), 30 + MulDiv(163, nDpi, 96)};
        RECT rcWindow = {};
        SIZE bigIcon = {}, smallIcon = {};
        dlg.onInit = [&](ObservedDlg& d) {
            RECT rc = rcSuggested;
            d.SendMessage(WM_DPICHANGED, MAKEWPARAM(nDpi, nDpi), reinterpret_cast<LPARAM>(&rc));
            GetWindowRect(d.m_hWnd, &rcWindow);
            bigIcon = IconSize(d.SendMessage(WM_GETICON, ICON_BIG, 0));
            smallIcon = IconSize(d.SendMessage(WM_GETICON, ICON_SMALL, 0));
            Fire(d.m_hWnd, Trigger::PostedClose);
        };
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
        EXPECT_TRUE(EqualRect(&rcWindow, &rcSuggested)) << rcWindow.left << "," << rcWindow.top << " "
                                                         << rcWindow.right << "," << rcWindow.bottom;
        // 32 and 16 pixels at 96 DPI, in proportion above it.
        EXPECT_EQ(bigIcon.cx, MulDiv(32, nDpi, 96));
        EXPECT_EQ(bigIcon.cy, MulDiv(32, nDpi, 96));
        EXPECT_EQ(smallIcon.cx, MulDiv(16, nDpi, 96));
        EXPECT_EQ(smallIcon.cy, MulDiv(16, nDpi, 96));
    }
}

TEST(UpdaterDlg, CancellingATransferAsksAndYesEndsTheDialog)
{
    for (Trigger t : kTriggers) {
        SCOPED_TRACE(Name(t));
        BoxWatcher watcher([](const ObservedBox&) { return IDYES; });
        ObservedDlg dlg;
        dlg.onInit = [&](ObservedDlg& d) {
            d.m_bInProgress = TRUE;
            Fire(d.m_hWnd, t);
        };
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
        ASSERT_TRUE(BoxCountIs(watcher.Boxes(), 1));
        const ObservedBox& box = watcher.Boxes()[0];
        EXPECT_EQ(box.text, "Are you sure you want to cancel your software update?");
        EXPECT_EQ(box.caption, "Quillbrook Updater");
        EXPECT_EQ(box.buttons, (std::vector<int>{IDYES, IDNO}));
        EXPECT_FALSE(box.iconHand);
        EXPECT_NE(box.owner, nullptr);
    }
}

TEST(UpdaterDlg, AnsweringNoKeepsTheDialogOpenUntilTheTransferEnds)
{
    for (Trigger t : kTriggers) {
        SCOPED_TRACE(Name(t));
        bool bOpenAfterNo = false;
        ObservedDlg dlg;
        BoxWatcher watcher([&](const ObservedBox&) {
            // After the No, the test ends the transfer as the completion
            // does: the flag cleared, then a posted close.
            PostMessageA(dlg.m_hWnd, WM_APP, 0, 0);
            return IDNO;
        });
        dlg.onInit = [&](ObservedDlg& d) {
            d.m_bInProgress = TRUE;
            Fire(d.m_hWnd, t);
        };
        dlg.onApp = [&](ObservedDlg& d) {
            bOpenAfterNo = IsWindowVisible(d.m_hWnd) != FALSE;
            d.m_bInProgress = FALSE;
            d.PostMessage(WM_CLOSE);
        };
        EXPECT_EQ(dlg.DoModal(), IDCANCEL);
        EXPECT_TRUE(BoxCountIs(watcher.Boxes(), 1));
        EXPECT_TRUE(bOpenAfterNo);
    }
}

TEST(UpdaterDlg, DialogEndedDuringInitialisationIsNeverShown)
{
    BoxWatcher watcher;
    ObservedDlg dlg;
    dlg.onInit = [](ObservedDlg& d) {
        // As after a failed connection: the close is posted, and the loop of
        // a box shown during the initialisation dispatches it.
        d.PostMessage(WM_CLOSE);
        d.MessageBox("box during initialisation", "Quillbrook Updater", MB_OK);
    };
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(BoxCountIs(watcher.Boxes(), 1));
    EXPECT_FALSE(dlg.bShown);
}

TEST(UpdaterDlg, MainWindowReferenceIsClearedWithTheWindow)
{
    ObservedDlg dlg;
    g_app.m_pMainWnd = &dlg;
    CWnd* pDuring = nullptr;
    dlg.onInit = [&](ObservedDlg& d) {
        pDuring = AfxGetMainWnd();
        d.PostMessage(WM_CLOSE);
    };
    dlg.DoModal();
    EXPECT_EQ(pDuring, &dlg);
    EXPECT_EQ(AfxGetMainWnd(), nullptr);
}
