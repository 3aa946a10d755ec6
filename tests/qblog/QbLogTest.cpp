// Drives the built QbLog.dll through its exports, as the program does, and
// reads back the exact bytes it wrote.
#include "QbLog.h"

#include "eventlog/LogLines.h"
#include "framework/Win32.h"
#include "support/Files.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef decltype(&::WriteLog) PFN_WRITELOG;
typedef decltype(&::SetLogLevel) PFN_SETLOGLEVEL;
typedef decltype(&::SetLogFile) PFN_SETLOGFILE;

const QbLogSource kUpdaterDlg = {"Updater.exe", "1.0", "UpdaterDlg", ""};

// The log with the time of each record checked for its form and cut out,
// so that the rest compares exactly.
std::string WithoutTimes(const std::string& log)
{
    static const std::regex time(R"(^\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z",)");
    std::string rest;
    for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = log.substr(at, end + 1 - at);
        std::smatch m;
        rest += std::regex_search(line, m, time) ? line.substr(m.length()) : line;
    }
    return rest;
}

// Each test loads its own copy of the DLL from a fresh folder, so it starts
// from the library's initial settings and its default log is that folder's.
class QbLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string strDll = WindowsPath(QBLOG_DLL_PATH);
        ASSERT_TRUE(CopyFileA(strDll.c_str(), (m_dir + "QbLog.dll").c_str(), TRUE)) << strDll;
        m_hDll = LoadLibraryA((m_dir + "QbLog.dll").c_str());
        ASSERT_NE(m_hDll, nullptr);
        WriteLog = Bind<PFN_WRITELOG>("WriteLog");
        SetLogLevel = Bind<PFN_SETLOGLEVEL>("SetLogLevel");
        SetLogFile = Bind<PFN_SETLOGFILE>("SetLogFile");
        ASSERT_TRUE(WriteLog && SetLogLevel && SetLogFile);
    }

    void TearDown() override
    {
        if (m_hDll)
            FreeLibrary(m_hDll);
    }

    template <typename T>
    T Bind(const char* pszName)
    {
        return reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(m_hDll, pszName)));
    }

    std::string DefaultLog() const { return ReadWholeFile(m_dir + "QbLog.log"); }

    // The record of one call with kUpdaterDlg at line 7, without its time.
    std::string TextRecord(const std::string& jsonText) const
    {
        return R"("level":0,"program":"Updater.exe","version":"1.0","module":"UpdaterDlg","line":7,"text":)" +
               jsonText + "}\n";
    }

    TempFolder m_folder{"qblog test"};
    const std::string m_dir = m_folder.Path() + "\\";
    HMODULE m_hDll = nullptr;
    PFN_WRITELOG WriteLog = nullptr;
    PFN_SETLOGLEVEL SetLogLevel = nullptr;
    PFN_SETLOGFILE SetLogFile = nullptr;
};

// The time of a record as a FILETIME count.
ULONGLONG RecordTime(const std::string& line)
{
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    EXPECT_EQ(sscanf(line.c_str(), "{\"time\":\"%d-%d-%dT%d:%d:%d.%dZ", &y, &mo, &d, &h, &mi, &s, &ms), 7) << line;
    const SYSTEMTIME st = {WORD(y), WORD(mo), 0, WORD(d), WORD(h), WORD(mi), WORD(s), WORD(ms)};
    FILETIME ft = {};
    EXPECT_TRUE(SystemTimeToFileTime(&st, &ft)) << line;
    return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

ULONGLONG Now()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

TEST_F(QbLog, WritesOneJsonLineWithUtcTimeAndKeysInOrder)
{
    const ULONGLONG before = Now() / 10000 * 10000; // the record keeps milliseconds only
    EXPECT_EQ(WriteLog(&kUpdaterDlg, 1, "HTTP error 404 when retrieving /x", LOG_LINE_HTTP_ERROR), 1);
    const ULONGLONG after = Now();

    const std::string log = DefaultLog();
    EXPECT_EQ(WithoutTimes(log), R"("level":1,"program":"Updater.exe","version":"1.0","module":"UpdaterDlg",)"
                                 R"("line":)" + std::to_string(LOG_LINE_HTTP_ERROR) +
                                 R"(,"text":"HTTP error 404 when retrieving /x"})" "\n");
    const ULONGLONG written = RecordTime(log);
    EXPECT_LE(before, written);
    EXPECT_LE(written, after);
}

TEST_F(QbLog, EscapesAndConvertsTextsExactly)
{
    ASSERT_EQ(GetACP(), 1252u) << "the byte table below is code page 1252";
    const struct {
        const char* pszText;
        const char* pszJson;
    } cases[] = {
        {"", R"("")"},
        {"Error writing to C:\\dir\\f.exe: \"Access denied\"",
         R"("Error writing to C:\\dir\\f.exe: \"Access denied\"")"},
        {"Unable to connect on port 80\n", R"("Unable to connect on port 80\n")"},
        {"\r\t\b\f", R"("\r\t\b\f")"},
        {"\x01\x1f", R"("\u0001\u001f")"},
        {"/ ' < > \x7f", "\"/ ' < > \x7f\""}, // nothing JSON allows is escaped
        {"caf\xE9", "\"caf\xC3\xA9\""},
        {"\x80 \xFF", "\"\xE2\x82\xAC \xC3\xBF\""},
    };
    SetLogFile((m_dir + "case.log").c_str());
    for (const auto& c : cases) {
        EXPECT_EQ(WriteLog(&kUpdaterDlg, 0, c.pszText, 7), 1);
        EXPECT_EQ(WithoutTimes(ReadWholeFile(m_dir + "case.log")), TextRecord(c.pszJson)) << c.pszText;
        DeleteFileA((m_dir + "case.log").c_str());
    }

    // The texts of the source go through the same conversion.
    const QbLogSource quoted = {"Up\"dater.exe", "1.0\xE9", "Dlg\\1", ""};
    EXPECT_EQ(WriteLog(&quoted, 0, "x", 1), 1);
    EXPECT_EQ(WithoutTimes(ReadWholeFile(m_dir + "case.log")), R"("level":0,"program":"Up\"dater.exe","version":"1.0)"
                                                               "\xC3\xA9"
                                                               R"(","module":"Dlg\\1","line":1,"text":"x"})"
                                                               "\n");
}

