// A stand-in update program: started by the updater, it leaves a mark file
// beside itself ("<its own path>.mark") holding its command line, and ends.

#include <windows.h>

#include <string>

int main()
{
    char szPath[MAX_PATH];
    const DWORD nLength = GetModuleFileNameA(nullptr, szPath, sizeof(szPath));
    if (nLength == 0 || nLength >= sizeof(szPath))
        return 1;
    const std::string strMark = std::string(szPath) + ".mark";
    HANDLE hFile =
        CreateFileA(strMark.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return 1;
    const char* pszCommandLine = GetCommandLineA();
    DWORD nWritten = 0;
    WriteFile(hFile, pszCommandLine, static_cast<DWORD>(strlen(pszCommandLine)), &nWritten, nullptr);
    CloseHandle(hFile);
    return 0;
}
