#pragma once
// Shared pieces of the reception and transfer tests: a fresh installation
// folder, the suite's registry settings of the test prefix, files read and
// written whole, and the event-log records of a test.

#include <windows.h>

#include <string>
#include <vector>

// A new, empty folder under the temporary folder, with the installation's
// ContentCache and templates subfolders; removed with everything in it.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& Path() const { return m_strPath; }
    std::string operator/(const std::string& strName) const { return m_strPath + "\\" + strName; }

private:
    std::string m_strPath;
};

#include "support/Files.h"
#include "support/SuiteSettings.h"

std::string ReadBytes(const std::string& strPath);
void WriteBytes(const std::string& strPath, const std::string& bytes);

// Where the body of a 200 response waits for its completion.
std::string TempPathOf(const std::string& strDestPath);

// The stand-in update program (it writes "<its path>.mark" when started).
std::string MarkProgramBytes();
// Whether the program stored at strPath was started within nMs.
bool WaitForMark(const std::string& strPath, DWORD nMs);

// One event-log record, as the log library writes it.
struct Record {
    int level = -1;
    std::string module;
    int line = -1;
    std::string text;
};
std::vector<Record> ParseRecords(const std::vector<std::string>& lines);
std::vector<int> LinesOf(const std::vector<Record>& records);
