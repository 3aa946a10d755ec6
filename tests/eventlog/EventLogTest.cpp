#include "eventlog/EventLog.h"
#include "eventlog/LogLines.h"

#include <gtest/gtest.h>

#include <string>

#include "framework/WinApp.h"
#include "support/BoxWatcher.h"
#include "support/Files.h"

namespace {

CWinApp g_app("EventLogTest");

// Puts a library under the name the binding looks for, beside the test
// program, for the length of one test.
class PlacedLibrary {
public:
    explicit PlacedLibrary(const char* pszBuiltName) : m_strTarget(ProgramFolder() + "QbLog.dll")
    {
        if (pszBuiltName)
            EXPECT_TRUE(CopyFileA((ProgramFolder() + pszBuiltName).c_str(), m_strTarget.c_str(), FALSE));
        else
            DeleteFileA(m_strTarget.c_str());
    }
    ~PlacedLibrary()
    {
        UnloadLogLibrary();
        DeleteFileA(m_strTarget.c_str());
    }

private:
    std::string m_strTarget;
};

const LogSource kSource = {"Updater.exe", "1.0", "UpdaterDlg", ""};

} // namespace

TEST(EventLogBinding, AbsentLibraryShowsOneBoxAndLoggingIsOff)
{
    PlacedLibrary none(nullptr);
    BoxWatcher watcher;
    EXPECT_FALSE(LoadLogLibrary());
    ASSERT_TRUE(BoxCountIs(watcher.Boxes(), 1));
    const ObservedBox& box = watcher.Boxes()[0];
    EXPECT_EQ(box.text, "Error loading logging library: QbLog.dll");
    EXPECT_EQ(box.caption, "Quillbrook Updater");
    EXPECT_TRUE(box.iconHand);
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(box.buttons, std::vector<int>{IDOK});
    EXPECT_EQ(LogEvent(&kSource, 0, "text", 1), 0);
    EXPECT_FALSE(UnloadLogLibrary());
}

TEST(EventLogBinding, EachMissingExportHasItsBoxInOrderAndTheLibraryIsReleased)
{
    struct Case {
        const char* pszLibrary;
        std::vector<std::string> expected;
    } cases[] = {
        {"fakelog_write_only.dll",
         {"Unable to retrieve function SetLogFile from QbLog.dll",
          "Unable to retrieve function SetLogLevel from QbLog.dll"}},
        {"fakelog_no_write.dll", {"Unable to retrieve function WriteLog from QbLog.dll"}},
        {"fakelog_empty.dll",
         {"Unable to retrieve function SetLogFile from QbLog.dll",
          "Unable to retrieve function SetLogLevel from QbLog.dll",
          "Unable to retrieve function WriteLog from QbLog.dll"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszLibrary);
        PlacedLibrary placed(c.pszLibrary);
        BoxWatcher watcher;
        EXPECT_FALSE(LoadLogLibrary());
        std::vector<std::string> texts;
        for (const ObservedBox& box : watcher.Boxes()) {
            texts.push_back(box.text);
            EXPECT_EQ(box.caption, "Quillbrook Suite");
            EXPECT_TRUE(box.iconHand);
        }
        EXPECT_EQ(texts, c.expected);
        EXPECT_EQ(GetModuleHandleA("QbLog.dll"), nullptr) << "library still loaded";
        EXPECT_EQ(LogEvent(&kSource, 0, "text", 1), 0);
        EXPECT_FALSE(UnloadLogLibrary());
    }
}

TEST(EventLogBinding, RecordsReachTheLibraryUnchanged)
{
    PlacedLibrary placed("fakelog_recording.dll");
    BoxWatcher watcher;
    ASSERT_TRUE(LoadLogLibrary());
    EXPECT_TRUE(BoxCountIs(watcher.Boxes(), 0));

    EXPECT_EQ(LogEvent(&kSource, 1, "HTTP error 404 when retrieving C:\\x", LOG_LINE_HTTP_ERROR), 42);

    typedef void (*PFN_LASTRECORD)(const LogSource**, int*, const char**, int*);
    auto pfnLastRecord = reinterpret_cast<PFN_LASTRECORD>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("QbLog.dll"), "LastRecord")));
    ASSERT_NE(pfnLastRecord, nullptr);
    const LogSource* pSource = nullptr;
    int nLevel = -1;
    const char* pszText = nullptr;
    int nLine = -1;
    pfnLastRecord(&pSource, &nLevel, &pszText, &nLine);
    EXPECT_EQ(pSource, &kSource);
    EXPECT_EQ(nLevel, 1);
    EXPECT_STREQ(pszText, "HTTP error 404 when retrieving C:\\x");
    EXPECT_EQ(nLine, LOG_LINE_HTTP_ERROR);

    EXPECT_TRUE(UnloadLogLibrary());
    EXPECT_EQ(LogEvent(&kSource, 0, "after unload", 1), 0);
}

TEST(EventLogBinding, LibraryInTheCurrentDirectoryIsNotLoaded)
{
    PlacedLibrary none(nullptr);
    const TempFolder planted("planted qblog");
    ASSERT_TRUE(CopyFileA((ProgramFolder() + "fakelog_recording.dll").c_str(), (planted / "QbLog.dll").c_str(), FALSE));
    char szOldDir[MAX_PATH];
    GetCurrentDirectoryA(sizeof(szOldDir), szOldDir);
    SetCurrentDirectoryA(planted.Path().c_str());

    BoxWatcher watcher;
    EXPECT_FALSE(LoadLogLibrary());
    EXPECT_TRUE(BoxCountIs(watcher.Boxes(), 1));

    SetCurrentDirectoryA(szOldDir);
}
