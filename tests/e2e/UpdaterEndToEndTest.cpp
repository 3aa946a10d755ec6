// The built Updater.exe, copied into a folder of its own, run as a process
// against a scripted server on 127.0.0.1 with the machine settings pointing
// at it. The folders have blanks in their names, so every run also starts
// the program from a quoted path with spaces.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "eventlog/LogLines.h"
#include "support/Fixtures.h"
#include "support/Installation.h"
#include "support/LogRecords.h"
#include "support/Processes.h"
#include "support/ScriptedServer.h"
#include "support/SuiteSettings.h"
#include "support/Waits.h"

namespace {

using namespace SuiteSettings;

const char kSourcePath[] = "/updates/Update.exe";
const char kDescriptionPath[] = "/pages/upgrade_info.html";

std::string Response200(const std::string& body)
{
    return "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

const std::string kNotFound = "HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n";

// The first line of a request: which file the program asked for.
std::string RequestLine(const std::string& request)
{
    return request.substr(0, request.find("\r\n"));
}

std::string RequestLineFor(const char* pszPath)
{
    return std::string("GET ") + pszPath + " HTTP/1.0";
}

// A body that differs from byte to byte, so that a lost or repeated chunk shows.
std::string PatternBody(size_t nSize)
{
    std::string body(nSize, '\0');
    for (size_t i = 0; i < nSize; ++i)
        body[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return body;
}

// Each test starts with none of the suite's settings but the root; what the
// prefix held is put back at the end.
class UpdaterEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Backup(); }
    static void TearDownTestSuite() { Restore(); }
    void SetUp() override
    {
        Clear();
        Set(kSuiteKey, "RootPath", install.Root());
    }
    void TearDown() override { Clear(); }

    std::string Exe() const { return install.Exe(); }
    std::string UpdateProgram() const { return install.Dest(true); }
    std::vector<LogRecord> Log() const { return ReadLogRecords(install.Log()); }
    std::vector<std::string> PartFiles() const { return ListFiles(install.DestFolder(true), "*.part"); }

    void ServeFrom(int nPort)
    {
        const std::string server = "http://127.0.0.1:" + std::to_string(nPort);
        Set(kUpdatesKey, "Source", server + kSourcePath);
        Set(kUpdatesKey, "Description", server + kDescriptionPath);
    }

    // The program started from its quoted path, with arguments after a blank.
    ProgramRun Run(const std::string& arguments, const ProgramOptions& options = {})
    {
        const std::string commandLine = "\"" + Exe() + "\"" + (arguments.empty() ? "" : " " + arguments);
        return RunProgram(Exe(), commandLine, options);
    }

    // A run that stored the body whole, with no box, record or temporary file.
    void ExpectStored(const ProgramRun& run, const std::string& path, const std::string& body)
    {
        ASSERT_TRUE(run.bEnded);
        EXPECT_EQ(run.nExitCode, static_cast<DWORD>(kCompleted));
        EXPECT_TRUE(BoxCountIs(run.boxes, 0));
        const std::string stored = ReadWholeFile(path);
        EXPECT_EQ(stored.size(), body.size());
        EXPECT_TRUE(stored == body);
        EXPECT_TRUE(Log().empty());
        EXPECT_TRUE(PartFiles().empty());
    }

    // The started program writes its own path into its mark; the mark
    // exists before it has written into it. A Wine process takes half a
    // second to start, several on a busy machine.
    bool WaitForStart() const
    {
        const std::string mark = UpdateProgram() + ".mark";
        return WaitUntil([&] { return ReadWholeFile(mark).find("Update.exe") != std::string::npos; }, 30000);
    }

    Installation install{"updater e2e", WindowsPath(UPDATER_EXE), WindowsPath(QBLOG_DLL)};
};

struct ModeCase {
    const char* name;
    const char* commandLine; // "{exe}" stands for the program's path
    bool bRunMode;
};

const ModeCase kModeCases[] = {
    {"no arguments", "\"{exe}\"", false},
    {"/run", "\"{exe}\" /run", true},
    {"/RUN", "\"{exe}\" /RUN", true},
    {"/Run", "\"{exe}\" /Run", true},
    {"blanks before /run", "\"{exe}\"    /run", true},
    {"tab before /run", "\"{exe}\"\t/run", true},
    {"no blank between path and /run", "\"{exe}\"/run", true},
    {"blank after /run", "\"{exe}\" /run ", false},
    {"second argument", "\"{exe}\" /run now", false},
    {"/run in quotes", "\"{exe}\" \"/run\"", false},
    {"-run", "\"{exe}\" -run", false},
    {"run", "\"{exe}\" run", false},
    // Unquoted, the path ends at its first blank and the rest of it
    // becomes part of the arguments.
    {"unquoted path with spaces", "{exe} /run", false},
    {"unquoted path without spaces", "Updater.exe /run", true},
};

TEST_F(UpdaterEndToEnd, CommandLineSelectsTheModeByTheFileItAsksFor)
{
    // A 404 for every request: both modes end at once after one box.
    ScriptedServer server(Answering(kNotFound));
    ServeFrom(server.Port());

    int nConnection = 0;
    for (const ModeCase& mode : kModeCases) {
        SCOPED_TRACE(mode.name);
        std::string commandLine = mode.commandLine;
        const size_t nExe = commandLine.find("{exe}");
        if (nExe != std::string::npos)
            commandLine.replace(nExe, 5, Exe());

        const ProgramRun run = RunProgram(Exe(), commandLine);
        ASSERT_TRUE(run.bEnded);
        EXPECT_EQ(run.nExitCode, static_cast<DWORD>(kHttpError));
        ASSERT_EQ(server.Connections(), nConnection + 1);
        EXPECT_EQ(RequestLine(server.Request(nConnection)),
                  RequestLineFor(mode.bRunMode ? kSourcePath : kDescriptionPath));
        ++nConnection;
    }
}

TEST_F(UpdaterEndToEnd, RunModeStoresAndStartsTheUpdateProgram)
{
    const std::string program = ReadWholeFile(WindowsPath(MARK_EXE));
    ASSERT_FALSE(program.empty());
    ScriptedServer server(Answering(Response200(program)));
    ServeFrom(server.Port());

    const ProgramRun run = Run("/run");

    ExpectStored(run, UpdateProgram(), program);
    EXPECT_EQ(RequestLine(server.Request()), RequestLineFor(kSourcePath));
    EXPECT_TRUE(WaitForStart()) << "the update program did not start";
}

// The program as it runs on its own: Schannel and the certificate check
// loaded from the system folder, nginx's certificate verified against the
// test CA that only the test prefix trusts.
TEST_F(UpdaterEndToEnd, RunModeOverHttpsStoresAndStartsTheUpdateProgram)
{
    const int nPort = TlsPortOf("good");
    ASSERT_NE(nPort, 0) << "no TLS servers: run through ctest, which starts them";
    const std::string program = ReadWholeFile(WindowsPath(MARK_EXE));
    ASSERT_TRUE(WriteWholeFile(TlsFixtureFolder() + "\\www\\Update.exe", program));
    Set(kUpdatesKey, "Source", "https://localhost:" + std::to_string(nPort) + "/Update.exe");

    const ProgramRun run = Run("/run");

    ExpectStored(run, UpdateProgram(), program);
    EXPECT_TRUE(WaitForStart()) << "the update program did not start";
}

// A suite installed with an http "Source" whose server has moved to https
// (nginx's 301): the program follows it, checks the certificate of the new
// host, stores and starts the update, and records where it came from.
TEST_F(UpdaterEndToEnd, SourceMovedFromHttpToHttpsIsFollowed)
{
    const int nPlain = TlsPortOf("plain");
    const int nGood = TlsPortOf("good");
    ASSERT_NE(nPlain, 0) << "no nginx: run through ctest, which starts it";
    const std::string program = ReadWholeFile(WindowsPath(MARK_EXE));
    ASSERT_TRUE(WriteWholeFile(TlsFixtureFolder() + "\\www\\Update.exe", program));
    Set(kUpdatesKey, "Source", "http://127.0.0.1:" + std::to_string(nPlain) + "/to-tls/Update.exe");

    const ProgramRun run = Run("/run");

    ASSERT_TRUE(run.bEnded);
    EXPECT_EQ(run.nExitCode, static_cast<DWORD>(kCompleted));
    EXPECT_TRUE(BoxCountIs(run.boxes, 0));
    EXPECT_TRUE(ReadWholeFile(UpdateProgram()) == program);
    const std::vector<LogRecord> log = Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].line, LOG_LINE_REDIRECTED);
    EXPECT_EQ(log[0].level, 1);
    EXPECT_EQ(log[0].module, "HttpInterface");
    EXPECT_EQ(log[0].text, "Redirected with 301 to https://localhost:" + std::to_string(nGood) + "/Update.exe");
    EXPECT_TRUE(WaitForStart()) << "the update program did not start";
}

