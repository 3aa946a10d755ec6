#include "Files.h"

#include <windows.h>

bool FileExists(const std::string& strPath)
{
    return GetFileAttributesA(strPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadWholeFile(const std::string& strPath, bool* pbExists)
{
    std::string bytes;
    HANDLE hFile = CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (pbExists)
        *pbExists = hFile != INVALID_HANDLE_VALUE;
    if (hFile == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[65536];
    DWORD nRead = 0;
    while (ReadFile(hFile, buffer, sizeof(buffer), &nRead, nullptr) && nRead > 0)
        bytes.append(buffer, nRead);
    CloseHandle(hFile);
    return bytes;
}

bool WriteWholeFile(const std::string& strPath, const std::string& bytes)
{
    HANDLE hFile = CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    DWORD nWritten = 0;
    const bool bOk = WriteFile(hFile, bytes.data(), static_cast<DWORD>(bytes.size()), &nWritten, nullptr) &&
                     nWritten == bytes.size();
    CloseHandle(hFile);
    return bOk;
}
