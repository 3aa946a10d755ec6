// Injected faults around the built Updater.exe: a destination it cannot
// write, a disk that fills, an event log that fails, a proxy that refuses
// or errs, a host that does not resolve, two updaters at once. Each run ends
// with the program's own reports, and nothing already there is lost.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "Harness.h"
#include "eventlog/LogLines.h"
#include "support/LogRecords.h"
#include "support/ScriptedServer.h"

namespace {

std::vector<ServerStep> Serving(const std::string& body)
{
    return Answering(OkResponse(body));
}

std::string Url(int nPort)
{
    return "http://127.0.0.1:" + std::to_string(nPort) + "/updates/Update.exe";
}

const std::string& MarkProgram()
{
    static const std::string mark = ReadWholeFile(ThePrograms().strMark);
    return mark;
}

int CountBoxes(const RunResult& result, bool (*pfnIs)(const std::string&))
{
    int n = 0;
    for (const SeenBox& box : result.boxes)
        n += pfnIs(box.text) ? 1 : 0;
    return n;
}

// A folder that the fixture script prepared, as Wine shows it; empty when
// the script could not make it (its marker file is missing).
std::string FixtureFolder(const char* pszName, const char* pszMarker)
{
    const char* pszBase = std::getenv("FAULT_FIXTURE_DIR");
    if (!pszBase || !*pszBase)
        return std::string();
    const std::string strFolder = WindowsPath(std::string(pszBase) + "/" + pszName);
    return FileExists(strFolder + "\\" + pszMarker) ? strFolder : std::string();
}

bool HasLogRecord(const Install& install, int nLine)
{
    return std::ranges::count(LinesOf(ReadLogRecords(install.Log())), nLine) > 0;
}

// No temporary file, nor anything else but the destination and the mark
// of a launch, stays in the destination's folder.
void ExpectNoLeftovers(const Install& install, bool bRunMode)
{
    for (const std::string& strName : ListFiles(install.DestFolder(bRunMode)))
        EXPECT_TRUE(strName == "Update.exe" || strName == "upgrade_info.html" || strName == "Update.exe.mark")
            << "left behind: " << strName;
}

class Fault : public ::testing::Test {
protected:
    static void SetUpTestSuite() { SuiteSettings::Backup(); }
    static void TearDownTestSuite() { SuiteSettings::Restore(); }
    void SetUp() override { ASSERT_FALSE(MarkProgram().empty()) << ThePrograms().strMark; }
    void TearDown() override { SuiteSettings::Clear(); }

    // strRoot: the suite's root when not the installation's own.
    RunResult Run(const Install& install, const std::string& strUrl, bool bRunMode, const std::string& strRoot = {})
    {
        SetUpdateSettings(strUrl, strUrl, strRoot.empty() ? install.Root() : strRoot);
        RunOptions options;
        options.bRunMode = bRunMode;
        return RunUpdater(install, options);
    }