// The configuration script as the program asks it on its own: in a lookup
// process that is the program started again. A script's proxy is used; a
// script that crashes the script engine leaves the choice to the manual
// setting, here none, and the program ends as after any transfer.
TEST_F(UpdaterEndToEnd, ProxyScriptIsAskedInAProcessThatCannotTakeTheProgramDown)
{
    const std::string program = ReadWholeFile(WindowsPath(MARK_EXE));
    ScriptedServer server(Answering(Response200(program)));
    struct Row {
        const char* name;
        std::string script;  // FindProxyForURL's body
        const char* pszHost; // the Source's host: one that only the proxy knows, or the server
        bool bRecorded;      // the script was not used
    };
    const Row rows[] = {
        {"script names the proxy", "return \"PROXY 127.0.0.1:" + std::to_string(server.Port()) + "\";",
         "updates.example", false},
        {"script crashes the engine", "return 42;", "127.0.0.1", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(WriteWholeFile(UpdateProgram(), "the program of the previous update"));
        DeleteFileA((UpdateProgram() + ".mark").c_str());
        DeleteFileA(install.Log().c_str());
        ScriptedServer scriptServer(
            Answering(OkResponse("function FindProxyForURL(url, host) { " + row.script + " }")));
        const std::string scriptUrl = "http://127.0.0.1:" + std::to_string(scriptServer.Port()) + "/proxy.pac";
        ProxySettings settings(0, std::nullopt, std::nullopt, scriptUrl);
        const std::string url =
            std::string("http://") + row.pszHost + ":" + std::to_string(server.Port()) + kSourcePath;
        Set(kUpdatesKey, "Source", url);
        const int nConnections = server.Connections();

        const ProgramRun run = Run("/run");

        ASSERT_TRUE(run.bEnded);
        EXPECT_EQ(run.nExitCode, static_cast<DWORD>(kCompleted));
        EXPECT_TRUE(BoxCountIs(run.boxes, 0));
        EXPECT_TRUE(ReadWholeFile(UpdateProgram()) == program);
        ASSERT_EQ(server.Connections(), nConnections + 1);
        EXPECT_EQ(RequestLine(server.Request(nConnections)),
                  "GET " + std::string(row.bRecorded ? kSourcePath : url.c_str()) + " HTTP/1.0");
        const std::vector<LogRecord> log = Log();
        ASSERT_EQ(log.size(), row.bRecorded ? 1u : 0u);
        if (row.bRecorded) {
            EXPECT_EQ(log[0].line, LOG_LINE_PROXY_SCRIPT_NOT_USED);
            EXPECT_EQ(log[0].text, "Proxy configuration script " + scriptUrl +
                                       " not used, the manual proxy setting applies: the lookup ended without an "
                                       "answer, exit code 0xC0000005");
        }
        EXPECT_TRUE(WaitForStart()) << "the update program did not start";
    }
}

// The program through squid asking for Negotiate: signed in with the
// user's Kerberos ticket; without one the 407 stands, with the record that
// says why, in a few seconds.
TEST_F(UpdaterEndToEnd, NegotiateSignInToTheProxyWithTheUsersTicket)
{
    const int nProxyPort = AuthProxyPortOf("negotiate");
    ASSERT_NE(nProxyPort, 0) << "no sign-in proxies: run through ctest, which starts them";
    const std::string program = ReadWholeFile(WindowsPath(MARK_EXE));
    ScriptedServer server(Answering(Response200(program)));
    ServeFrom(server.Port());
    ProxySettings settings(1, "localhost:" + std::to_string(nProxyPort));
    // The user's ticket cache, as the test command's KRB5CCNAME names it.
    const char* pszDir = std::getenv("AUTH_FIXTURE_DIR");
    ASSERT_NE(pszDir, nullptr);
    const std::string cache = WindowsPath(std::string(pszDir) + "/krb5cc");
    ASSERT_TRUE(FileExists(cache)) << cache;
    for (const bool bTicket : {true, false}) {
        SCOPED_TRACE(bTicket ? "with the ticket" : "without a ticket");
        DeleteFileA(install.Log().c_str());
        if (!bTicket) {
            ASSERT_TRUE(MoveFileA(cache.c_str(), (cache + ".away").c_str()));
        }
        const DWORD nStart = GetTickCount();
        const ProgramRun run = Run("/run");
        if (!bTicket) {
            ASSERT_TRUE(MoveFileA((cache + ".away").c_str(), cache.c_str()));
        }

        ASSERT_TRUE(run.bEnded);
        EXPECT_LT(GetTickCount() - nStart, 10000u);
        if (bTicket) {
            ExpectStored(run, UpdateProgram(), program);
            EXPECT_TRUE(WaitForStart()) << "the update program did not start";
            continue;
        }
        EXPECT_EQ(run.nExitCode, static_cast<DWORD>(kHttpError));
        ASSERT_TRUE(BoxCountIs(run.boxes, 1));
        EXPECT_EQ(run.boxes[0].text, "No updates are currently available");
        const std::vector<LogRecord> log = Log();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0].line, LOG_LINE_PROXY_SIGN_IN_FAILED);
        EXPECT_EQ(log[0].text.rfind("Sign-in to the proxy localhost failed: Negotiate: ", 0), 0u) << log[0].text;
        EXPECT_EQ(log[1].line, LOG_LINE_HTTP_ERROR);
    }
}

