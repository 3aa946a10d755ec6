#pragma once
// Files and folders of the tests. Whole files are read and written through
// the platform, so that files other processes hold open for reading or
// deleting can still be read.

#include <initializer_list>
#include <string>
#include <vector>

// A path of the build tree as Windows sees it: under Wine, Linux paths are
// reachable through drive Z:.
std::string WindowsPath(const std::string& strPath);

// The folder of this test program, with a trailing backslash.
std::string ProgramFolder();
bool FileExists(const std::string& strPath);
// The file's bytes; empty when it cannot be opened (*pbExists tells which).
std::string ReadWholeFile(const std::string& strPath, bool* pbExists = nullptr);
bool WriteWholeFile(const std::string& strPath, const std::string& bytes);
// Names (without folder) of the files, not folders, that match the pattern
// in a folder; sorted.
std::vector<std::string> ListFiles(const std::string& strFolder, const char* pszPattern = "*");
// Removes a folder with everything in it, read-only files too. A program
// that has just ended may hold its files a moment longer, so it tries again
// for a few seconds.
void RemoveFolder(const std::string& strFolder);

// A new, empty folder below the temporary folder, with the subfolders given;
// removed with everything in it at the end. Its name has blanks, so that
// paths with spaces are always part of the test.
class TempFolder {
public:
    explicit TempFolder(const std::string& strTag, std::initializer_list<const char*> subfolders = {});
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return m_strPath; }
    std::string operator/(const std::string& strName) const { return m_strPath + "\\" + strName; }
    // Leaves the folder in place, for a failing case to be looked at.
    void Keep() { m_bKeep = true; }

private:
    std::string m_strPath;
    bool m_bKeep = false;
};
