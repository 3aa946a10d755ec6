#include "updater/UpdaterDlg.h"

#include <string>

#include <gtest/gtest.h>

namespace {

const char kSuiteTree[] = "SOFTWARE\\Quillbrook";
const char kBackupTree[] = "SOFTWARE\\QuillbrookSettingsTestBackup";
const char kUpdatesKey[] = "SOFTWARE\\Quillbrook\\QBSUITE\\Updates";
const char kSuiteKey[] = "SOFTWARE\\Quillbrook\\QBSUITE";
const char kChannelKey[] = "SOFTWARE\\Quillbrook\\QBSUITE\\Channels\\Channel8";

bool KeyExists(const char* pszKey)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, pszKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

void DeleteTree(const char* pszKey)
{
    const LONG n = RegDeleteTreeA(HKEY_LOCAL_MACHINE, pszKey);
    ASSERT_TRUE(n == ERROR_SUCCESS || n == ERROR_FILE_NOT_FOUND) << n;
}

void CopyTree(const char* pszFrom, const char* pszTo)
{
    HKEY hFrom = nullptr, hTo = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, pszFrom, 0, KEY_READ, &hFrom), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, pszTo, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hTo,
                  nullptr),
        ERROR_SUCCESS);
    EXPECT_EQ(RegCopyTreeA(hFrom, nullptr, hTo), ERROR_SUCCESS);
    RegCloseKey(hFrom);
    RegCloseKey(hTo);
}

void SetValue(const char* pszKey, const char* pszName, DWORD nType, const std::string& data)
{
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, pszKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey,
                  nullptr),
        ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(hKey, pszName, 0, nType, reinterpret_cast<const BYTE*>(data.data()),
                  static_cast<DWORD>(data.size())),
        ERROR_SUCCESS);
    RegCloseKey(hKey);
}

// A text value stored with its terminating NUL, as installers write it.
void SetText(const char* pszKey, const char* pszName, const std::string& text)
{
    SetValue(pszKey, pszName, REG_SZ, text + '\0');
}

const char kDefaultRoot[] = "C:\\Program Files\\Quillbrook";

// Each test starts with none of the suite's keys present. Whatever the prefix
// held before is kept in a backup tree and put back at the end; a backup left
// by an interrupted run is the original and is not overwritten.
class InstallSettings : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!KeyExists(kBackupTree) && KeyExists(kSuiteTree))
            CopyTree(kSuiteTree, kBackupTree);
    }
    static void TearDownTestSuite()
    {
        DeleteTree(kSuiteTree);
        if (KeyExists(kBackupTree)) {
            CopyTree(kBackupTree, kSuiteTree);
            DeleteTree(kBackupTree);
        }
    }
    void SetUp() override { DeleteTree(kSuiteTree); }
    void TearDown() override { DeleteTree(kSuiteTree); }
};

} // namespace

TEST_F(InstallSettings, NoKeysGiveEmptyUrlsAndDefaultPaths)
{
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Source"), "");
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Description"), "");
    EXPECT_EQ(CUpdaterDlg::GetRootPath(), kDefaultRoot);
    EXPECT_EQ(CUpdaterDlg::GetUpdateProgramPath(), "C:\\Program Files\\Quillbrook\\ContentCache\\Update.exe");
    EXPECT_EQ(CUpdaterDlg::GetDescriptionPagePath(),
        "C:\\Program Files\\Quillbrook\\templates\\upgrade_info.html");
}

TEST_F(InstallSettings, ReadsEachSettingAndJoinsThePaths)
{
    SetText(kUpdatesKey, "Source", "http://updates.example/x/Update.exe");
    SetText(kUpdatesKey, "Description", "http://updates.example/x/");
    SetText(kSuiteKey, "RootPath", "D:\\Apps\\QB");
    // Key names are matched without regard to case: the reader spells this
    // one "Software".
    SetText(kChannelKey, "Cache", "\\pages\\info.html");
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Source"), "http://updates.example/x/Update.exe");
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Description"), "http://updates.example/x/");
    EXPECT_EQ(CUpdaterDlg::GetUpdateProgramPath(), "D:\\Apps\\QB\\ContentCache\\Update.exe");
    EXPECT_EQ(CUpdaterDlg::GetDescriptionPagePath(), "D:\\Apps\\QB\\pages\\info.html");
}