// Machine policies as Group Policy writes them, beside the installer's
// settings: a policy's value wins, one of another type is ignored with a
// record, and UpdatesDisabled ends both modes before any connection.
TEST_F(UpdaterEndToEnd, PolicyValuesWinOverTheInstallersAndCanTurnUpdatesOff)
{
    const auto dword = [](DWORD n) { return std::string(reinterpret_cast<const char*>(&n), sizeof(n)); };
    const std::string program = ReadWholeFile(WindowsPath(MARK_EXE)); // unsigned
    ScriptedServer installers(Answering(Response200(program)));
    ScriptedServer policys(Answering(Response200(program)));
    const std::string previous = "the program of the previous update";
    struct Row {
        const char* pszName;
        const char* pszArguments;
        const char* pszPolicy; // the policy value written
        DWORD nType;
        std::string data;
        DWORD nExitCode;
        int nInstallerRequests;
        int nPolicyRequests;
        int nRecordLine; // the one record, 0 for none
    };
    const std::string policyUrl = "http://127.0.0.1:" + std::to_string(policys.Port()) + kSourcePath;
    const Row rows[] = {
        {"policy Source wins", "/run", "Source", REG_SZ, policyUrl + '\0', kCompleted, 0, 1, 0},
        // Read twice in a run, at the start and for the launch: recorded once.
        {"policy Source of another type", "/run", "Source", REG_DWORD, dword(1), kCompleted, 1, 0,
         LOG_LINE_POLICY_IGNORED},
        {"RequireSignature by policy refuses an unsigned program", "/run", "RequireSignature", REG_DWORD, dword(1),
         kSignatureRefused, 1, 0, LOG_LINE_LAUNCH_ERROR},
        {"UpdatesDisabled, run mode", "/run", "UpdatesDisabled", REG_DWORD, dword(1), kUpdatesTurnedOff, 0, 0,
         LOG_LINE_UPDATES_TURNED_OFF},
        {"UpdatesDisabled, description mode", "", "UpdatesDisabled", REG_DWORD, dword(1), kUpdatesTurnedOff, 0, 0,
         LOG_LINE_UPDATES_TURNED_OFF},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        Clear();
        Set(kSuiteKey, "RootPath", install.Root());
        ServeFrom(installers.Port());
        SetValue(kPolicyKey, row.pszPolicy, row.nType, row.data);
        ASSERT_TRUE(WriteWholeFile(UpdateProgram(), previous));
        DeleteFileA((UpdateProgram() + ".mark").c_str());
        DeleteFileA(install.Log().c_str());
        const int nInstallers = installers.Connections();
        const int nPolicys = policys.Connections();

        const ProgramRun run = Run(row.pszArguments);

        ASSERT_TRUE(run.bEnded);
        EXPECT_EQ(run.nExitCode, row.nExitCode);
        EXPECT_EQ(installers.Connections(), nInstallers + row.nInstallerRequests);
        EXPECT_EQ(policys.Connections(), nPolicys + row.nPolicyRequests);
        const std::vector<LogRecord> log = Log();
        ASSERT_EQ(log.size(), row.nRecordLine ? 1u : 0u);
        if (row.nRecordLine) {
            EXPECT_EQ(log[0].line, row.nRecordLine);
        }
        if (row.nExitCode == kCompleted) {
            EXPECT_TRUE(BoxCountIs(run.boxes, 0));
            EXPECT_TRUE(WaitForStart()) << "the update program did not start";
            continue;
        }
        ASSERT_TRUE(BoxCountIs(run.boxes, 1));
        EXPECT_EQ(ReadWholeFile(UpdateProgram()), previous);
        if (row.nExitCode == kUpdatesTurnedOff) {
            EXPECT_EQ(run.boxes[0].caption, "Quillbrook Updater");
            EXPECT_EQ(run.boxes[0].text, "Updates for Quillbrook Suite have been turned off by your administrator.");
            EXPECT_EQ(log[0].level, 1);
        }
    }
}