    ProxySettings m_noProxy{0, ""};
};

TEST_F(Fault, MissingDestinationFolderIsAStoreFailureAndNothingIsStarted)
{
    for (bool bRunMode : {true, false}) {
        SCOPED_TRACE(bRunMode ? "run mode" : "description mode");
        Install install("missing-folder");
        RemoveFolder(install.DestFolder(bRunMode));
        ScriptedServer server(Serving(MarkProgram()));
        const RunResult result = Run(install, Url(server.Port()), bRunMode);
        ASSERT_TRUE(result.bEnded);
        EXPECT_EQ(result.nExitCode, static_cast<DWORD>(kStoreFailed));
        EXPECT_TRUE(HasLogRecord(install, LOG_LINE_WRITE_ERROR));
        EXPECT_FALSE(FileExists(install.DestFolder(bRunMode)));
        // Run mode tells the user that the program could not be started;
        // a page that could not be stored is in the event log only.
        EXPECT_EQ(CountBoxes(result, IsLaunchFailedBox), bRunMode ? 1 : 0) << DescribeBoxes(result.boxes);
        EXPECT_TRUE(BoxCountIs(result.boxes, bRunMode ? 1 : 0));
    }
}

// Root, which the tests run as, is not bound by the read-only attribute
// under Wine: there the fixture's unchangeable files stand in for it.
TEST_F(Fault, ReadOnlyDestinationKeepsItsBytes)
{
    for (bool bRunMode : {true, false}) {
        SCOPED_TRACE(bRunMode ? "run mode" : "description mode");
        Install install("read-only");
        std::string strRoot = install.Root();
        std::string strDest = install.Dest(bRunMode);
        ASSERT_TRUE(WriteWholeFile(strDest, "previous version"));
        SetFileAttributesA(strDest.c_str(), FILE_ATTRIBUTE_READONLY);
        HANDLE hProbe = CreateFileA(strDest.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (hProbe != INVALID_HANDLE_VALUE) {
            CloseHandle(hProbe);
            strRoot = FixtureFolder("readonly", "immutable");
            if (strRoot.empty())
                GTEST_SKIP() << "the read-only attribute binds nobody here, and there is no unchangeable file";
            strDest = strRoot + (bRunMode ? "\\ContentCache\\Update.exe" : "\\templates\\upgrade_info.html");
        }
        ScriptedServer server(Serving(MarkProgram()));
        const RunResult result = Run(install, Url(server.Port()), bRunMode, strRoot);
        ASSERT_TRUE(result.bEnded);
        EXPECT_EQ(result.nExitCode, static_cast<DWORD>(kStoreFailed));
        EXPECT_TRUE(ReadWholeFile(strDest) == "previous version");
        EXPECT_TRUE(HasLogRecord(install, LOG_LINE_WRITE_ERROR));
        EXPECT_EQ(CountBoxes(result, IsLaunchFailedBox), bRunMode ? 1 : 0) << DescribeBoxes(result.boxes);
        EXPECT_FALSE(FileExists(strDest + ".mark"));
        const std::string strFolder = strDest.substr(0, strDest.rfind('\\'));
        for (const std::string& strName : ListFiles(strFolder))
            EXPECT_TRUE(strName == "Update.exe" || strName == "upgrade_info.html") << "left behind: " << strName;
    }
}

TEST_F(Fault, DestinationHeldOpenByAnotherProgramIsNotReplacedUnderIt)
{
    Install install("held-open");
    const std::string strDest = install.Dest(true);
    ASSERT_TRUE(WriteWholeFile(strDest, "previous version"));
    // This test's process holds the file, without sharing, for the whole run.
    HANDLE hHeld = CreateFileA(strDest.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hHeld, INVALID_HANDLE_VALUE);
    ScriptedServer server(Serving(MarkProgram()));
    const RunResult result = Run(install, Url(server.Port()), true);
    CloseHandle(hHeld);
    ASSERT_TRUE(result.bEnded);
    EXPECT_EQ(result.nExitCode, static_cast<DWORD>(kStoreFailed));
    EXPECT_TRUE(ReadWholeFile(strDest) == "previous version");
    EXPECT_TRUE(HasLogRecord(install, LOG_LINE_WRITE_ERROR));
    EXPECT_EQ(CountBoxes(result, IsLaunchFailedBox), 1) << DescribeBoxes(result.boxes);
    ExpectNoLeftovers(install, true);
    Sleep(1000);
    EXPECT_FALSE(FileExists(strDest + ".mark"));
}

// The fixture mounts a small file system; a body larger than it cannot be
// written there.
TEST_F(Fault, FullDiskKeepsThePreviousDestination)
{
    const std::string strRoot = FixtureFolder("full", "mounted");
    if (strRoot.empty())
        GTEST_SKIP() << "no small file system was mounted";
    RemoveFolder(strRoot + "\\ContentCache");
    ASSERT_TRUE(CreateDirectoryA((strRoot + "\\ContentCache").c_str(), nullptr));
    const std::string strDest = strRoot + "\\ContentCache\\Update.exe";
    ASSERT_TRUE(WriteWholeFile(strDest, "previous version"));

    Install install("full-disk");
    ScriptedServer server(Serving(MarkProgram() + std::string(512 * 1024, 'x')));
    const RunResult result = Run(install, Url(server.Port()), true, strRoot);
    ASSERT_TRUE(result.bEnded);
    EXPECT_EQ(result.nExitCode, static_cast<DWORD>(kStoreFailed));
    EXPECT_TRUE(ReadWholeFile(strDest) == "previous version");
    EXPECT_TRUE(HasLogRecord(install, LOG_LINE_WRITE_ERROR));
    EXPECT_EQ(CountBoxes(result, IsLaunchFailedBox), 1) << DescribeBoxes(result.boxes);
    EXPECT_EQ(ListFiles(strRoot + "\\ContentCache"), std::vector<std::string>{"Update.exe"});
    RemoveFolder(strRoot + "\\ContentCache");
}

// The library is there and bound, but every record fails (its log file is
// a folder): the run goes on and reports as usual.
TEST_F(Fault, FailingEventLogChangesNoOutcome)
{
    struct Row {
        const char* pszName;
        std::vector<ServerStep> script;
        UpdaterExit outcome;
        bool (*pfnBox)(const std::string&);
    };
    const std::string body = "<html>new page</html>";
    const Row rows[] = {
        {"stored", Serving(body), kCompleted, nullptr},
        {"HTTP error", {ServerStep::ReadRequest(), ServerStep::Send("HTTP/1.0 404 Not Found\r\n\r\n"),
                        ServerStep::Close()}, kHttpError, IsNoUpdatesBox},
        {"closed without answer", {ServerStep::ReadRequest(), ServerStep::Close()}, kConnectionFailed,
         IsLostConnectionBox},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        Install install("failing-log");
        ASSERT_TRUE(CreateDirectoryA(install.Log().c_str(), nullptr));
        const std::string strDest = install.Dest(false);
        ASSERT_TRUE(WriteWholeFile(strDest, "previous page"));
        ScriptedServer server(row.script);
        const RunResult result = Run(install, Url(server.Port()), false);
        ASSERT_TRUE(result.bEnded);
        EXPECT_EQ(result.nExitCode, static_cast<DWORD>(row.outcome));
        EXPECT_EQ(ReadWholeFile(strDest), row.outcome == kCompleted ? body : "previous page");
        if (row.pfnBox) {
            EXPECT_EQ(CountBoxes(result, row.pfnBox), 1) << DescribeBoxes(result.boxes);
        } else {
            EXPECT_TRUE(BoxCountIs(result.boxes, 0));
        }
        ExpectNoLeftovers(install, false);
    }
}

// Unreachable servers: the lost-connection box, then the start's own.
TEST_F(Fault, UnreachableServerOrProxyEndsWithBothConnectionBoxes)
{
    const int nClosedPort = RefusingPort();
    struct Row {
        const char* pszName;
        std::string strUrl;
        DWORD nProxyEnable;
        std::string strProxy;
    };
    const Row rows[] = {
        {"refusing proxy", "http://update.example/updates/Update.exe", 1,
         "http=127.0.0.1:" + std::to_string(nClosedPort)},
        {"unresolvable host", "http://no-such-host.invalid/updates/Update.exe", 0, ""},
        {"refusing server", Url(nClosedPort), 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        ProxySettings proxy(row.nProxyEnable, row.strProxy);
        Install install("unreachable");
        const std::string strDest = install.Dest(true);
        ASSERT_TRUE(WriteWholeFile(strDest, MarkProgram()));
        const RunResult result = Run(install, row.strUrl, true);
        ASSERT_TRUE(result.bEnded);
        EXPECT_EQ(result.nExitCode, static_cast<DWORD>(kConnectionFailed));
        ASSERT_TRUE(BoxCountIs(result.boxes, 2));
        EXPECT_TRUE(IsLostConnectionBox(result.boxes[0].text)) << result.boxes[0].text;
        EXPECT_TRUE(IsUnableToConnectBox(result.boxes[1].text)) << result.boxes[1].text;
        EXPECT_TRUE(ReadWholeFile(strDest) == MarkProgram());
        EXPECT_TRUE(HasLogRecord(install, LOG_LINE_CONNECT_ERROR));
        EXPECT_TRUE(HasLogRecord(install, LOG_LINE_CONNECTION_LOST));
        EXPECT_TRUE(HasLogRecord(install, LOG_LINE_UNABLE_TO_CONNECT));
        Sleep(500);
        EXPECT_FALSE(FileExists(strDest + ".mark"));
    }
}

TEST_F(Fault, ProxyErrorStatusIsAnHttpErrorAndNothingIsStarted)
{
    ScriptedServer proxyServer({ServerStep::ReadRequest(),
                                ServerStep::Send("HTTP/1.0 502 Bad Gateway\r\nContent-Length: 11\r\n\r\nBad gateway"),
                                ServerStep::Close()});
    ProxySettings proxy(1, "127.0.0.1:" + std::to_string(proxyServer.Port()));
    Install install("proxy-error");
    const std::string strDest = install.Dest(true);
    ASSERT_TRUE(WriteWholeFile(strDest, "previous version"));
    const RunResult result = Run(install, "http://update.example:8080/updates/Update.exe", true);
    ASSERT_TRUE(result.bEnded);
    EXPECT_EQ(proxyServer.Request().rfind("GET http://update.example:8080/updates/Update.exe HTTP/1.0\r\n", 0), 0u)
        << proxyServer.Request();
    EXPECT_EQ(result.nExitCode, static_cast<DWORD>(kHttpError));
    EXPECT_EQ(CountBoxes(result, IsNoUpdatesBox), 1) << DescribeBoxes(result.boxes);
    EXPECT_TRUE(BoxCountIs(result.boxes, 1));
    EXPECT_TRUE(ReadWholeFile(strDest) == "previous version");
    EXPECT_TRUE(HasLogRecord(install, LOG_LINE_HTTP_ERROR));
    ExpectNoLeftovers(install, true);
}

// Serves every connection on its own thread, so that two updaters receive
// at the same time: connection i gets bodies[i % 2], in slices.
class ConcurrentServer {
public:
    explicit ConcurrentServer(std::vector<std::string> bodies) : m_bodies(std::move(bodies))
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        m_hListen = BindLoopback(m_nPort);
        listen(m_hListen, 8);
        m_accepter = std::thread([this] { Accept(); });
    }
    ~ConcurrentServer()
    {
        m_bStop = true;
        m_accepter.join();
        for (std::thread& t : m_workers)
            t.join();
        closesocket(m_hListen);
        WSACleanup();
    }
    int Port() const { return m_nPort; }
    int Connections() const { return m_nConnections; }

private:
    void Accept()
    {
        while (!m_bStop) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(m_hListen, &set);
            timeval timeout = {0, 50000};
            if (select(0, &set, nullptr, nullptr, &timeout) != 1)
                continue;
            const SOCKET hConnection = accept(m_hListen, nullptr, nullptr);
            if (hConnection == INVALID_SOCKET)
                continue;
            const std::string response = OkResponse(m_bodies[static_cast<size_t>(m_nConnections++) % m_bodies.size()]);
            m_workers.emplace_back([hConnection, response] {
                for (size_t i = 0; i < response.size(); i += 16384) {
                    send(hConnection, response.data() + i,
                         static_cast<int>(std::min<size_t>(16384, response.size() - i)), 0);
                    Sleep(20);
                }
                shutdown(hConnection, SD_SEND);
                char buffer[256];
                timeval wait = {5, 0};
                fd_set set;
                FD_ZERO(&set);
                FD_SET(hConnection, &set);
                while (select(0, &set, nullptr, nullptr, &wait) == 1 &&
                       recv(hConnection, buffer, sizeof(buffer), 0) > 0) {
                }
                closesocket(hConnection);
            });
        }
    }

    std::vector<std::string> m_bodies;
    SOCKET m_hListen;
    int m_nPort = 0;
    std::atomic<bool> m_bStop{false};
    std::atomic<int> m_nConnections{0};
    std::thread m_accepter;
    std::vector<std::thread> m_workers;
};

TEST_F(Fault, TwoUpdatersAtOnceLeaveOneWholeBody)
{
    const std::string first = MarkProgram() + std::string(200000, '1');
    const std::string second = MarkProgram() + std::string(200000, '2');
    ConcurrentServer server({first, second});
    Install install("two-at-once");
    const std::string strDest = install.Dest(true);
    ASSERT_TRUE(WriteWholeFile(strDest, "previous version"));
    SetUpdateSettings(Url(server.Port()), Url(server.Port()), install.Root());
    RunResult results[2];
    RunOptions options;
    options.bRunMode = true;
    std::thread other([&] { results[1] = RunUpdater(install, options); });
    results[0] = RunUpdater(install, options);
    other.join();

    // The one that finds the other holding the destination ends at once,
    // quietly, without a connection of its own.
    int nUpdated = 0;
    for (const RunResult& result : results) {
        ASSERT_TRUE(result.bEnded);
        EXPECT_TRUE(result.nExitCode == kCompleted || result.nExitCode == kUpdateInProgress) << result.nExitCode;
        EXPECT_TRUE(BoxCountIs(result.boxes, 0)) << "exit code " << result.nExitCode;
        nUpdated += result.nExitCode == kCompleted;
    }
    EXPECT_GE(nUpdated, 1);
    EXPECT_EQ(server.Connections(), nUpdated);
    const std::string dest = ReadWholeFile(strDest);
    EXPECT_TRUE(dest == first || dest == second) << dest.size() << " bytes";
    ExpectNoLeftovers(install, true);
}

// Another program tries, from the moment the temporary file appears until
// the run has ended, to open it for writing and to rename it: it never can,
// after the transfer either, while the file is checked and until it has
// replaced the destination. What was checked is what is stored.
TEST_F(Fault, TemporaryFileCannotBeOpenedOrRenamedUntilItIsTheDestination)
{
    const std::string body = MarkProgram() + std::string(300000, 'n');
    ConcurrentServer server({body});
    Install install("held-part");
    const std::string strDest = install.Dest(true);
    ASSERT_TRUE(WriteWholeFile(strDest, "previous version"));
    SetUpdateSettings(Url(server.Port()), Url(server.Port()), install.Root());
    std::atomic<bool> bEnded{false};
    int nTries = 0;
    int nOpened = 0;
    int nRenamed = 0;
    std::thread other([&] {
        const std::string pattern = strDest + ".part";
        while (!bEnded) {
            WIN32_FIND_DATAA found;
            const HANDLE hFind = FindFirstFileA(pattern.c_str(), &found);
            if (hFind == INVALID_HANDLE_VALUE) {
                Sleep(1);
                continue;
            }
            FindClose(hFind);
            const std::string part = install.DestFolder(true) + "\\" + found.cFileName;
            ++nTries;
            const HANDLE hFile = CreateFileA(part.c_str(), GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (hFile != INVALID_HANDLE_VALUE) {
                ++nOpened;
                CloseHandle(hFile);
            }
            if (MoveFileA(part.c_str(), (part + ".taken").c_str())) {
                ++nRenamed;
                MoveFileA((part + ".taken").c_str(), part.c_str());
            }
        }
    });
    RunOptions options;
    options.bRunMode = true;
    const RunResult result = RunUpdater(install, options);
    bEnded = true;
    other.join();

    ASSERT_TRUE(result.bEnded);
    EXPECT_EQ(result.nExitCode, static_cast<DWORD>(kCompleted)) << DescribeBoxes(result.boxes);
    EXPECT_GT(nTries, 0) << "the temporary file was never seen";
    EXPECT_EQ(nOpened, 0);
    EXPECT_EQ(nRenamed, 0);
    EXPECT_TRUE(ReadWholeFile(strDest) == body) << ReadWholeFile(strDest).size() << " bytes";
    ExpectNoLeftovers(install, true);
}

} // namespace