TEST_F(InstallSettings, PartsAreJoinedAsTheyAre)
{
    SetText(kSuiteKey, "RootPath", "");
    EXPECT_EQ(CUpdaterDlg::GetRootPath(), "");
    EXPECT_EQ(CUpdaterDlg::GetUpdateProgramPath(), "\\ContentCache\\Update.exe");
    EXPECT_EQ(CUpdaterDlg::GetDescriptionPagePath(), "\\templates\\upgrade_info.html");

    SetText(kSuiteKey, "RootPath", "D:\\QB\\");
    EXPECT_EQ(CUpdaterDlg::GetUpdateProgramPath(), "D:\\QB\\\\ContentCache\\Update.exe");
    EXPECT_EQ(CUpdaterDlg::GetDescriptionPagePath(), "D:\\QB\\\\templates\\upgrade_info.html");

    SetText(kSuiteKey, "RootPath", "D:\\QB");
    SetText(kChannelKey, "Cache", "info.html");
    EXPECT_EQ(CUpdaterDlg::GetDescriptionPagePath(), "D:\\QBinfo.html");
}

TEST_F(InstallSettings, UpdatesKeyWithoutTheModesValueGivesAnEmptyUrlForThatModeOnly)
{
    SetText(kUpdatesKey, "Source", "http://a/Update.exe");
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Description"), "");
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Source"), "http://a/Update.exe");

    DeleteTree(kUpdatesKey);
    SetText(kUpdatesKey, "Description", "http://a/");
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Source"), "");
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Description"), "http://a/");
}

TEST_F(InstallSettings, TextFillingTheBufferIsReadWholeAndLongerTextGivesTheDefault)
{
    const std::string str1023(1023, 'r');
    SetText(kSuiteKey, "RootPath", str1023);
    EXPECT_EQ(CUpdaterDlg::GetRootPath(), str1023.c_str());

    // The buffer size is set afresh for the second read of the page path.
    const std::string strCache = "\\" + std::string(1022, 'c');
    SetText(kChannelKey, "Cache", strCache);
    EXPECT_EQ(CUpdaterDlg::GetDescriptionPagePath(), (str1023 + strCache).c_str());

    for (size_t nLength : {size_t{1024}, size_t{5000}}) {
        SCOPED_TRACE(nLength);
        SetText(kSuiteKey, "RootPath", std::string(nLength, 'r'));
        SetText(kUpdatesKey, "Source", std::string(nLength, 's'));
        EXPECT_EQ(CUpdaterDlg::GetRootPath(), kDefaultRoot);
        EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Source"), "");
    }
}

TEST_F(InstallSettings, AnyTypeIsReadAsBytesUpToTheFirstNul)
{
    struct {
        DWORD type;
        std::string data;
        const char* text;
    } const cases[] = {
        {REG_BINARY, std::string("ab\0cd", 5), "ab"},
        {REG_DWORD, std::string("ABC\0", 4), "ABC"},
        {REG_DWORD, std::string("\0BCD", 4), ""},
        {REG_MULTI_SZ, std::string("one\0two\0\0", 9), "one"},
        {REG_BINARY, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        SetValue(kSuiteKey, "RootPath", c.type, c.data);
        EXPECT_EQ(CUpdaterDlg::GetRootPath(), c.text);
    }
}

TEST_F(InstallSettings, DataWithoutANulEndsAtTheBytesReturned)
{
    // A longer value read first leaves its bytes in the stack where the next
    // read's buffer lies, so reading past the returned size would show them.
    SetText(kUpdatesKey, "Source", std::string(1000, 'Q'));
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Source").GetLength(), 1000);

    SetValue(kUpdatesKey, "Source", REG_DWORD, "ABCD");
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Source"), "ABCD");
    SetValue(kUpdatesKey, "Source", REG_BINARY, "xyz");
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Source"), "xyz");
    SetValue(kUpdatesKey, "Source", REG_SZ, "uvw");
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Source"), "uvw");

    const std::string str1024(1024, 'b');
    SetValue(kUpdatesKey, "Source", REG_BINARY, str1024);
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Source"), str1024.c_str());
    SetValue(kUpdatesKey, "Source", REG_BINARY, str1024 + 'b');
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Source"), "");
}