// The suite's settings as its 32-bit installer writes them on 64-bit
// Windows, with nothing in the native view.
TEST_F(UpdaterEndToEnd, SettingsOfA32BitInstallerAreFound)
{
    Clear();
    const std::string program = ReadWholeFile(WindowsPath(MARK_EXE));
    ScriptedServer server(Answering(Response200(program)));
    Set(kUpdatesKey32, "Source", "http://127.0.0.1:" + std::to_string(server.Port()) + kSourcePath);
    Set(kSuiteKey32, "RootPath", install.Root());

    const ProgramRun run = Run("/run");

    ExpectStored(run, UpdateProgram(), program);
    EXPECT_TRUE(WaitForStart()) << "the update program did not start";
}

struct DescriptionCase {
    const char* name;
    const char* cache;    // the channel's Cache setting; null when absent
    const char* relative; // where the page is expected below the root
};

const DescriptionCase kDescriptionCases[] = {
    {"default place", nullptr, "\\templates\\upgrade_info.html"},
    {"channel's place", "\\ContentCache\\whatsnew.htm", "\\ContentCache\\whatsnew.htm"},
};

TEST_F(UpdaterEndToEnd, DescriptionModeStoresThePageWhereTheChannelSays)
{
    const std::string page = "<html><body><h1>Quillbrook Suite 3.1</h1>\r\n" + PatternBody(5000) + "</body></html>";
    for (const DescriptionCase& where : kDescriptionCases) {
        SCOPED_TRACE(where.name);
        if (where.cache)
            Set(kChannelKey, "Cache", where.cache);
        else
            Remove(kChannelKey, "Cache");
        ScriptedServer server(Answering(Response200(page)));
        ServeFrom(server.Port());

        const ProgramRun run = Run("");

        ExpectStored(run, install.Root() + where.relative, page);
        EXPECT_EQ(RequestLine(server.Request()), RequestLineFor(kDescriptionPath));
    }
}