TEST_F(QbLog, NullArgumentsAreWrittenAsNull)
{
    const QbLogSource empty = {nullptr, nullptr, nullptr, nullptr};
    EXPECT_EQ(WriteLog(nullptr, 0, nullptr, 1), 1);
    EXPECT_EQ(WriteLog(&empty, 0, "t", 2), 1);
    EXPECT_EQ(WriteLog(&kUpdaterDlg, 0, nullptr, 7), 1);

    const std::string nulls = R"("level":0,"program":null,"version":null,"module":null,"line":)";
    EXPECT_EQ(WithoutTimes(DefaultLog()),
              nulls + "1,\"text\":null}\n" + nulls + "2,\"text\":\"t\"}\n" + TextRecord("null"));
}

TEST_F(QbLog, DropsRecordsAboveTheLevelLimit)
{
    const struct {
        bool bSetLimit;
        int nLimit;
        int nLevel;
        int nWritten;
    } cases[] = {
        {false, 0, INT_MIN, 1}, {false, 0, INT_MAX, 1},
        {true, 1, 0, 1}, {true, 1, 1, 1}, {true, 1, 2, 0},
        {true, -1, 0, 0}, {true, INT_MAX, INT_MAX, 1},
    };
    std::string expected;
    for (const auto& c : cases) {
        if (c.bSetLimit)
            SetLogLevel(c.nLimit);
        EXPECT_EQ(WriteLog(&kUpdaterDlg, c.nLevel, "x", 7), c.nWritten) << c.nLimit << " " << c.nLevel;
        if (c.nWritten)
            expected += "\"level\":" + std::to_string(c.nLevel) + ",";
    }
    std::string levels;
    const std::string log = DefaultLog();
    for (size_t at = log.find("\"level\""); at != std::string::npos; at = log.find("\"level\"", at + 1))
        levels += log.substr(at, log.find(',', at) + 1 - at);
    EXPECT_EQ(levels, expected);
}

TEST_F(QbLog, SetLogFileRedirectsAndNullOrEmptyRestoresTheDefault)
{
    const std::string other = m_dir + "other.log";
    SetLogFile(other.c_str());
    EXPECT_EQ(WriteLog(&kUpdaterDlg, 0, "1", 7), 1);
    SetLogFile(nullptr);
    EXPECT_EQ(WriteLog(&kUpdaterDlg, 0, "2", 7), 1);
    SetLogFile(other.c_str());
    EXPECT_EQ(WriteLog(&kUpdaterDlg, 0, "3", 7), 1);
    SetLogFile("");
    EXPECT_EQ(WriteLog(&kUpdaterDlg, 0, "4", 7), 1);

    EXPECT_EQ(WithoutTimes(ReadWholeFile(other)), TextRecord(R"("1")") + TextRecord(R"("3")"));
    EXPECT_EQ(WithoutTimes(DefaultLog()), TextRecord(R"("2")") + TextRecord(R"("4")"));
}

TEST_F(QbLog, AppendsToExistingContentAndHoldsNoHandle)
{
    const std::string path = m_dir + "QbLog.log";
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "old\n", 4, &n, nullptr));
    EXPECT_EQ(WriteLog(&kUpdaterDlg, 0, "busy", 7), 0) << "an exclusively held file takes no record";
    CloseHandle(h);

    // A reader that shares the file, as a log viewer does, does not stop records.
    h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WriteLog(&kUpdaterDlg, 0, "a", 7), 1);
    CloseHandle(h);
    EXPECT_EQ(WriteLog(&kUpdaterDlg, 0, "b", 7), 1);

    h = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "the library still holds the file open";
    CloseHandle(h);
    EXPECT_EQ(WithoutTimes(DefaultLog()), "old\n" + TextRecord(R"("a")") + TextRecord(R"("b")"));

    SetLogFile((m_dir + "no-such-folder\\x.log").c_str());
    EXPECT_EQ(WriteLog(&kUpdaterDlg, 0, "lost", 7), 0);
}

TEST_F(QbLog, RecordsOfConcurrentWritersStayWhole)
{
    const int kThreads = 4, kRecords = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([this, t] {
            const std::string text = std::string(300, static_cast<char>('a' + t));
            for (int i = 0; i < kRecords; ++i)
                WriteLog(&kUpdaterDlg, 0, text.c_str(), 7);
        });
    for (std::thread& thread : threads)
        thread.join();

    const std::string log = WithoutTimes(DefaultLog());
    int counts[kThreads] = {};
    for (size_t at = 0, end; (end = log.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = log.substr(at, end + 1 - at);
        const size_t text = line.find("\"text\":\"") + 8;
        ASSERT_LT(text, line.size()) << line;
        const int t = line[text] - 'a';
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        ASSERT_EQ(line, TextRecord('"' + std::string(300, line[text]) + '"'));
        ++counts[t];
    }
    for (int count : counts)
        EXPECT_EQ(count, kRecords);
}

} // namespace
