// Presses OK in the message boxes on screen that have the caption given,
// and prints their texts: the demonstration shows a failure's boxes and
// still ends by itself.
// Usage: AnswerBox.exe CAPTION

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const char* g_pszCaption = "";

BOOL CALLBACK Answer(HWND hWnd, LPARAM)
{
    char szClass[16] = "";
    char szText[1024] = "";
    GetClassNameA(hWnd, szClass, sizeof(szClass));
    GetWindowTextA(hWnd, szText, sizeof(szText));
    // A box has its text at 0xFFFF and an OK button; the update dialog,
    // of the same class and caption, has neither.
    HWND hOk = GetDlgItem(hWnd, IDOK);
    if (strcmp(szClass, "#32770") != 0 || strcmp(szText, g_pszCaption) != 0 || !IsWindowVisible(hWnd) || !hOk ||
        !IsWindowVisible(hOk) || !GetDlgItem(hWnd, 0xFFFF))
        return TRUE;
    GetDlgItemTextA(hWnd, 0xFFFF, szText, sizeof(szText));
    // One line a box: the texts that end in a line break lose it.
    size_t nLength = strlen(szText);
    while (nLength > 0 && (szText[nLength - 1] == '\n' || szText[nLength - 1] == '\r'))
        szText[--nLength] = '\0';
    std::printf("\"%s\"\n", szText);
    PostMessageA(hWnd, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(hOk));
    return TRUE;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    g_pszCaption = argv[1];
    EnumWindows(Answer, 0);
    return 0;
}