TEST_F(UpdaterEndToEnd, NotFoundInRunModeReportsNoUpdatesAndStartsNothing)
{
    // A program from an earlier run: it must not be started for this one.
    ASSERT_TRUE(CopyFileA(WindowsPath(MARK_EXE).c_str(), UpdateProgram().c_str(), FALSE));
    const std::string earlier = ReadWholeFile(UpdateProgram());
    ScriptedServer server(Answering(kNotFound));
    ServeFrom(server.Port());

    const ProgramRun run = Run("/run");

    ASSERT_TRUE(run.bEnded);
    EXPECT_EQ(run.nExitCode, static_cast<DWORD>(kHttpError));
    ASSERT_TRUE(BoxCountIs(run.boxes, 1));
    EXPECT_EQ(run.boxes[0].caption, "Quillbrook Updater");
    EXPECT_EQ(run.boxes[0].text, "No updates are currently available");
    EXPECT_FALSE(run.boxes[0].bDialogVisible);
    const std::vector<LogRecord> log = Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].line, LOG_LINE_HTTP_ERROR);
    EXPECT_EQ(log[0].level, 1);
    EXPECT_EQ(log[0].text, "HTTP error 404 when retrieving " + UpdateProgram());
    EXPECT_TRUE(ReadWholeFile(UpdateProgram()) == earlier);
    Sleep(500);
    EXPECT_FALSE(FileExists(UpdateProgram() + ".mark")) << "a program was started";
}

TEST_F(UpdaterEndToEnd, RefusedConnectionShowsTwoBoxesAndLogsThreeRecords)
{
    const int nPort = RefusingPort();
    ServeFrom(nPort);
    const std::string port = std::to_string(nPort);

    const ProgramRun run = Run("/run");

    ASSERT_TRUE(run.bEnded);
    EXPECT_EQ(run.nExitCode, static_cast<DWORD>(kConnectionFailed));
    ASSERT_TRUE(BoxCountIs(run.boxes, 2));
    EXPECT_EQ(run.boxes[0].caption, "Quillbrook Updater");
    EXPECT_EQ(run.boxes[0].text, "Your connection to the update server 127.0.0.1 was unexpectedly terminated. "
                                 "Please check your connection and try again.");
    EXPECT_EQ(run.boxes[1].caption, "Quillbrook Updater");
    EXPECT_EQ(run.boxes[1].text, "Unable to connect to update server 127.0.0.1 on port " + port + "\n");
    const std::vector<LogRecord> log = Log();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].line, LOG_LINE_CONNECT_ERROR);
    EXPECT_EQ(log[0].module, "HttpInterface");
    EXPECT_EQ(log[1].line, LOG_LINE_CONNECTION_LOST);
    EXPECT_EQ(log[1].text, "Connection to 127.0.0.1:" + port + " unexpectedly lost: Error -1");
    EXPECT_EQ(log[2].line, LOG_LINE_UNABLE_TO_CONNECT);
    EXPECT_EQ(log[2].text, "Unable to connect to update server 127.0.0.1 on port " + port + "\n");
    for (const LogRecord& record : log)
        EXPECT_EQ(record.level, 0);
    EXPECT_FALSE(FileExists(UpdateProgram()));
}

TEST_F(UpdaterEndToEnd, WithoutTheLogLibraryItsBoxComesFirstAndTheTransferRuns)
{
    ASSERT_TRUE(DeleteFileA((install.ProgramFolder() + "\\QbLog.dll").c_str()));
    // A library in the current directory must not stand in for the missing one.
    const std::string elsewhere = install.Folder() + "\\current dir";
    ASSERT_TRUE(CreateDirectoryA(elsewhere.c_str(), nullptr));
    ASSERT_TRUE(CopyFileA(WindowsPath(QBLOG_DLL).c_str(), (elsewhere + "\\QbLog.dll").c_str(), FALSE));
    const std::string page = "<html>new in this release</html>";
    ScriptedServer server(Answering(Response200(page)));
    ServeFrom(server.Port());

    ProgramOptions options;
    options.currentDirectory = elsewhere;
    const ProgramRun run = Run("", options);

    ASSERT_TRUE(run.bEnded);
    ASSERT_TRUE(BoxCountIs(run.boxes, 1));
    EXPECT_EQ(run.boxes[0].caption, "Quillbrook Updater");
    EXPECT_EQ(run.boxes[0].text, "Error loading logging library: QbLog.dll");
    EXPECT_EQ(run.nExitCode, static_cast<DWORD>(kCompleted));
    EXPECT_EQ(RequestLine(server.Request()), RequestLineFor(kDescriptionPath));
    EXPECT_EQ(ReadWholeFile(install.Dest(false)), page);
    EXPECT_FALSE(FileExists(elsewhere + "\\QbLog.log"));
    EXPECT_FALSE(FileExists(install.Log()));
}

