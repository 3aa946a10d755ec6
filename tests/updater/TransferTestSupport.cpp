#include "TransferTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "framework/WinApp.h"

// The dialog loads its icon through the application object.
CWinApp g_app("TransferTest");

namespace {

std::string ExeFolder()
{
    char szPath[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, szPath, sizeof(szPath));
    std::string strPath(szPath, n);
    return strPath.substr(0, strPath.rfind('\\'));
}

// The unescaped JSON string that starts at the quote at nPos.
std::string JsonStringAt(const std::string& line, size_t nPos)
{
    std::string text;
    for (size_t i = nPos + 1; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] != '\\' || i + 1 == line.size()) {
            text += line[i];
            continue;
        }
        switch (line[++i]) {
        case 'n': text += '\n'; break;
        case 'r': text += '\r'; break;
        case 't': text += '\t'; break;
        case 'u': text += static_cast<char>(std::stoi(line.substr(i + 1, 4), nullptr, 16)); i += 4; break;
        default: text += line[i]; break;
        }
    }
    return text;
}

int NumberAfter(const std::string& line, const std::string& key)
{
    const size_t nPos = line.find(key);
    return nPos == std::string::npos ? -1 : atoi(line.c_str() + nPos + key.size());
}

std::string StringAfter(const std::string& line, const std::string& key)
{
    const size_t nPos = line.find(key);
    return nPos == std::string::npos ? std::string() : JsonStringAt(line, nPos + key.size());
}

} // namespace

ScratchFolder::ScratchFolder()
{
    static int s_nCount = 0;
    char szTemp[MAX_PATH];
    GetTempPathA(sizeof(szTemp), szTemp);
    m_strPath = std::string(szTemp) + "xfer" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++s_nCount);
    std::error_code error;
    std::filesystem::remove_all(m_strPath, error);
    EXPECT_TRUE(CreateDirectoryA(m_strPath.c_str(), nullptr)) << m_strPath;
    EXPECT_TRUE(CreateDirectoryA((*this / "ContentCache").c_str(), nullptr));
    EXPECT_TRUE(CreateDirectoryA((*this / "templates").c_str(), nullptr));
}

ScratchFolder::~ScratchFolder()
{
    // A program started from the folder may still be ending.
    std::error_code error;
    for (int i = 0; i < 50 && std::filesystem::exists(m_strPath, error); ++i) {
        std::filesystem::remove_all(m_strPath, error);
        if (error)
            Sleep(100);
    }
}

std::string ReadBytes(const std::string& strPath)
{
    std::ifstream file(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& strPath, const std::string& bytes)
{
    std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << strPath;
}

std::string TempPathOf(const std::string& strDestPath)
{
    return strDestPath + "." + std::to_string(GetCurrentProcessId()) + ".part";
}

std::string MarkProgramBytes()
{
    static const std::string s_bytes = ReadBytes(ExeFolder() + "\\..\\mark.exe");
    return s_bytes;
}

bool WaitForMark(const std::string& strPath, DWORD nMs)
{
    const std::string strMark = strPath + ".mark";
    const DWORD nStart = GetTickCount();
    while (!FileExists(strMark)) {
        if (GetTickCount() - nStart > nMs)
            return false;
        Sleep(50);
    }
    return true;
}

std::vector<Record> ParseRecords(const std::vector<std::string>& lines)
{
    std::vector<Record> records;
    for (const std::string& line : lines) {
        Record record;
        record.level = NumberAfter(line, "\"level\":");
        record.module = StringAfter(line, "\"module\":");
        record.line = NumberAfter(line, "\"line\":");
        record.text = StringAfter(line, "\"text\":");
        records.push_back(record);
    }
    return records;
}

std::vector<int> LinesOf(const std::vector<Record>& records)
{
    std::vector<int> lines;
    for (const Record& record : records)
        lines.push_back(record.line);
    return lines;
}
