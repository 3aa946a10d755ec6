#include "updater/UpdaterDlg.h"

#include <string>

#include <gtest/gtest.h>

#include "support/SuiteSettings.h"

namespace {

using namespace SuiteSettings;

const char kDefaultRoot[] = "C:\\Program Files\\Quillbrook";

// Each test starts with none of the suite's keys present. Whatever the prefix
// held before is kept in a backup tree and put back at the end; a backup left
// by an interrupted run is the original and is not overwritten.
class InstallSettings : public testing::Test {
protected:
    static void SetUpTestSuite() { Backup(); }
    static void TearDownTestSuite() { Restore(); }
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
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
    Set(kUpdatesKey, "Source", "http://updates.example/x/Update.exe");
    Set(kUpdatesKey, "Description", "http://updates.example/x/");
    Set(kSuiteKey, "RootPath", "D:\\Apps\\QB");
    // Key names are matched without regard to case: the reader spells this
    // one "Software".
    Set(kChannelKey, "Cache", "\\pages\\info.html");
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Source"), "http://updates.example/x/Update.exe");
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Description"), "http://updates.example/x/");
    EXPECT_EQ(CUpdaterDlg::GetUpdateProgramPath(), "D:\\Apps\\QB\\ContentCache\\Update.exe");
    EXPECT_EQ(CUpdaterDlg::GetDescriptionPagePath(), "D:\\Apps\\QB\\pages\\info.html");
}

TEST_F(InstallSettings, PartsAreJoinedAsTheyAre)
{
    Set(kSuiteKey, "RootPath", "");
    EXPECT_EQ(CUpdaterDlg::GetRootPath(), "");
    EXPECT_EQ(CUpdaterDlg::GetUpdateProgramPath(), "\\ContentCache\\Update.exe");
    EXPECT_EQ(CUpdaterDlg::GetDescriptionPagePath(), "\\templates\\upgrade_info.html");

    Set(kSuiteKey, "RootPath", "D:\\QB\\");
    EXPECT_EQ(CUpdaterDlg::GetUpdateProgramPath(), "D:\\QB\\\\ContentCache\\Update.exe");
    EXPECT_EQ(CUpdaterDlg::GetDescriptionPagePath(), "D:\\QB\\\\templates\\upgrade_info.html");

    Set(kSuiteKey, "RootPath", "D:\\QB");
    Set(kChannelKey, "Cache", "info.html");
    EXPECT_EQ(CUpdaterDlg::GetDescriptionPagePath(), "D:\\QBinfo.html");
}

TEST_F(InstallSettings, UpdatesKeyWithoutTheModesValueGivesAnEmptyUrlForThatModeOnly)
{
    Set(kUpdatesKey, "Source", "http://a/Update.exe");
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Description"), "");
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Source"), "http://a/Update.exe");

    Delete(kUpdatesKey);
    Set(kUpdatesKey, "Description", "http://a/");
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Source"), "");
    EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Description"), "http://a/");
}

TEST_F(InstallSettings, TextFillingTheBufferIsReadWholeAndLongerTextGivesTheDefault)
{
    const std::string str1023(1023, 'r');
    Set(kSuiteKey, "RootPath", str1023);
    EXPECT_EQ(CUpdaterDlg::GetRootPath(), str1023.c_str());

    // The buffer size is set afresh for the second read of the page path.
    const std::string strCache = "\\" + std::string(1022, 'c');
    Set(kChannelKey, "Cache", strCache);
    EXPECT_EQ(CUpdaterDlg::GetDescriptionPagePath(), (str1023 + strCache).c_str());

    for (size_t nLength : {size_t{1024}, size_t{5000}}) {
        SCOPED_TRACE(nLength);
        Set(kSuiteKey, "RootPath", std::string(nLength, 'r'));
        Set(kUpdatesKey, "Source", std::string(nLength, 's'));
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
    Set(kUpdatesKey, "Source", std::string(1000, 'Q'));
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

TEST_F(InstallSettings, EachMachineKeyIsReadFromThe32BitViewFirst)
{
    enum Keys { kNone, kEmptyKeys, kValues };
    struct Row {
        const char* pszName;
        Keys keys32;
        Keys keysNative;
        const char* pszSource;
        const char* pszPage;
    };
    const Row rows[] = {
        {"only the 32-bit view", kValues, kNone, "http://32/", "D:\\32\\32.html"},
        {"only the native view", kNone, kValues, "http://64/", "D:\\64\\64.html"},
        {"both: the 32-bit view wins", kValues, kValues, "http://32/", "D:\\32\\32.html"},
        // The native view is read only when the key itself is missing.
        {"32-bit keys without values", kEmptyKeys, kValues, "",
         "C:\\Program Files\\Quillbrook\\templates\\upgrade_info.html"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        Clear();
        const auto write = [](Keys keys, const char* pszUpdates, const char* pszSuite, const char* pszChannel,
                              const char* pszBits) {
            if (keys == kNone)
                return;
            for (const char* pszKey : {pszUpdates, pszSuite, pszChannel})
                SetValue(pszKey, "Other", REG_SZ, std::string("x", 2));
            if (keys == kEmptyKeys)
                return;
            Set(pszUpdates, "Source", std::string("http://") + pszBits + "/");
            Set(pszSuite, "RootPath", std::string("D:\\") + pszBits);
            Set(pszChannel, "Cache", std::string("\\") + pszBits + ".html");
        };
        write(row.keys32, kUpdatesKey32, kSuiteKey32, kChannelKey32, "32");
        write(row.keysNative, kUpdatesKey, kSuiteKey, kChannelKey, "64");
        EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Source"), row.pszSource);
        EXPECT_EQ(CUpdaterDlg::GetDescriptionPagePath(), row.pszPage);
    }
}

// The administrator's policy key, in the native view, ahead of the
// installer's; a policy value of another type is as if absent.
TEST_F(InstallSettings, PolicyValuesWinOverTheInstallersOfTheirOwnType)
{
    const auto dword = [](DWORD n) { return std::string(reinterpret_cast<const char*>(&n), sizeof(n)); };
    struct Row {
        const char* pszName;
        DWORD nPolicyType; // REG_NONE: no policy value
        std::string policy;
        const char* pszSource;  // what ReadUpdateSetting("Source") gives
    };
    const Row rows[] = {
        {"policy text", REG_SZ, std::string("http://policy/Update.exe", 25), "http://policy/Update.exe"},
        {"policy expandable text", REG_EXPAND_SZ, std::string("http://policy/x", 16), "http://policy/x"},
        {"no policy value", REG_NONE, "", "http://installer/Update.exe"},
        {"policy of another type", REG_DWORD, dword(1), "http://installer/Update.exe"},
        {"empty policy text", REG_SZ, std::string("", 1), ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        Clear();
        Set(kUpdatesKey32, "Source", "http://installer/Update.exe");
        SetValue(kPolicyKey, "Other", REG_SZ, std::string("x", 2));
        if (row.nPolicyType != REG_NONE)
            SetValue(kPolicyKey, "Source", row.nPolicyType, row.policy);
        EXPECT_EQ(CUpdaterDlg::ReadUpdateSetting("Source"), row.pszSource);
    }

    Clear();
    SetValue(kUpdatesKey, "RequireSignature", REG_DWORD, dword(0));
    SetValue(kPolicyKey, "RequireSignature", REG_DWORD, dword(1));
    EXPECT_EQ(CUpdaterDlg::ReadUpdatePolicy("RequireSignature"), 1u);
    SetValue(kPolicyKey, "RequireSignature", REG_SZ, std::string("1", 2));
    EXPECT_EQ(CUpdaterDlg::ReadUpdatePolicy("RequireSignature"), 0u);

    // Updates are turned off by the policy alone, by any value but 0.
    Clear();
    EXPECT_FALSE(CUpdaterDlg::AreUpdatesTurnedOff());
    SetValue(kUpdatesKey, "UpdatesDisabled", REG_DWORD, dword(1));
    EXPECT_FALSE(CUpdaterDlg::AreUpdatesTurnedOff());
    SetValue(kPolicyKey, "UpdatesDisabled", REG_DWORD, dword(0));
    EXPECT_FALSE(CUpdaterDlg::AreUpdatesTurnedOff());
    SetValue(kPolicyKey, "UpdatesDisabled", REG_DWORD, dword(7));
    EXPECT_TRUE(CUpdaterDlg::AreUpdatesTurnedOff());
    SetValue(kPolicyKey, "UpdatesDisabled", REG_SZ, std::string("1", 2));
    EXPECT_FALSE(CUpdaterDlg::AreUpdatesTurnedOff());
}
