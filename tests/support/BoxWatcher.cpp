#include "BoxWatcher.h"

#include <algorithm>

namespace {
BoxWatcher* g_pWatcher = nullptr;

bool IsMessageBox(HWND hWnd)
{
    char szClass[32] = "";
    GetClassNameA(hWnd, szClass, sizeof(szClass));
    // The update dialog is a #32770 too; it holds the progress bar.
    return strcmp(szClass, "#32770") == 0 && GetDlgItem(hWnd, 0xFFFF) && !GetDlgItem(hWnd, 1000);
}

bool ShowsIconHand(HWND hBox)
{
    const HICON hHand = LoadIconA(nullptr, MAKEINTRESOURCEA(32513) /* IDI_HAND */);
    // The icon control's id differs between Windows (0x14) and Wine (0x440).
    for (int nId : {0x14, 0x440}) {
        HWND hIcon = GetDlgItem(hBox, nId);
        if (hIcon && reinterpret_cast<HICON>(SendMessageA(hIcon, STM_GETICON, 0, 0)) == hHand)
            return true;
    }
    return false;
}
} // namespace

std::string WindowText(HWND hWnd)
{
    char szText[2048] = "";
    GetWindowTextA(hWnd, szText, sizeof(szText));
    return szText;
}

ObservedBox ObserveBox(HWND hBox)
{
    ObservedBox box;
    box.hWnd = hBox;
    box.caption = WindowText(hBox);
    box.text = WindowText(GetDlgItem(hBox, 0xFFFF));
    box.owner = GetWindow(hBox, GW_OWNER);
    for (int nId : {IDOK, IDCANCEL, IDABORT, IDRETRY, IDIGNORE, IDYES, IDNO}) {
        HWND hButton = GetDlgItem(hBox, nId);
        if (hButton && (GetWindowLongA(hButton, GWL_STYLE) & WS_VISIBLE))
            box.buttons.push_back(nId);
    }
    return box;
}

std::string DescribeBox(const ObservedBox& box)
{
    return "\"" + box.caption + "\": \"" + box.text + "\"";
}

void PressButton(HWND hWindow, int nId)
{
    PostMessageA(hWindow, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(hWindow, nId)));
}

BoxWatcher::BoxWatcher(Answer answer) : m_answer(std::move(answer))
{
    g_pWatcher = this;
    m_hHook = SetWindowsHookExA(WH_CBT, CbtProc, nullptr, GetCurrentThreadId());
}

BoxWatcher::~BoxWatcher()
{
    UnhookWindowsHookEx(m_hHook);
    g_pWatcher = nullptr;
}

LRESULT CALLBACK BoxWatcher::CbtProc(int nCode, WPARAM wParam, LPARAM lParam)
{
    if (g_pWatcher) {
        HWND hWnd = reinterpret_cast<HWND>(wParam);
        if (nCode == HCBT_ACTIVATE && IsMessageBox(hWnd))
            g_pWatcher->OnActivate(hWnd);
        else if (nCode == HCBT_DESTROYWND)
            std::erase(g_pWatcher->m_seen, hWnd);
    }
    return CallNextHookEx(nullptr, nCode, wParam, lParam);
}

void BoxWatcher::OnActivate(HWND hWnd)
{
    if (std::find(m_seen.begin(), m_seen.end(), hWnd) != m_seen.end())
        return;
    m_seen.push_back(hWnd);

    ObservedBox box = ObserveBox(hWnd);
    box.iconHand = ShowsIconHand(hWnd);
    m_boxes.push_back(box);
    if (const int nAnswer = m_answer(box))
        PressButton(hWnd, nAnswer);
}
