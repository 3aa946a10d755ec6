#include "TransferTestSupport.h"

#include "framework/WinApp.h"
#include "support/Waits.h"

// The dialog loads its icon through the application object.
CWinApp g_app("TransferTest");

std::string TempPathOf(const std::string& strDestPath)
{
    return strDestPath + "." + std::to_string(GetCurrentProcessId()) + ".part";
}

std::string PartPathOf(const std::string& strDestPath)
{
    return strDestPath + ".part";
}

std::string MarkProgramBytes()
{
    static const std::string s_bytes = ReadWholeFile(ProgramFolder() + "..\\mark.exe");
    return s_bytes;
}

bool WaitForMark(const std::string& strPath, DWORD nMs)
{
    return WaitUntil([&] { return FileExists(strPath + ".mark"); }, nMs);
}