TEST_F(UpdaterEndToEnd, CancelMidTransferKeepsThePreviousProgram)
{
    const std::string previous = "the program of the previous update";
    ASSERT_TRUE(WriteWholeFile(UpdateProgram(), previous));
    const std::string body = PatternBody(200000);
    const std::string response = Response200(body);
    // Part of the body, then nothing more until the program goes away.
    ScriptedServer server({ServerStep::ReadRequest(),
                           ServerStep::Send(response.substr(0, response.size() - body.size() + 8192)),
                           ServerStep::WaitForClientClose(15000), ServerStep::Close()});
    ServeFrom(server.Port());

    ProgramOptions options;
    bool bCancelPosted = false;
    options.onPoll = [&](HANDLE hProcess) {
        HWND hDialog = FindUpdateDialog(GetProcessId(hProcess));
        if (bCancelPosted || !hDialog || !IsWindowVisible(hDialog) || PartFiles().empty())
            return;
        PressButton(hDialog, IDCANCEL);
        bCancelPosted = true;
    };
    options.answer = [](const SeenBox&) { return IDYES; };
    const ProgramRun run = Run("/run", options);

    ASSERT_TRUE(run.bEnded);
    ASSERT_TRUE(bCancelPosted) << "the body never began to arrive";
    ASSERT_TRUE(BoxCountIs(run.boxes, 1));
    EXPECT_EQ(run.boxes[0].caption, "Quillbrook Updater");
    EXPECT_EQ(run.boxes[0].text, "Are you sure you want to cancel your software update?");
    EXPECT_TRUE(run.boxes[0].bDialogVisible);
    EXPECT_EQ(run.nExitCode, static_cast<DWORD>(kCancelled));
    EXPECT_EQ(ReadWholeFile(UpdateProgram()), previous);
    EXPECT_TRUE(PartFiles().empty());
    EXPECT_TRUE(Log().empty());
}

// The suite's menu clicked twice: two starts of /run within a moment of
// each other, against nginx serving at 256 KiB/s, so that the transfer
// (3 s) outlasts a slow start of the other process. One fetches and
// starts the update; the other ends with 9 and its record, with no box
// and without asking nginx for anything.
TEST_F(UpdaterEndToEnd, TwoStartsAtOnceUpdateOnceAndTheSecondEndsQuietly)
{
    const int nPlain = TlsPortOf("plain");
    ASSERT_NE(nPlain, 0) << "no nginx: run through ctest, which starts it";
    const std::string program = ReadWholeFile(WindowsPath(MARK_EXE));
    ASSERT_TRUE(WriteWholeFile(TlsFixtureFolder() + "\\www\\Update.exe", program));
    Set(kUpdatesKey, "Source", "http://127.0.0.1:" + std::to_string(nPlain) + "/slow/Update.exe");
    const std::string accessLog = TlsFixtureFolder() + "\\nginx-access.log";
    const auto requests = [&] {
        const std::string log = ReadWholeFile(accessLog);
        size_t nCount = 0;
        for (size_t at = log.find("GET /slow/Update.exe"); at != std::string::npos;
             at = log.find("GET /slow/Update.exe", at + 1))
            ++nCount;
        return nCount;
    };

    for (int nRound = 0; nRound < 10; ++nRound) {
        SCOPED_TRACE("round " + std::to_string(nRound));
        DeleteFileA(install.Log().c_str());
        const size_t nRequestsBefore = requests();
        ProgramRun second;
        std::thread other([&] {
            Sleep(static_cast<DWORD>(nRound * 10));
            second = Run("/run");
        });
        const ProgramRun first = Run("/run");
        other.join();

        ASSERT_TRUE(first.bEnded && second.bEnded);
        const bool bFirstUpdated = first.nExitCode == static_cast<DWORD>(kCompleted);
        const ProgramRun& updated = bFirstUpdated ? first : second;
        const ProgramRun& refused = bFirstUpdated ? second : first;
        EXPECT_EQ(updated.nExitCode, static_cast<DWORD>(kCompleted));
        EXPECT_EQ(refused.nExitCode, static_cast<DWORD>(kUpdateInProgress));
        EXPECT_TRUE(BoxCountIs(first.boxes, 0) && BoxCountIs(second.boxes, 0));
        EXPECT_TRUE(ReadWholeFile(UpdateProgram()) == program);
        EXPECT_TRUE(WaitForStart()) << "the update program did not start";
        EXPECT_TRUE(WaitUntil([&] { return requests() == nRequestsBefore + 1; }, 5000)) << requests();
        const std::vector<LogRecord> log = Log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].line, LOG_LINE_UPDATE_IN_PROGRESS);
        EXPECT_EQ(log[0].module, "UpdaterDlg");
        EXPECT_EQ(log[0].text, "Another update of " + UpdateProgram() + " is in progress");
        DeleteFileA((UpdateProgram() + ".mark").c_str());
    }
}

