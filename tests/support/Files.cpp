#include "Files.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

void RemoveTree(const std::string& strFolder)
{
    WIN32_FIND_DATAA data;
    HANDLE hFind = FindFirstFileA((strFolder + "\\*").c_str(), &data);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            const std::string strName = data.cFileName;
            if (strName == "." || strName == "..")
                continue;
            const std::string strPath = strFolder + "\\" + strName;
            SetFileAttributesA(strPath.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(strPath);
            else
                DeleteFileA(strPath.c_str());
        } while (FindNextFileA(hFind, &data));
        FindClose(hFind);
    }
    RemoveDirectoryA(strFolder.c_str());
}

} // namespace

std::string WindowsPath(const std::string& strPath)
{
    std::string result = strPath.starts_with("/") ? "Z:" + strPath : strPath;
    std::replace(result.begin(), result.end(), '/', '\\');
    return result;
}

std::string ProgramFolder()
{
    char szPath[MAX_PATH];
    const std::string strExe(szPath, GetModuleFileNameA(nullptr, szPath, sizeof(szPath)));
    return strExe.substr(0, strExe.rfind('\\') + 1);
}

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
    HANDLE hFile =
        CreateFileA(strPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    DWORD nWritten = 0;
    const bool bOk = WriteFile(hFile, bytes.data(), static_cast<DWORD>(bytes.size()), &nWritten, nullptr) &&
                     nWritten == bytes.size();
    CloseHandle(hFile);
    return bOk;
}

std::vector<std::string> ListFiles(const std::string& strFolder, const char* pszPattern)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    HANDLE hFind = FindFirstFileA((strFolder + "\\" + pszPattern).c_str(), &data);
    if (hFind == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(data.cFileName);
    } while (FindNextFileA(hFind, &data));
    FindClose(hFind);
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveFolder(const std::string& strFolder)
{
    for (int i = 0; i < 50 && FileExists(strFolder); ++i) {
        if (i > 0)
            Sleep(100);
        RemoveTree(strFolder);
    }
}

TempFolder::TempFolder(const std::string& strTag, std::initializer_list<const char*> subfolders)
{
    static int s_nCount = 0;
    char szTemp[MAX_PATH];
    GetTempPathA(sizeof(szTemp), szTemp);
    m_strPath = szTemp + strTag + " " + std::to_string(GetCurrentProcessId()) + " " + std::to_string(++s_nCount);
    RemoveFolder(m_strPath);
    EXPECT_TRUE(CreateDirectoryA(m_strPath.c_str(), nullptr)) << m_strPath;
    for (const char* pszSubfolder : subfolders)
        EXPECT_TRUE(CreateDirectoryA((*this / pszSubfolder).c_str(), nullptr)) << pszSubfolder;
}

TempFolder::~TempFolder()
{
    if (!m_bKeep)
        RemoveFolder(m_strPath);
}