// The programs that the signing fixture made at test time (tools: openssl,
// osslsigncode) from the stand-in update program.
std::string SignedProgram(const std::string& name)
{
    const char* pszDir = std::getenv("SIGNED_PROGRAMS_DIR");
    return pszDir ? ReadWholeFile(WindowsPath(std::string(pszDir) + "/" + name)) : std::string();
}

TEST_F(UpdaterEndToEnd, OnlyAProgramWhoseSignatureHoldsUnderThePolicyReplacesTheOldOneAndStarts)
{
    ASSERT_FALSE(SignedProgram("signed-a.exe").empty()) << "run through ctest, whose fixture signs the programs";
    auto thumbprint = [](const char* pszSigner) {
        std::string text = SignedProgram(std::string("thumbprint-") + pszSigner + ".txt");
        return text.substr(0, text.find_first_of("\r\n"));
    };
    std::string pinB = thumbprint("b");
    for (char& ch : pinB)
        ch = static_cast<char>(tolower(ch));
    pinB.insert(20, "  ");
    const std::string pinA = thumbprint("a");
    const std::string pinBoth = " " + pinA + " ; " + pinB + ";";

    // nRefusal: the error number of the record; 0 when started, 1 when any
    // refusal's number will do.
    struct Row {
        const char* pszProgram;
        DWORD nRequire; // RequireSignature; ~0u: absent
        std::string pin; // SignerThumbprint; empty: absent
        long long nRefusal;
    };
    const DWORD kAbsent = ~0u;
    const long long kBadDigest = static_cast<LONG>(0x80096010);  // TRUST_E_BAD_DIGEST
    const long long kNoSignature = static_cast<LONG>(0x800B0100); // TRUST_E_NOSIGNATURE
    const long long kNotPinned = static_cast<LONG>(0x800B0004);  // TRUST_E_SUBJECT_NOT_TRUSTED
    const Row rows[] = {
        {"unsigned.exe", kAbsent, "", 0},
        {"signed-a.exe", kAbsent, "", 0},
        {"tampered.exe", kAbsent, "", kBadDigest},
        {"corrupt-signature.exe", kAbsent, "", 1},
        {"unsigned.exe", 0, "", 0},
        {"unsigned.exe", 1, "", kNoSignature},
        {"signed-a.exe", 1, "", 0},
        {"tampered.exe", 1, "", kBadDigest},
        {"corrupt-signature.exe", 1, "", 1},
        {"unsigned.exe", kAbsent, pinA, kNoSignature},
        {"signed-a.exe", kAbsent, pinA, 0},
        {"signed-b.exe", kAbsent, pinA, kNotPinned},
        {"tampered.exe", kAbsent, pinA, kBadDigest},
        {"signed-b.exe", kAbsent, pinBoth, 0},
        {"signed-a.exe", 1, pinB, kNotPinned},
    };
    const std::string previous = "the program of the previous update";
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.pszProgram) + ", RequireSignature " +
                     (row.nRequire == kAbsent ? "absent" : std::to_string(row.nRequire)) + ", pin '" + row.pin + "'");
        if (row.nRequire == kAbsent)
            Remove(kUpdatesKey, "RequireSignature");
        else
            SetValue(kUpdatesKey, "RequireSignature", REG_DWORD,
                     std::string(reinterpret_cast<const char*>(&row.nRequire), sizeof(DWORD)));
        if (row.pin.empty())
            Remove(kUpdatesKey, "SignerThumbprint");
        else
            Set(kUpdatesKey, "SignerThumbprint", row.pin);
        ASSERT_TRUE(WriteWholeFile(UpdateProgram(), previous));
        DeleteFileA((UpdateProgram() + ".mark").c_str());
        DeleteFileA(install.Log().c_str());
        const std::string program = SignedProgram(row.pszProgram);
        ASSERT_FALSE(program.empty());
        ScriptedServer server(Answering(Response200(program)));
        ServeFrom(server.Port());

        const ProgramRun run = Run("/run");

        ASSERT_TRUE(run.bEnded);
        const std::vector<LogRecord> log = Log();
        if (row.nRefusal == 0) {
            ExpectStored(run, UpdateProgram(), program);
            EXPECT_TRUE(WaitForStart()) << "not started";
        } else {
            EXPECT_EQ(run.nExitCode, static_cast<DWORD>(kSignatureRefused));
            ASSERT_TRUE(BoxCountIs(run.boxes, 1));
            EXPECT_EQ(run.boxes[0].caption, "Quillbrook Updater");
            EXPECT_EQ(run.boxes[0].text, "An error occurred launching " + UpdateProgram() +
                                             ". See your Quillbrook event log for more information.");
            ASSERT_EQ(log.size(), 1u);
            EXPECT_EQ(log[0].line, LOG_LINE_LAUNCH_ERROR);
            const std::string prefix = "An error occurred attempting to launch " + UpdateProgram() + ": Error ";
            EXPECT_EQ(log[0].text.rfind(prefix, 0), 0u) << log[0].text;
            if (row.nRefusal != 1)
                EXPECT_EQ(log[0].text, prefix + std::to_string(row.nRefusal));
            else
                EXPECT_NE(log[0].text, prefix + "0");
            EXPECT_EQ(ReadWholeFile(UpdateProgram()), previous);
            Sleep(300);
            EXPECT_FALSE(FileExists(UpdateProgram() + ".mark")) << "a refused program was started";
        }
        EXPECT_TRUE(PartFiles().empty());
    }
}

} // namespace

namespace {

// The user's screen DPI in the test prefix, for the processes started while
// it lives; the earlier value comes back after it.
class ScreenDpi {
public:
    explicit ScreenDpi(DWORD nDpi)
    {
        RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_hKey, nullptr);
        DWORD nSize = sizeof(m_nEarlier);
        m_bHadValue = RegQueryValueExA(m_hKey, "LogPixels", nullptr, nullptr, reinterpret_cast<BYTE*>(&m_nEarlier),
                                       &nSize) == ERROR_SUCCESS;
        RegSetValueExA(m_hKey, "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&nDpi), sizeof(nDpi));
    }
    ~ScreenDpi()
    {
        if (m_bHadValue)
            RegSetValueExA(m_hKey, "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&m_nEarlier),
                           sizeof(m_nEarlier));
        else
            RegDeleteValueA(m_hKey, "LogPixels");
        RegCloseKey(m_hKey);
    }
    ScreenDpi(const ScreenDpi&) = delete;
    ScreenDpi& operator=(const ScreenDpi&) = delete;

private:
    static constexpr const char* kKey = "Control Panel\\Desktop";
    HKEY m_hKey = nullptr;
    DWORD m_nEarlier = 96;
    bool m_bHadValue = false;
};

// A control's rectangle in its dialog's client coordinates.
RECT ClientRectOf(HWND hDialog, HWND hControl)
{
    RECT rect = {};
    GetWindowRect(hControl, &rect);
    MapWindowPoints(nullptr, hDialog, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

bool IsInside(const RECT& inner, const RECT& outer)
{
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom && inner.right > inner.left && inner.bottom > inner.top;
}

} // namespace

// The dialog as the program lays it out at 96, 144 and 192 DPI: its client
// area grows with the DPI, and the progress bar and the Cancel button stay
// inside it. Each run holds the transfer for a moment, so that the shown
// dialog can be measured.
TEST_F(UpdaterEndToEnd, DialogIsLaidOutForTheScreensDpi)
{
    const std::string page = "<html>page</html>";
    struct Layout {
        DWORD nDpi;
        RECT client{};
        RECT bar{};
        RECT cancel{};
        bool bMeasured = false;
    };
    Layout layouts[] = {{96}, {144}, {192}};
    for (Layout& layout : layouts) {
        SCOPED_TRACE(std::to_string(layout.nDpi) + " DPI");
        const ScreenDpi dpi(layout.nDpi);
        ScriptedServer server({ServerStep::ReadRequest(), ServerStep::Sleep(1500),
                               ServerStep::Send(Response200(page)), ServerStep::Close()});
        ServeFrom(server.Port());
        ProgramOptions options;
        options.onPoll = [&](HANDLE hProcess) {
            const HWND hDialog = FindUpdateDialog(GetProcessId(hProcess));
            if (layout.bMeasured || !hDialog || !IsWindowVisible(hDialog))
                return;
            GetClientRect(hDialog, &layout.client);
            layout.bar = ClientRectOf(hDialog, GetDlgItem(hDialog, 1000 /* the progress bar */));
            layout.cancel = ClientRectOf(hDialog, GetDlgItem(hDialog, IDCANCEL));
            layout.bMeasured = true;
        };

        const ProgramRun run = Run("", options);

        ASSERT_TRUE(run.bEnded);
        EXPECT_EQ(run.nExitCode, static_cast<DWORD>(kCompleted));
        ASSERT_TRUE(layout.bMeasured);
        EXPECT_TRUE(IsInside(layout.bar, layout.client));
        EXPECT_TRUE(IsInside(layout.cancel, layout.client));
        std::printf("%lu DPI: client area %ld x %ld, progress bar %ld x %ld, Cancel %ld x %ld\n", layout.nDpi,
                    layout.client.right, layout.client.bottom, layout.bar.right - layout.bar.left,
                    layout.bar.bottom - layout.bar.top, layout.cancel.right - layout.cancel.left,
                    layout.cancel.bottom - layout.cancel.top);
    }
    // Near the ratio: the template's units follow the font, whose pixel
    // height is rounded (8 points are 11 pixels at 96 DPI, 10.67 exactly,
    // and exactly 16 and 21.33 at 144 and 192), so the height grows a few
    // percent less than the DPI.
    const RECT& base = layouts[0].client;
    for (const Layout& layout : layouts) {
        const double ratio = layout.nDpi / 96.0;
        EXPECT_NEAR(layout.client.right, base.right * ratio, base.right * ratio * 0.07) << layout.nDpi << " DPI";
        EXPECT_NEAR(layout.client.bottom, base.bottom * ratio, base.bottom * ratio * 0.07) << layout.nDpi << " DPI";
    }
}
