// The whole transfer in one process: the real dialog run modally, its start
// really connecting to a scripted server on 127.0.0.1 as the registry of the
// test prefix directs it, boxes answered by a watcher, records read back from
// the real event-log library.

#include "updater/UpdaterDlg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TransferTestSupport.h"
#include "eventlog/LogLines.h"
#include "net/HttpInterface.h"
#include "net/HttpTransfer.h"
#include "net/SignInHeaders.h"
#include "net/NetTestSupport.h"
#include "support/BoxWatcher.h"
#include "support/Fixtures.h"
#include "support/ScriptedServer.h"
#include "support/Waits.h"

namespace {

using namespace SuiteSettings;

const char kLostText[] = "Your connection to the update server 127.0.0.1 was unexpectedly terminated. Please check "
                         "your connection and try again.";
const char kConfirmText[] = "Are you sure you want to cancel your software update?";
const char kNoUpdatesText[] = "No updates are currently available";
const char kCaption[] = "Quillbrook Updater";

// How long a launch that should not happen is waited for.
const DWORD kNoLaunchWaitMs = 1500;
const DWORD kLaunchWaitMs = 30000;

// The update dialog as the program runs it, with what the tests watch: whether
// it was ever shown, and a tick every 20 ms while it exists, on which a test
// plays the user. A dialog still open after nWatchdogMs is ended with
// IDABORT, so that a transfer that never ends fails its test instead of
// hanging it.
class TransferDlg : public CUpdaterDlg {
public:
    std::function<void(TransferDlg&)> onTick;
    bool bShown = false;
    DWORD nWatchdogMs = 20000;

    BOOL OnInitDialog() override
    {
        const BOOL bResult = CUpdaterDlg::OnInitDialog();
        m_nStart = GetTickCount();
        SetTimer(m_hWnd, kTickTimer, 20, nullptr);
        return bResult;
    }

    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override
    {
        if (message == WM_SHOWWINDOW && wParam)
            bShown = true;
        if (message == WM_TIMER && wParam == kTickTimer) {
            if (GetTickCount() - m_nStart > nWatchdogMs)
                EndDialog(IDABORT);
            else if (onTick)
                onTick(*this);
            *pResult = 0;
            return TRUE;
        }
        return CUpdaterDlg::OnWndMsg(message, wParam, lParam, pResult);
    }

    // The user presses Cancel once the condition holds.
    void CancelWhen(const std::function<bool(const TransferDlg&)>& condition)
    {
        if (!m_bCancelPosted && condition(*this)) {
            m_bCancelPosted = true;
            PostMessage(WM_COMMAND, IDCANCEL);
        }
    }

private:
    static const UINT_PTR kTickTimer = 0x7E57;
    DWORD m_nStart = 0;
    bool m_bCancelPosted = false;
};

// Shuts the dialog's connection for sending as soon as it is made, so that the
// request cannot be written.
class ShutAtConnect {
public:
    explicit ShutAtConnect(CUpdaterDlg& dlg)
    {
        s_pDlg = &dlg;
        m_hHook = SetWindowsHookExA(WH_GETMESSAGE, Proc, nullptr, GetCurrentThreadId());
    }
    ~ShutAtConnect()
    {
        UnhookWindowsHookEx(m_hHook);
        s_pDlg = nullptr;
    }
    ShutAtConnect(const ShutAtConnect&) = delete;
    ShutAtConnect& operator=(const ShutAtConnect&) = delete;

    static inline bool s_bShut = false;

private:
    static LRESULT CALLBACK Proc(int nCode, WPARAM wParam, LPARAM lParam)
    {
        // The connect's attempt that succeeds becomes the connection, so
        // its socket is the one shut.
        const MSG* pMsg = reinterpret_cast<const MSG*>(lParam);
        if (nCode == HC_ACTION && wParam == PM_REMOVE && s_pDlg && s_pDlg->m_pHttp && pMsg->message >= WM_APP &&
            WSAGETSELECTEVENT(pMsg->lParam) == FD_CONNECT && WSAGETSELECTERROR(pMsg->lParam) == 0)
            s_bShut = shutdown(static_cast<SOCKET>(pMsg->wParam), SD_SEND) == 0;
        return CallNextHookEx(nullptr, nCode, wParam, lParam);
    }

    static inline CUpdaterDlg* s_pDlg = nullptr;
    HHOOK m_hHook;
};

std::string Ok(const std::string& body, bool bWithLength = true)
{
    return std::string("HTTP/1.0 200 OK\r\n") +
           (bWithLength ? "Content-Length: " + std::to_string(body.size()) + "\r\n" : std::string()) +
           "Content-Type: application/octet-stream\r\n\r\n" + body;
}

std::string OkHeaders(size_t nAnnounced)
{
    return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(nAnnounced) + "\r\n\r\n";
}

// The headers and the body's first 2000 bytes.
std::string FirstPart(const std::string& body)
{
    return OkHeaders(body.size()) + body.substr(0, 2000);
}

// The response in two writes: the first part, and after a pause the rest.
std::vector<ServerStep> PausedAfterFirstPart(const std::string& body, int nPauseMs)
{
    return {ServerStep::ReadRequest(), ServerStep::Send(FirstPart(body)), ServerStep::Sleep(nPauseMs),
            ServerStep::Send(body.substr(2000)), ServerStep::Close()};
}

// What a run of the dialog left behind.
struct RunResult {
    INT_PTR nModal = 0;
    int nOutcome = -1;
    uint32_t nReceived = 0;
    bool bShown = false;
    std::vector<ObservedBox> boxes;
    std::vector<LogRecord> records;
};

class Transfer : public testing::Test {
protected:
    static void SetUpTestSuite() { Backup(); }
    static void TearDownTestSuite() { Restore(); }

    void SetUp() override
    {
        StartSockets();
        ASSERT_FALSE(MarkProgramBytes().empty()) << "mark.exe beside the tests";
        Clear();
        Set(kSuiteKey, "RootPath", folder.Path());
        // The page has a program's name, so that a launch in description mode
        // would be seen.
        Set(kChannelKey, "Cache", "\\templates\\info.exe");
    }
    void TearDown() override { Clear(); }

    static std::string UrlOf(int nPort, const char* pszPath)
    {
        return "http://127.0.0.1:" + std::to_string(nPort) + pszPath;
    }

    // The mode's setting names the port; the other names a refusing one.
    void PointAt(bool bRunMode, int nPort)
    {
        const int nOther = RefusingPort();
        Set(kUpdatesKey, "Source", UrlOf(bRunMode ? nPort : nOther, "/update/Update.exe"));
        Set(kUpdatesKey, "Description", UrlOf(bRunMode ? nOther : nPort, "/update/info.exe"));
    }

    // The mode's setting names the URL; the other names a refusing port.
    void PointModeAt(bool bRunMode, const std::string& url)
    {
        const std::string other = UrlOf(RefusingPort(), "/none");
        Set(kUpdatesKey, "Source", bRunMode ? url : other);
        Set(kUpdatesKey, "Description", bRunMode ? other : url);
    }

    // The destination and the mark of an earlier row's run are gone. The
    // program that run started may still hold its file for a moment after
    // it left its mark.
    static bool RemoveEarlierRun(const std::string& dest)
    {
        const bool bRemoved =
            WaitUntil([&] { return DeleteFileA(dest.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND; }, 10000);
        DeleteFileA((dest + ".mark").c_str());
        return bRemoved;
    }

    // Serves the body to the mode in two writes, the second after a pause.
    std::unique_ptr<ScriptedServer> ServePaused(bool bRunMode, const std::string& body, int nPauseMs)
    {
        auto server = std::make_unique<ScriptedServer>(PausedAfterFirstPart(body, nPauseMs));
        PointAt(bRunMode, server->Port());
        return server;
    }

    std::string DestOf(bool bRunMode) const
    {
        return bRunMode ? folder / "ContentCache\\Update.exe" : folder / "templates\\info.exe";
    }

    // Runs the dialog to its end and destroys it; the records are those of
    // this run alone.
    RunResult RunDialog(bool bRunMode, BoxWatcher::Answer answer = [](const ObservedBox&) { return IDOK; },
                  std::function<void(TransferDlg&)> onTick = {},
                  std::function<void(TransferDlg&)> beforeRun = {})
    {
        const size_t nEarlierRecords = log.Records().size();
        BoxWatcher watcher(std::move(answer));
        RunResult run;
        {
            TransferDlg dlg;
            dlg.m_bRunMode = bRunMode;
            dlg.onTick = std::move(onTick);
            if (beforeRun)
                beforeRun(dlg);
            run.nModal = dlg.DoModal();
            run.nOutcome = dlg.m_nOutcome;
            run.nReceived = dlg.m_nReceived;
            run.bShown = dlg.bShown;
        }
        run.boxes = watcher.Boxes();
        const std::vector<LogRecord> records = log.Records();
        run.records.assign(records.begin() + static_cast<std::ptrdiff_t>(nEarlierRecords), records.end());
        return run;
    }

    TempFolder folder{"xfer", {"ContentCache", "templates"}};
    ProxySettings direct{DWORD{0}, std::nullopt};
    LogCapture log;
};

const char* ModeName(bool bRunMode)
{
    return bRunMode ? "run mode" : "description mode";
}

} // namespace

TEST_F(Transfer, CompleteResponseIsStoredAndOnlyRunModeLaunchesIt)
{
    struct Row {
        bool bRunMode;
        bool bWithLength;
    };
    for (const Row row : {Row{true, true}, Row{false, true}, Row{true, false}}) {
        SCOPED_TRACE(std::string(ModeName(row.bRunMode)) + (row.bWithLength ? ", with length" : ", no length"));
        const std::string dest = DestOf(row.bRunMode);
        DeleteFileA(dest.c_str());
        DeleteFileA((dest + ".mark").c_str());
        const std::string body = MarkProgramBytes();
        ScriptedServer server(
            {ServerStep::ReadRequest(), ServerStep::Send(Ok(body, row.bWithLength)), ServerStep::Close()});
        PointAt(row.bRunMode, server.Port());

        const RunResult run = RunDialog(row.bRunMode);

        EXPECT_EQ(server.Request().rfind(row.bRunMode ? "GET /update/Update.exe " : "GET /update/info.exe ", 0), 0u);
        EXPECT_EQ(run.nModal, IDCANCEL);
        EXPECT_EQ(run.nOutcome, OUTCOME_COMPLETED);
        EXPECT_TRUE(run.bShown);
        EXPECT_TRUE(BoxCountIs(run.boxes, 0));
        EXPECT_TRUE(run.records.empty());
        EXPECT_TRUE(ReadWholeFile(dest) == body) << "stored " << ReadWholeFile(dest).size() << " of " << body.size();
        EXPECT_FALSE(FileExists(PartPathOf(dest)));
        EXPECT_EQ(WaitForMark(dest, row.bRunMode ? kLaunchWaitMs : kNoLaunchWaitMs), row.bRunMode);
    }
}

TEST_F(Transfer, HttpErrorIsReportedAndNothingIsLaunched)
{
    for (const bool bRunMode : {true, false}) {
        SCOPED_TRACE(ModeName(bRunMode));
        const std::string dest = DestOf(bRunMode);
        // A program from an earlier run, which must not be started.
        ASSERT_TRUE(WriteWholeFile(dest, MarkProgramBytes()));
        ScriptedServer server({ServerStep::ReadRequest(),
                               ServerStep::Send("HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found"),
                               ServerStep::Close()});
        PointAt(bRunMode, server.Port());

        const RunResult run = RunDialog(bRunMode);

        EXPECT_EQ(run.nModal, IDCANCEL);
        EXPECT_EQ(run.nOutcome, OUTCOME_HTTP_ERROR);
        ASSERT_TRUE(BoxCountIs(run.boxes, 1));
        EXPECT_EQ(run.boxes[0].text, kNoUpdatesText);
        EXPECT_EQ(run.boxes[0].caption, kCaption);
        ASSERT_EQ(LinesOf(run.records), std::vector<int>{LOG_LINE_HTTP_ERROR});
        EXPECT_EQ(run.records[0].level, 1);
        EXPECT_EQ(run.records[0].module, "UpdaterDlg");
        EXPECT_EQ(run.records[0].text, "HTTP error 404 when retrieving " + dest);
        EXPECT_TRUE(ReadWholeFile(dest) == MarkProgramBytes());
        EXPECT_FALSE(FileExists(PartPathOf(dest)));
        EXPECT_FALSE(WaitForMark(dest, kNoLaunchWaitMs));
    }
}

TEST_F(Transfer, FailedConnectionShowsTwoBoxesAndEndsUnseen)
{
    for (const bool bRunMode : {true, false}) {
        SCOPED_TRACE(ModeName(bRunMode));
        const int nSourcePort = RefusingPort();
        int nDescriptionPort = RefusingPort();
        while (nDescriptionPort == nSourcePort)
            nDescriptionPort = RefusingPort();
        Set(kUpdatesKey, "Source", UrlOf(nSourcePort, "/update/Update.exe"));
        Set(kUpdatesKey, "Description", UrlOf(nDescriptionPort, "/update/info.exe"));
        const int nModePort = bRunMode ? nSourcePort : nDescriptionPort;
        const std::string unableText =
            "Unable to connect to update server 127.0.0.1 on port " + std::to_string(nModePort) + "\n";

        const RunResult run = RunDialog(bRunMode);

        EXPECT_EQ(run.nModal, IDCANCEL);
        EXPECT_EQ(run.nOutcome, OUTCOME_CONNECTION_FAILED);
        EXPECT_FALSE(run.bShown);
        ASSERT_TRUE(BoxCountIs(run.boxes, 2)); // no cancel question
        EXPECT_EQ(run.boxes[0].text, kLostText);
        EXPECT_EQ(run.boxes[0].caption, kCaption);
        EXPECT_EQ(run.boxes[1].text, unableText);
        EXPECT_EQ(run.boxes[1].caption, kCaption);
        ASSERT_EQ(LinesOf(run.records),
                  (std::vector<int>{LOG_LINE_CONNECT_ERROR, LOG_LINE_CONNECTION_LOST, LOG_LINE_UNABLE_TO_CONNECT}));
        EXPECT_EQ(run.records[0].module, "HttpInterface");
        EXPECT_EQ(run.records[1].text,
                  "Connection to 127.0.0.1:" + std::to_string(nSourcePort) + " unexpectedly lost: Error -1");
        EXPECT_EQ(run.records[2].text, unableText);
        EXPECT_FALSE(FileExists(DestOf(bRunMode)));
    }
}

TEST_F(Transfer, FailedSendEndsAfterOneBoxWithoutTheCancelQuestion)
{
    ScriptedServer server({ServerStep::WaitForClientClose(5000)});
    PointAt(true, server.Port());
    ShutAtConnect::s_bShut = false;
    std::optional<ShutAtConnect> shut;

    const RunResult run = RunDialog(true, [](const ObservedBox&) { return IDOK; }, {},
                              [&](TransferDlg& dlg) { shut.emplace(dlg); });
    shut.reset();

    ASSERT_TRUE(ShutAtConnect::s_bShut);
    EXPECT_EQ(run.nModal, IDCANCEL);
    EXPECT_EQ(run.nOutcome, OUTCOME_CONNECTION_FAILED);
    EXPECT_FALSE(run.bShown);
    ASSERT_TRUE(BoxCountIs(run.boxes, 1));
    EXPECT_EQ(run.boxes[0].text, "Unable to connect to update server 127.0.0.1 on port " +
                                     std::to_string(server.Port()) + "\n");
    EXPECT_EQ(LinesOf(run.records), (std::vector<int>{LOG_LINE_SOCKET_FILE_ERROR, LOG_LINE_UNABLE_TO_CONNECT}));
}

TEST_F(Transfer, ConnectionLostBeforeTheEndKeepsThePreviousFile)
{
    const std::string body = MarkProgramBytes();
    const std::string halfBody = OkHeaders(body.size()) + body.substr(0, body.size() / 2);
    struct Row {
        const char* pszName;
        bool bRunMode;
        std::vector<ServerStep> script;
        bool bGraceful; // a reset may show as an error or as a normal close
    };
    const Row rows[] = {
        {"closed without an answer", true, {ServerStep::ReadRequest(), ServerStep::Close()}, true},
        {"closed inside the header block",
         true,
         {ServerStep::ReadRequest(), ServerStep::Send("HTTP/1.0 200 OK\r\nContent-Len"), ServerStep::Close()},
         true},
        {"closed in the middle of the body",
         true,
         {ServerStep::ReadRequest(), ServerStep::Send(halfBody), ServerStep::Close()},
         true},
        {"reset in the middle of the body",
         true,
         {ServerStep::ReadRequest(), ServerStep::Send(halfBody),
          ServerStep::Sleep(300), ServerStep::Reset()},
         false},
        {"one byte short",
         true,
         {ServerStep::ReadRequest(), ServerStep::Send(OkHeaders(body.size() + 1) + body), ServerStep::Close()},
         true},
        {"description mode, closed in the middle of the body",
         false,
         {ServerStep::ReadRequest(), ServerStep::Send(halfBody), ServerStep::Close()},
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        const std::string dest = DestOf(row.bRunMode);
        ASSERT_TRUE(WriteWholeFile(dest, body));
        ScriptedServer server(row.script);
        PointAt(row.bRunMode, server.Port());
        // The lost-connection report names the Source server in both modes.
        const int nSourcePort = row.bRunMode ? server.Port() : RefusingPort();
        Set(kUpdatesKey, "Source", UrlOf(nSourcePort, "/update/Update.exe"));

        const RunResult run = RunDialog(row.bRunMode);

        EXPECT_EQ(run.nModal, IDCANCEL);
        EXPECT_EQ(run.nOutcome, OUTCOME_CONNECTION_FAILED);
        ASSERT_TRUE(BoxCountIs(run.boxes, 1));
        EXPECT_EQ(run.boxes[0].text, kLostText);
        ASSERT_EQ(LinesOf(run.records), std::vector<int>{LOG_LINE_CONNECTION_LOST});
        const std::string lostText =
            "Connection to 127.0.0.1:" + std::to_string(nSourcePort) + " unexpectedly lost: Error ";
        if (row.bGraceful)
            EXPECT_EQ(run.records[0].text, lostText + "0");
        else
            EXPECT_EQ(run.records[0].text.rfind(lostText, 0), 0u) << run.records[0].text;
        EXPECT_TRUE(ReadWholeFile(dest) == body);
        EXPECT_FALSE(FileExists(PartPathOf(dest)));
        EXPECT_FALSE(WaitForMark(dest, kNoLaunchWaitMs));
    }
}

// A peer that answers a byte every 4 s, or not at all, cannot hold the
// program: the setup ends at its deadline on the failed-connect road; after
// it, a head that has not ended in 30 s or a body silent for 60 s is a lost
// connection.
TEST_F(Transfer, PeerThatTricklesOrFallsSilentEndsAtItsBound)
{
    const auto trickling = [](const std::string& first) {
        std::vector<ServerStep> script = {ServerStep::ReadRequest(), ServerStep::Send(first)};
        for (int i = 0; i < 12; ++i) {
            script.push_back(ServerStep::WaitForClientClose(4000));
            script.push_back(ServerStep::Send("x"));
        }
        return script;
    };
    const std::string body = MarkProgramBytes();
    struct Row {
        const char* pszName;
        std::vector<ServerStep> script;
        bool bProxy;      // the server is the proxy of the Source
        bool bSecure;     // the Source is https, so the proxy is asked for a tunnel
        DWORD nBoundMs;
        bool bInSetup;    // the failed-connect road, before the dialog shows
    };
    const Row rows[] = {
        {"proxy trickles its answer to a request", trickling("HTTP/1.0 200"), true, false,
         CHttpInterface::kSetupDeadlineMs, true},
        {"proxy trickles its answer to a CONNECT", trickling("HTTP/1.0 200"), true, true,
         CHttpInterface::kSetupDeadlineMs, true},
        {"server trickles its head", trickling("HTTP/1.0 200 OK\r\nX: "), false, false,
         CHttpInterface::kHeadBoundMs, false},
        {"server falls silent mid-body",
         {ServerStep::ReadRequest(), ServerStep::Send(FirstPart(body)), ServerStep::WaitForClientClose(75000)},
         false, false, CHttpInterface::kIdleBoundMs, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        ScriptedServer server(row.script);
        const int nSourcePort = row.bProxy ? RefusingPort() : server.Port();
        PointModeAt(true, (row.bSecure ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(nSourcePort) +
                              "/update/Update.exe");
        std::optional<ProxySettings> proxy;
        if (row.bProxy)
            proxy.emplace(1, "127.0.0.1:" + std::to_string(server.Port()));

        const DWORD nStart = GetTickCount();
        const RunResult run = RunDialog(true, [](const ObservedBox&) { return IDOK; }, {},
                                        [](TransferDlg& dlg) { dlg.nWatchdogMs = 80000; });
        const DWORD nElapsed = GetTickCount() - nStart;

        EXPECT_GE(nElapsed, row.nBoundMs - 500);
        EXPECT_LT(nElapsed, row.nBoundMs + 5000);
        EXPECT_EQ(run.nOutcome, OUTCOME_CONNECTION_FAILED);
        EXPECT_EQ(run.bShown, !row.bInSetup);
        EXPECT_FALSE(FileExists(DestOf(true)));
        const std::string lostText = "Connection to 127.0.0.1:" + std::to_string(nSourcePort) + " unexpectedly lost: ";
        if (row.bInSetup) {
            ASSERT_TRUE(BoxCountIs(run.boxes, 2));
            ASSERT_EQ(LinesOf(run.records), (std::vector<int>{LOG_LINE_CONNECT_ERROR, LOG_LINE_CONNECTION_LOST,
                                                              LOG_LINE_UNABLE_TO_CONNECT}));
            EXPECT_EQ(run.records[0].text, "Error 10060 connecting to host: '127.0.0.1'");
            EXPECT_EQ(run.records[1].text, lostText + "Error -1");
        } else {
            ASSERT_TRUE(BoxCountIs(run.boxes, 1));
            EXPECT_EQ(run.boxes[0].text, kLostText);
            ASSERT_EQ(LinesOf(run.records), std::vector<int>{LOG_LINE_CONNECTION_LOST});
            EXPECT_EQ(run.records[0].text, lostText + "Error 10060");
        }
    }
}

TEST_F(Transfer, CancelConfirmedMidBodyKeepsThePreviousFile)
{
    const std::string previous = MarkProgramBytes();
    const std::string body = previous + "new";
    const std::string dest = DestOf(true);
    ASSERT_TRUE(WriteWholeFile(dest, previous));
    const std::string firstPart = FirstPart(body);
    const auto server = ServePaused(true, body, 2000);
    bool bTempAtCancel = false;

    const RunResult run = RunDialog(true, [](const ObservedBox&) { return IDYES; }, [&](TransferDlg& dlg) {
        dlg.CancelWhen([&](const TransferDlg& d) {
            bTempAtCancel = FileExists(PartPathOf(dest));
            return d.m_nReceived >= firstPart.size();
        });
    });

    EXPECT_EQ(run.nModal, IDCANCEL);
    EXPECT_EQ(run.nOutcome, OUTCOME_CANCELLED);
    ASSERT_TRUE(BoxCountIs(run.boxes, 1));
    EXPECT_EQ(run.boxes[0].text, kConfirmText);
    EXPECT_TRUE(bTempAtCancel);
    EXPECT_TRUE(run.records.empty());
    EXPECT_TRUE(ReadWholeFile(dest) == previous);
    EXPECT_FALSE(FileExists(PartPathOf(dest)));
    EXPECT_FALSE(WaitForMark(dest, kNoLaunchWaitMs));
}

TEST_F(Transfer, CancelAnsweredNoLetsTheTransferComplete)
{
    const std::string body = MarkProgramBytes();
    const std::string dest = DestOf(false);
    const std::string firstPart = FirstPart(body);
    const auto server = ServePaused(false, body, 1000);
    const TransferDlg* pDlg = nullptr;
    uint32_t nReceivedAtAnswer = 0;

    const RunResult run = RunDialog(
        false,
        [&](const ObservedBox&) {
            nReceivedAtAnswer = pDlg->m_nReceived;
            return IDNO;
        },
        [&](TransferDlg& dlg) {
            pDlg = &dlg;
            dlg.CancelWhen([&](const TransferDlg& d) { return d.m_nReceived >= firstPart.size(); });
        });

    EXPECT_EQ(run.nModal, IDCANCEL);
    EXPECT_EQ(run.nOutcome, OUTCOME_COMPLETED);
    ASSERT_TRUE(BoxCountIs(run.boxes, 1));
    EXPECT_EQ(run.boxes[0].text, kConfirmText);
    EXPECT_EQ(nReceivedAtAnswer, firstPart.size());
    EXPECT_EQ(run.nReceived, OkHeaders(body.size()).size() + body.size());
    EXPECT_TRUE(ReadWholeFile(dest) == body);
    EXPECT_FALSE(FileExists(PartPathOf(dest)));
}

TEST_F(Transfer, TransferEndingWhileTheConfirmationIsOpenClosesWithoutASecondQuestion)
{
    const std::string body = MarkProgramBytes();
    const std::string dest = DestOf(false);
    const std::string firstPart = FirstPart(body);
    for (const int nAnswer : {IDYES, IDNO}) {
        SCOPED_TRACE(nAnswer == IDYES ? "answered Yes afterwards" : "answered No afterwards");
        DeleteFileA(dest.c_str());
        const auto server = ServePaused(false, body, 500);
        HWND hConfirmation = nullptr;
        bool bEndedWithBoxOpen = false;

        const RunResult run = RunDialog(
            false,
            [&](const ObservedBox& box) {
                hConfirmation = box.hWnd;
                return 0; // left open
            },
            [&](TransferDlg& dlg) {
                dlg.CancelWhen([&](const TransferDlg& d) { return d.m_nReceived >= firstPart.size(); });
                if (hConfirmation && dlg.m_bClosed && !bEndedWithBoxOpen) {
                    bEndedWithBoxOpen = IsWindow(hConfirmation) != FALSE;
                    PressButton(hConfirmation, nAnswer);
                }
            });

        EXPECT_TRUE(bEndedWithBoxOpen);
        EXPECT_EQ(run.nModal, IDCANCEL);
        EXPECT_EQ(run.nOutcome, OUTCOME_COMPLETED);
        ASSERT_TRUE(BoxCountIs(run.boxes, 1));
        EXPECT_EQ(run.boxes[0].text, kConfirmText);
        EXPECT_TRUE(ReadWholeFile(dest) == body);
        EXPECT_FALSE(FileExists(PartPathOf(dest)));
    }
}

TEST_F(Transfer, DestinationThatCannotBeWrittenIsLoggedAndNothingIsLaunched)
{
    const std::string body = MarkProgramBytes();
    struct Row {
        bool bRunMode;
        bool bLocked; // otherwise the destination folder is missing
    };
    for (const Row row : {Row{true, false}, Row{true, true}, Row{false, false}, Row{false, true}}) {
        SCOPED_TRACE(std::string(ModeName(row.bRunMode)) + (row.bLocked ? ", locked" : ", no folder"));
        if (!row.bLocked)
            Set(kSuiteKey, "RootPath", folder / "missing");
        const std::string dest = row.bLocked ? DestOf(row.bRunMode)
                                             : folder / (row.bRunMode ? "missing\\ContentCache\\Update.exe"
                                                                      : "missing\\templates\\info.exe");
        const std::string previous = "previous";
        HANDLE hLock = INVALID_HANDLE_VALUE;
        if (row.bLocked) {
            ASSERT_TRUE(WriteWholeFile(dest, previous));
            hLock = CreateFileA(dest.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(hLock, INVALID_HANDLE_VALUE);
        }
        ScriptedServer server({ServerStep::ReadRequest(), ServerStep::Send(Ok(body)), ServerStep::Close()});
        PointAt(row.bRunMode, server.Port());

        const RunResult run = RunDialog(row.bRunMode);
        if (hLock != INVALID_HANDLE_VALUE)
            CloseHandle(hLock);

        EXPECT_EQ(run.nModal, IDCANCEL);
        EXPECT_EQ(run.nOutcome, OUTCOME_STORE_FAILED);
        ASSERT_EQ(LinesOf(run.records), std::vector<int>{LOG_LINE_WRITE_ERROR});
        EXPECT_EQ(run.records[0].level, 0);
        EXPECT_EQ(run.records[0].text.rfind("Error writing to " + dest + ": ", 0),
                  0u)
            << run.records[0].text;
        if (row.bRunMode) {
            ASSERT_TRUE(BoxCountIs(run.boxes, 1));
            EXPECT_EQ(run.boxes[0].text,
                      "An error occurred launching " + dest + ". See your Quillbrook event log for more information.");
            EXPECT_EQ(run.boxes[0].caption, kCaption);
        } else {
            EXPECT_TRUE(BoxCountIs(run.boxes, 0));
        }
        if (row.bLocked)
            EXPECT_EQ(ReadWholeFile(dest), previous);
        else
            EXPECT_FALSE(FileExists(dest));
        EXPECT_FALSE(FileExists(PartPathOf(dest)));
        Set(kSuiteKey, "RootPath", folder.Path());
    }
}

TEST_F(Transfer, TemporaryFileCannotBeRemovedWhileTheBodyArrives)
{
    const std::string body = MarkProgramBytes();
    const std::string dest = DestOf(true);
    const std::string firstPart = FirstPart(body);
    const auto server = ServePaused(true, body, 1000);
    bool bTried = false;
    BOOL bRemoved = TRUE;

    const RunResult run = RunDialog(true, [](const ObservedBox&) { return IDOK; }, [&](TransferDlg& dlg) {
        if (!bTried && dlg.m_nReceived >= firstPart.size()) {
            bTried = true;
            bRemoved = DeleteFileA(PartPathOf(dest).c_str());
        }
    });

    ASSERT_TRUE(bTried);
    EXPECT_FALSE(bRemoved);
    EXPECT_EQ(run.nOutcome, OUTCOME_COMPLETED);
    EXPECT_TRUE(run.records.empty());
    EXPECT_TRUE(ReadWholeFile(dest) == body);
    EXPECT_TRUE(WaitForMark(dest, kLaunchWaitMs));
}

// Real proxies keep the connection open after the response, for a next
// request; the update must end at the announced length all the same.
TEST_F(Transfer, ThroughEachProxyTheUpdateEndsAtTheAnnouncedLength)
{
    const std::string program = MarkProgramBytes();
    const std::string page = "<html>" + std::string(5000, 'p') + "</html>";
    struct Proxy {
        const char* pszName;
        int nPort;
    };
    const Proxy proxies[] = {
        {"tinyproxy", ProxyPortOf("TINYPROXY_PORT_FILE")},
        {"squid", ProxyPortOf("SQUID_PORT_FILE")},
        {"privoxy", ProxyPortOf("PRIVOXY_PORT_FILE")},
    };
    struct Row {
        bool bRunMode;
        bool bFound;
    };
    for (const Proxy& proxy : proxies) {
        ASSERT_NE(proxy.nPort, 0) << proxy.pszName << ": run through ctest, which starts the proxies";
        ProxySettings settings(1, "http=127.0.0.1:" + std::to_string(proxy.nPort));
        for (const Row row : {Row{true, true}, Row{false, true}, Row{true, false}}) {
            SCOPED_TRACE(std::string(proxy.pszName) + ", " + ModeName(row.bRunMode) +
                         (row.bFound ? "" : ", 404 from the origin"));
            const std::string dest = DestOf(row.bRunMode);
            DeleteFileA(dest.c_str());
            DeleteFileA((dest + ".mark").c_str());
            const std::string body = row.bRunMode ? program : page;
            ScriptedServer origin({ServerStep::ReadRequest(),
                                   ServerStep::Send(row.bFound ? Ok(body)
                                                               : "HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\n"
                                                                 "not found"),
                                   ServerStep::Close()});
            PointAt(row.bRunMode, origin.Port());

            const DWORD nStart = GetTickCount();
            const RunResult run = RunDialog(row.bRunMode);
            EXPECT_LT(GetTickCount() - nStart, 5000u);

            EXPECT_EQ(origin.Connections(), 1);
            if (row.bFound) {
                EXPECT_EQ(run.nOutcome, OUTCOME_COMPLETED);
                EXPECT_TRUE(BoxCountIs(run.boxes, 0));
                EXPECT_TRUE(run.records.empty());
                EXPECT_TRUE(ReadWholeFile(dest) == body)
                    << "stored " << ReadWholeFile(dest).size() << " of " << body.size();
            } else {
                EXPECT_EQ(run.nOutcome, OUTCOME_HTTP_ERROR);
                ASSERT_TRUE(BoxCountIs(run.boxes, 1));
                EXPECT_EQ(run.boxes[0].text, kNoUpdatesText);
                EXPECT_EQ(LinesOf(run.records), std::vector<int>{LOG_LINE_HTTP_ERROR});
                EXPECT_FALSE(FileExists(dest));
            }
            EXPECT_FALSE(FileExists(PartPathOf(dest)));
            EXPECT_EQ(WaitForMark(dest, row.bRunMode && row.bFound ? kLaunchWaitMs : kNoLaunchWaitMs),
                      row.bRunMode && row.bFound);
        }
    }
}

// A proxy that answers as squid does and then holds the connection: the
// strict length decides the end, not a lookalike header before it.
TEST_F(Transfer, HeldProxyConnectionEndsAtTheRealContentLength)
{
    const std::string body = MarkProgramBytes();
    const std::string dest = DestOf(true);
    ScriptedServer proxy({ServerStep::ReadRequest(),
                          ServerStep::Send("HTTP/1.1 200 OK\r\nX-Content-Length: 5\r\nContent-Length: " +
                                           std::to_string(body.size()) + "\r\nConnection: keep-alive\r\n\r\n" + body),
                          ServerStep::WaitForClientClose(15000)});
    ProxySettings settings(1, "127.0.0.1:" + std::to_string(proxy.Port()));
    PointAt(true, RefusingPort());

    const DWORD nStart = GetTickCount();
    const RunResult run = RunDialog(true);
    EXPECT_LT(GetTickCount() - nStart, 5000u);

    EXPECT_EQ(run.nOutcome, OUTCOME_COMPLETED);
    EXPECT_TRUE(BoxCountIs(run.boxes, 0));
    EXPECT_TRUE(ReadWholeFile(dest) == body) << "stored " << ReadWholeFile(dest).size() << " of " << body.size();
    EXPECT_TRUE(WaitForMark(dest, kLaunchWaitMs));
}

// https: nginx with certificates of a throwaway CA that only the test prefix
// trusts, a scripted TLS origin that cuts its bodies, and the proxies that
// tunnel to them. Each row runs the dialog once.
TEST_F(Transfer, SecureUpdateComesOnlyWholeFromAVerifiedServer)
{
    const std::string www = TlsFixtureFolder() + "\\www";
    ASSERT_NE(TlsPortOf("good"), 0) << "no TLS servers: run through ctest, which starts them";
    const std::string program = MarkProgramBytes();
    const std::string page = "<html>" + std::string(40000, 'p') + "</html>";
    ASSERT_TRUE(WriteWholeFile(www + "\\Update.exe", program));
    ASSERT_TRUE(WriteWholeFile(www + "\\info.exe", page));
    // Accepts, and never says a word of the handshake.
    ScriptedServer silent({ServerStep::WaitForClientClose(30000)});

    const LONG kAnyError = 1;
    const LONG kNoConnectError = 0;
    struct Row {
        const char* pszName;
        const char* pszServer; // a server of the TLS fixture, or "silent"
        const char* pszPath;   // below the server; Update.exe or info.exe by mode when empty
        const char* pszProxy;  // a proxy fixture whose https entry is set, or none
        bool bRunMode;
        int nOutcome;
        LONG nConnectError;   // the error of the connect record, when the connect failed
        const char* pszHost = "localhost";
    };
    const Row rows[] = {
        {"run mode", "good", "", nullptr, true, OUTCOME_COMPLETED, kNoConnectError},
        {"description mode", "good", "", nullptr, false, OUTCOME_COMPLETED, kNoConnectError},
        {"404", "good", "/missing.exe", nullptr, true, OUTCOME_HTTP_ERROR, kNoConnectError},
        {"certificate for another name", "other-name", "", nullptr, true, OUTCOME_CONNECTION_FAILED,
         CERT_E_CN_NO_MATCH},
        {"expired certificate", "expired", "", nullptr, true, OUTCOME_CONNECTION_FAILED, CERT_E_EXPIRED},
        {"self-signed certificate", "self-signed", "", nullptr, true, OUTCOME_CONNECTION_FAILED,
         CERT_E_UNTRUSTEDROOT},
        {"certificate of an untrusted CA", "untrusted-ca", "", nullptr, true, OUTCOME_CONNECTION_FAILED,
         CERT_E_CHAINING},
        {"plain HTTP server", "plain", "", nullptr, true, OUTCOME_CONNECTION_FAILED, kAnyError},
        {"silent server", "silent", "", nullptr, true, OUTCOME_CONNECTION_FAILED, WSAETIMEDOUT},
        {"cut without close_notify, with length", "origin", "/cut-length/Update.exe", nullptr, true,
         OUTCOME_CONNECTION_FAILED, kNoConnectError},
        {"cut without close_notify, no length", "origin", "/cut-nolength/Update.exe", nullptr, true,
         OUTCOME_CONNECTION_FAILED, kNoConnectError},
        {"whole with close_notify, no length", "origin", "/whole-nolength/Update.exe", nullptr, true,
         OUTCOME_COMPLETED, kNoConnectError},
        // Lost at once, not when the server closes 8 s later.
        {"a record header announcing 65,535 bytes", "origin", "/oversize-record/Update.exe", nullptr, true,
         OUTCOME_CONNECTION_FAILED, kNoConnectError},
        {"server asks for a client certificate", "client-cert", "", nullptr, true, OUTCOME_COMPLETED,
         kNoConnectError},
        {"through squid", "good", "", "SQUID_PORT_FILE", true, OUTCOME_COMPLETED, kNoConnectError},
        {"through tinyproxy", "good", "", "TINYPROXY_PORT_FILE", true, OUTCOME_COMPLETED, kNoConnectError},
        {"through privoxy", "good", "", "PRIVOXY_PORT_FILE", false, OUTCOME_COMPLETED, kNoConnectError},
        // squid refuses tunnels to ports below 1024.
        {"tunnel refused by squid", "443", "", "SQUID_PORT_FILE", true, OUTCOME_HTTP_ERROR, kNoConnectError},
        // A certificate names an address in its IP address entries.
        {"IPv6 address, certificate for it", "address", "", nullptr, true, OUTCOME_COMPLETED, kNoConnectError,
         "[::1]"},
        {"IPv6 address, certificate for another", "other-address", "", nullptr, true, OUTCOME_CONNECTION_FAILED,
         CERT_E_CN_NO_MATCH, "[::1]"},
        {"IPv6 address, certificate for a name", "good", "", nullptr, true, OUTCOME_CONNECTION_FAILED,
         CERT_E_CN_NO_MATCH, "[::1]"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        const std::string dest = DestOf(row.bRunMode);
        ASSERT_TRUE(RemoveEarlierRun(dest)) << dest;
        const std::string server = row.pszServer;
        const int nPort = server == "silent" ? silent.Port() : server == "443" ? 443 : TlsPortOf(server);
        ASSERT_NE(nPort, 0) << server;
        const std::string path = *row.pszPath ? row.pszPath : row.bRunMode ? "/Update.exe" : "/info.exe";
        PointModeAt(row.bRunMode, std::string("https://") + row.pszHost + ":" + std::to_string(nPort) + path);
        std::optional<ProxySettings> proxy;
        if (row.pszProxy) {
            const int nProxyPort = ProxyPortOf(row.pszProxy);
            ASSERT_NE(nProxyPort, 0) << row.pszProxy << ": run through ctest, which starts the proxies";
            proxy.emplace(1, "http=127.0.0.1:1;https=127.0.0.1:" + std::to_string(nProxyPort));
        }

        const DWORD nStart = GetTickCount();
        const RunResult run = RunDialog(row.bRunMode);
        EXPECT_LT(GetTickCount() - nStart,
                  row.nConnectError == WSAETIMEDOUT ? CHttpInterface::kSetupDeadlineMs + 5000 : 5000u);

        EXPECT_EQ(run.nOutcome, row.nOutcome) << DescribeBoxes(run.boxes);
        const bool bStored = row.nOutcome == OUTCOME_COMPLETED;
        if (bStored) {
            const std::string& body = row.bRunMode ? program : page;
            EXPECT_TRUE(ReadWholeFile(dest) == body)
                << "stored " << ReadWholeFile(dest).size() << " of " << body.size();
            EXPECT_TRUE(BoxCountIs(run.boxes, 0));
            EXPECT_TRUE(run.records.empty());
        } else if (row.nOutcome == OUTCOME_HTTP_ERROR) {
            ASSERT_TRUE(BoxCountIs(run.boxes, 1));
            EXPECT_EQ(run.boxes[0].text, kNoUpdatesText);
            EXPECT_EQ(LinesOf(run.records), std::vector<int>{LOG_LINE_HTTP_ERROR});
        } else if (row.nConnectError != kNoConnectError) {
            // The failed-connect road: the lost-connection box, then the
            // start's own; records 405, 615, 493.
            EXPECT_TRUE(BoxCountIs(run.boxes, 2));
            ASSERT_EQ(LinesOf(run.records),
                      (std::vector<int>{LOG_LINE_CONNECT_ERROR, LOG_LINE_CONNECTION_LOST, LOG_LINE_UNABLE_TO_CONNECT}));
            if (row.nConnectError != kAnyError) {
                EXPECT_EQ(run.records[0].text, "Error " + std::to_string(row.nConnectError) +
                                                   " connecting to host: '" + row.pszHost + "'");
            }
        } else {
            EXPECT_TRUE(BoxCountIs(run.boxes, 1));
            EXPECT_EQ(LinesOf(run.records), std::vector<int>{LOG_LINE_CONNECTION_LOST});
        }
        if (!bStored) {
            EXPECT_FALSE(FileExists(dest));
        }
        EXPECT_FALSE(FileExists(PartPathOf(dest)));
        EXPECT_EQ(WaitForMark(dest, bStored && row.bRunMode ? kLaunchWaitMs : kNoLaunchWaitMs),
                  bStored && row.bRunMode);
    }
}

// The user's configuration script and bypass list, with squid as the proxy
// that they name and a refused port as the proxy that must not be used.
namespace {

const DWORD kScriptBoundMs = 5000;
const char kScriptNotUsed[] = "not used, the manual proxy setting applies: ";

// How often squid's access log names the URL.
int SquidLogCount(const std::string& url)
{
    const char* pszPortFile = std::getenv("SQUID_PORT_FILE");
    if (!pszPortFile)
        return -1;
    const std::string portFile = pszPortFile;
    const std::string log = ReadWholeFile(WindowsPath(portFile.substr(0, portFile.rfind('/')) + "/squid-access.log"));
    int nCount = 0;
    for (size_t n = log.find(" " + url + " "); n != std::string::npos; n = log.find(" " + url + " ", n + 1))
        ++nCount;
    return nCount;
}

// Squid names itself in the request it passes on.
bool CameThroughSquid(const ScriptedServer& origin)
{
    return origin.Request().find("\r\nVia: ") != std::string::npos;
}

std::string ProxyOn(int nPort)
{
    return "127.0.0.1:" + std::to_string(nPort);
}

} // namespace

TEST_F(Transfer, ScriptNamingSquidSendsTheUpdateThroughSquid)
{
    const int nSquidPort = ProxyPortOf("SQUID_PORT_FILE");
    ASSERT_NE(nSquidPort, 0) << "run through ctest, which starts squid";
    for (const bool bRunMode : {true, false}) {
        SCOPED_TRACE(ModeName(bRunMode));
        const std::string dest = DestOf(bRunMode);
        DeleteFileA(dest.c_str());
        const std::string body = bRunMode ? MarkProgramBytes() : "<html>page</html>";
        ScriptedServer origin(Answering(Ok(body)));
        PointAt(bRunMode, origin.Port());
        const std::string url = UrlOf(origin.Port(), bRunMode ? "/update/Update.exe" : "/update/info.exe");
        // Squid only for the whole URL and host that the script must get; a
        // dead proxy otherwise.
        const std::string script = "function FindProxyForURL(url, host) {\n"
                                   "  if (url == \"" + url + "\" && host == \"127.0.0.1\" && !isPlainHostName(host)"
                                   " && isInNet(dnsResolve(host), \"127.0.0.0\", \"255.0.0.0\"))\n"
                                   "    return \"PROXY " + ProxyOn(nSquidPort) + "; DIRECT\";\n"
                                   "  return \"PROXY " + ProxyOn(RefusingPort()) + "\";\n}\n";
        ScriptedServer scriptServer(Answering(OkResponse(script)));
        ProxySettings settings(1, ProxyOn(RefusingPort()), std::nullopt,
                               UrlOf(scriptServer.Port(), "/proxy.pac"));
        const int nLoggedBefore = SquidLogCount(url);

        const RunResult run = RunDialog(bRunMode);

        EXPECT_EQ(scriptServer.Request().rfind("GET /proxy.pac HTTP/", 0), 0u) << scriptServer.Request();
        EXPECT_EQ(run.nOutcome, OUTCOME_COMPLETED);
        EXPECT_TRUE(BoxCountIs(run.boxes, 0));
        EXPECT_TRUE(run.records.empty());
        EXPECT_TRUE(ReadWholeFile(dest) == body);
        EXPECT_TRUE(CameThroughSquid(origin)) << origin.Request();
        EXPECT_TRUE(WaitUntil([&] { return SquidLogCount(url) > nLoggedBefore; }, 5000)) << url;
    }

    // An https URL is asked about whole, and squid, named by its IPv6
    // address, carries its tunnel.
    const int nTlsPort = TlsPortOf("good");
    ASSERT_NE(nTlsPort, 0) << "run through ctest, which starts the TLS servers";
    const std::string program = MarkProgramBytes();
    ASSERT_TRUE(WriteWholeFile(TlsFixtureFolder() + "\\www\\Update.exe", program));
    const std::string authority = "localhost:" + std::to_string(nTlsPort);
    const std::string url = "https://" + authority + "/Update.exe";
    Set(kUpdatesKey, "Source", url);
    const std::string script = "function FindProxyForURL(url, host) {\n"
                               "  if (url == \"" + url + "\" && host == \"localhost\")\n"
                               "    return \"PROXY [::1]:" + std::to_string(nSquidPort) + "\";\n"
                               "  return \"PROXY " + ProxyOn(RefusingPort()) + "\";\n}\n";
    ScriptedServer scriptServer(Answering(OkResponse(script)));
    ProxySettings settings(1, ProxyOn(RefusingPort()), std::nullopt, UrlOf(scriptServer.Port(), "/proxy.pac"));
    const int nTunnelsBefore = SquidLogCount(authority);

    const RunResult run = RunDialog(true);

    EXPECT_EQ(run.nOutcome, OUTCOME_COMPLETED) << DescribeBoxes(run.boxes);
    EXPECT_TRUE(ReadWholeFile(DestOf(true)) == program);
    EXPECT_TRUE(WaitUntil([&] { return SquidLogCount(authority) > nTunnelsBefore; }, 5000)) << authority;
}

TEST_F(Transfer, ScriptAnsweringDirectGoesPastTheManualProxy)
{
    const std::string script = "function FindProxyForURL(url, host) { return \"DIRECT; PROXY 127.0.0.1:1\"; }";
    ScriptedServer scriptServer(Answering(OkResponse(script)));
    // Hosted proxy services serve their scripts over https.
    const int nTlsPort = TlsPortOf("good");
    ASSERT_NE(nTlsPort, 0) << "run through ctest, which starts the TLS servers";
    ASSERT_TRUE(WriteWholeFile(TlsFixtureFolder() + "\\www\\proxy.pac", script));
    for (const std::string& scriptUrl :
         {UrlOf(scriptServer.Port(), "/proxy.pac"), "https://localhost:" + std::to_string(nTlsPort) + "/proxy.pac"}) {
        SCOPED_TRACE(scriptUrl);
        const std::string body = "<html>page</html>";
        ScriptedServer origin(Answering(Ok(body)));
        PointAt(false, origin.Port());
        ProxySettings settings(1, ProxyOn(RefusingPort()), std::nullopt, scriptUrl);

        const RunResult run = RunDialog(false);

        EXPECT_EQ(run.nOutcome, OUTCOME_COMPLETED);
        EXPECT_TRUE(run.records.empty()) << run.records[0].text;
        EXPECT_TRUE(ReadWholeFile(DestOf(false)) == body);
        EXPECT_FALSE(CameThroughSquid(origin));
    }
}

TEST_F(Transfer, UnusableScriptFallsBackToTheManualProxyWithinTheBoundAndIsRecorded)
{
    const int nSquidPort = ProxyPortOf("SQUID_PORT_FILE");
    ASSERT_NE(nSquidPort, 0) << "run through ctest, which starts squid";
    struct Row {
        const char* pszName;
        std::vector<ServerStep> script; // empty: the script's port refuses
        std::string reason;             // the start of the record's reason
        bool bWaitsForTheBound;
    };
    const auto scriptOf = [](const char* pszBody) {
        return Answering(OkResponse(std::string("function FindProxyForURL(url, host) { ") + pszBody + " }"));
    };
    const Row rows[] = {
        {"refused", {}, "the script could not be downloaded: error 12167", false},
        {"404", Answering("HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found"),
         "the script could not be downloaded: error 12167", false},
        {"broken script", scriptOf("return \"PROXY\" + ; "), "the script failed: error ", false},
        {"script returns null", scriptOf("return null;"), "the script failed: error ", false},
        // The script engine crashes on it, in the lookup's process.
        {"script returns a number", scriptOf("return 42;"), "the lookup ended without an answer, exit code 0xC0000005",
         false},
        {"accepts and never answers", {ServerStep::ReadRequest(), ServerStep::WaitForClientClose(15000)},
         "no answer within 5 seconds", true},
        {"stalls in the script's body",
         {ServerStep::ReadRequest(),
          ServerStep::Send("HTTP/1.0 200 OK\r\nContent-Length: 500\r\n\r\nfunction FindProxyForURL("),
          ServerStep::WaitForClientClose(15000)},
         "no answer within 5 seconds", true},
        {"script never returns", scriptOf("for (;;) {}"), "no answer within 5 seconds", true},
    };
    ProxySettings manual(1, ProxyOn(nSquidPort));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        const std::string body = "<html>" + std::string(row.pszName) + "</html>";
        ScriptedServer origin(Answering(Ok(body)));
        PointAt(false, origin.Port());
        std::optional<ScriptedServer> scriptServer;
        if (!row.script.empty())
            scriptServer.emplace(row.script);
        const std::string scriptUrl =
            UrlOf(scriptServer ? scriptServer->Port() : RefusingPort(), "/proxy.pac");
        ProxySettings settings(1, ProxyOn(nSquidPort), std::nullopt, scriptUrl);

        const DWORD nStart = GetTickCount();
        const RunResult run = RunDialog(false);
        const DWORD nElapsed = GetTickCount() - nStart;

        EXPECT_LT(nElapsed, kScriptBoundMs + 2500);
        if (row.bWaitsForTheBound) {
            EXPECT_GE(nElapsed, kScriptBoundMs - 500);
        }
        EXPECT_EQ(run.nOutcome, OUTCOME_COMPLETED);
        EXPECT_TRUE(BoxCountIs(run.boxes, 0));
        EXPECT_TRUE(ReadWholeFile(DestOf(false)) == body);
        EXPECT_TRUE(CameThroughSquid(origin)) << origin.Request();
        ASSERT_EQ(LinesOf(run.records), std::vector<int>{LOG_LINE_PROXY_SCRIPT_NOT_USED});
        EXPECT_EQ(run.records[0].level, 1);
        EXPECT_EQ(run.records[0].module, "ProxyScript");
        const std::string expected = "Proxy configuration script " + scriptUrl + " " + kScriptNotUsed + row.reason;
        EXPECT_EQ(run.records[0].text.rfind(expected, 0), 0u) << run.records[0].text;
    }
}

TEST_F(Transfer, BypassListDecidesBetweenTheProxyAndADirectConnection)
{
    const int nSquidPort = ProxyPortOf("SQUID_PORT_FILE");
    ASSERT_NE(nSquidPort, 0) << "run through ctest, which starts squid";
    // Large companies list hundreds of hosts, the update server anywhere.
    std::string longList;
    for (int i = 0; longList.size() < 4096; ++i)
        longList += "host" + std::to_string(i) + ".corp.example; ";
    struct Row {
        std::string override;
        bool bListed; // listed: direct past a dead proxy; otherwise through squid
    };
    const Row rows[] = {
        {"other.example;127.0.0.1", true},
        {"<local>; *.example; 127.0.0.*", true},
        {"other.example;<local>;10.*;127.0.0.1:1", false},
        {longList + "127.0.0.1", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.override.substr(0, 80));
        const std::string body = "<html>page</html>";
        ScriptedServer origin(Answering(Ok(body)));
        PointAt(false, origin.Port());
        ProxySettings settings(1, ProxyOn(row.bListed ? RefusingPort() : nSquidPort), row.override);

        const RunResult run = RunDialog(false);

        EXPECT_EQ(run.nOutcome, OUTCOME_COMPLETED);
        EXPECT_TRUE(run.records.empty());
        EXPECT_TRUE(ReadWholeFile(DestOf(false)) == body);
        EXPECT_EQ(CameThroughSquid(origin), !row.bListed) << origin.Request();
    }
}

// A proxy that asks for sign-in, played by a scripted server, with the
// Basic credential saved for it: the retry on the connection the proxy
// kept, or on a new one after a 407 that closed it.
TEST_F(Transfer, ProxySignInRetriesOnTheKeptOrANewConnection)
{
    const std::string body = MarkProgramBytes();
    const std::string challenge = "HTTP/1.0 407 Proxy Authentication Required\r\n"
                                  "Proxy-Authenticate: Digest realm=\"corp\", nonce=\"x\"\r\n"
                                  "Proxy-Authenticate: Basic realm=\"corp\"\r\n";
    const std::string page = "<html>sign in</html>";
    const std::string basic = "Proxy-Authorization: Basic " + Base64Of("suiteuser:Suite-Pass-1") + "\r\n";
    struct Row {
        const char* pszName;
        std::vector<ServerStep> script; // played for every connection
        int nOutcome;
        int nConnections;
        const char* pszFailures; // of the sign-in record; none when the update came
    };
    const Row rows[] = {
        {"kept connection",
         {ServerStep::ReadRequest(),
          ServerStep::Send(challenge + "Content-Length: " + std::to_string(page.size()) +
                           "\r\nConnection: keep-alive\r\n\r\n" + page),
          ServerStep::ReadRequest(), ServerStep::Send(Ok(body)), ServerStep::WaitForClientClose(5000)},
         OUTCOME_COMPLETED, 1, nullptr},
        {"closed after the 407, refused again",
         {ServerStep::ReadRequest(), ServerStep::Send(challenge + "Connection: close\r\n\r\n" + page),
          ServerStep::Close()},
         OUTCOME_HTTP_ERROR, 2, "Basic: refused; Digest: not supported"},
    };
    SavedCredential credential(CRED_TYPE_GENERIC, "127.0.0.1", "suiteuser", "Suite-Pass-1");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        const std::string dest = DestOf(true);
        DeleteFileA(dest.c_str());
        ScriptedServer proxy(row.script);
        ProxySettings settings(1, ProxyOn(proxy.Port()));
        PointAt(true, RefusingPort());

        const RunResult run = RunDialog(true);

        EXPECT_EQ(run.nOutcome, row.nOutcome) << DescribeBoxes(run.boxes) << (run.records.empty() ? "" : run.records[0].text);
        ASSERT_TRUE(WaitUntil([&] { return proxy.Connections() == row.nConnections; }, 5000));
        // The first request as ever, the retry with the sign-in and the
        // request to keep the connection.
        const std::string first = proxy.Request(0).substr(0, proxy.Request(0).find("\r\n\r\n") + 4);
        EXPECT_EQ(first.find("Proxy-Authorization"), std::string::npos) << first;
        const std::string retry = row.nConnections == 1 ? proxy.Request(0).substr(first.size()) : proxy.Request(1);
        EXPECT_NE(retry.find("\r\nProxy-Connection: Keep-Alive\r\n" + basic + "\r\n"), std::string::npos) << retry;
        if (row.nOutcome == OUTCOME_COMPLETED) {
            EXPECT_TRUE(ReadWholeFile(dest) == body);
            EXPECT_TRUE(run.records.empty());
            EXPECT_TRUE(WaitForMark(dest, kLaunchWaitMs));
        } else {
            EXPECT_FALSE(FileExists(dest));
            ASSERT_EQ(LinesOf(run.records), (std::vector<int>{LOG_LINE_PROXY_SIGN_IN_FAILED, LOG_LINE_HTTP_ERROR}));
            EXPECT_EQ(run.records[0].level, 0);
            EXPECT_EQ(run.records[0].module, "HttpInterface");
            EXPECT_EQ(run.records[0].text, "Sign-in to the proxy 127.0.0.1 failed: " + std::string(row.pszFailures));
            EXPECT_EQ(run.records[1].text, "HTTP error 407 when retrieving " + dest);
        }
    }
}

// Squid asking for sign-in as enterprise proxies do (the sign-in fixture):
// Negotiate with the user's Kerberos ticket (the test command's
// KRB5CCNAME), NTLM with the Windows credential saved for the proxy's host,
// Basic with the generic one; requests and tunnels alike.
TEST_F(Transfer, SignInToSquidWithTheUsersCredentials)
{
    ASSERT_NE(AuthProxyPortOf("all"), 0) << "no sign-in proxies: run through ctest, which starts them";
    const int nTlsPort = TlsPortOf("good");
    ASSERT_NE(nTlsPort, 0) << "no TLS servers: run through ctest, which starts them";
    const std::string program = MarkProgramBytes();
    ASSERT_TRUE(WriteWholeFile(TlsFixtureFolder() + "\\www\\Update.exe", program));
    std::string large(4 << 20, '\0');
    for (size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i * 7 + i / 4093);
    enum Saved { kNothing, kNtlm, kBasic, kWrongNtlm, kWrongBasic };
    const std::string kerberos = std::string(kAuthUser) + "@" + kAuthRealm;
    const std::string windows = std::string(kAuthNtlmDomain) + "\\\\" + kAuthUser; // squid escapes the '\\'
    const char* const kKerberos = kerberos.c_str();
    const char* const kWindows = windows.c_str();
    // The lines of a sign-in squid's access log that name the request and the user.
    const auto loggedFor = [](const char* pszProxy, const std::string& request, const char* pszUser) {
        const char* pszDir = std::getenv("AUTH_FIXTURE_DIR");
        const std::string log =
            pszDir ? ReadWholeFile(WindowsPath(std::string(pszDir) + "/squid-" + pszProxy + "-access.log")) : "";
        int nCount = 0;
        const std::string entry = " " + request + " " + pszUser + " ";
        for (size_t n = log.find(entry); n != std::string::npos; n = log.find(entry, n + 1))
            ++nCount;
        return nCount;
    };
    struct Row {
        const char* pszName;
        const char* pszProxy; // its name in the fixture's ports
        bool bTunnel;         // an https URL on the TLS fixture
        Saved saved;
        bool bLarge;
        const char* pszFailures; // when the 407 stands: the sign-in record's reasons
        const char* pszUser;     // otherwise: whom squid's access log names, which tells the scheme
    };
    const Row rows[] = {
        {"Negotiate", "negotiate", false, kNothing, false, nullptr, kKerberos},
        {"Negotiate, tunnel", "negotiate", true, kNothing, false, nullptr, kKerberos},
        // A page, not a program: description mode.
        {"Negotiate, a large body ends at its length", "negotiate", false, kNothing, true, nullptr, kKerberos},
        {"NTLM", "ntlm", false, kNtlm, false, nullptr, kWindows},
        {"NTLM, tunnel", "ntlm", true, kNtlm, false, nullptr, kWindows},
        {"Basic", "basic", false, kBasic, false, nullptr, kAuthUser},
        {"Basic, tunnel", "basic", true, kBasic, false, nullptr, kAuthUser},
        // Negotiate first, though a Basic credential is saved.
        {"all three offered", "all", false, kBasic, false, nullptr, kKerberos},
        {"Basic, wrong password", "basic", false, kWrongBasic, false, "Basic: refused", nullptr},
        {"Basic, nothing saved", "basic", true, kNothing, false, "Basic: no saved credential", nullptr},
        {"NTLM, wrong password", "ntlm", false, kWrongNtlm, false, "NTLM: ", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        const bool bRunMode = !row.bLarge;
        const std::string dest = DestOf(bRunMode);
        DeleteFileA(dest.c_str());
        DeleteFileA((dest + ".mark").c_str());
        const std::string& body = row.bLarge ? large : program;
        ScriptedServer origin(Answering(Ok(body)));
        const std::string url = row.bTunnel ? "https://localhost:" + std::to_string(nTlsPort) + "/Update.exe"
                                            : UrlOf(origin.Port(), "/update/Update.exe");
        PointModeAt(bRunMode, url);
        ProxySettings settings(1, "localhost:" + std::to_string(AuthProxyPortOf(row.pszProxy)));
        const bool bWrong = row.saved == kWrongNtlm || row.saved == kWrongBasic;
        const std::string password = bWrong ? "not the password" : kAuthPassword;
        std::optional<SavedCredential> credential;
        if (row.saved == kNtlm || row.saved == kWrongNtlm)
            credential.emplace(CRED_TYPE_DOMAIN_PASSWORD, "localhost",
                               std::string(kAuthNtlmDomain) + "\\" + kAuthUser, password);
        else if (row.saved == kBasic || row.saved == kWrongBasic)
            credential.emplace(CRED_TYPE_GENERIC, "localhost", kAuthUser, password);

        const std::string request = row.bTunnel ? "localhost:" + std::to_string(nTlsPort) : url;
        const int nLoggedBefore = row.pszUser ? loggedFor(row.pszProxy, request, row.pszUser) : 0;

        const DWORD nStart = GetTickCount();
        const RunResult run = RunDialog(bRunMode);
        EXPECT_LT(GetTickCount() - nStart, 10000u);

        if (!row.pszFailures) {
            EXPECT_EQ(run.nOutcome, OUTCOME_COMPLETED)
                << DescribeBoxes(run.boxes) << (run.records.empty() ? "" : run.records[0].text);
            EXPECT_TRUE(BoxCountIs(run.boxes, 0));
            EXPECT_TRUE(run.records.empty());
            EXPECT_TRUE(ReadWholeFile(dest) == body) << "stored " << ReadWholeFile(dest).size();
            EXPECT_TRUE(WaitUntil([&] { return loggedFor(row.pszProxy, request, row.pszUser) > nLoggedBefore; }, 5000))
                << request << " by " << row.pszUser;
            if (bRunMode) {
                EXPECT_TRUE(WaitForMark(dest, kLaunchWaitMs));
            }
        } else {
            EXPECT_EQ(run.nOutcome, OUTCOME_HTTP_ERROR);
            ASSERT_TRUE(BoxCountIs(run.boxes, 1));
            EXPECT_EQ(run.boxes[0].text, kNoUpdatesText);
            ASSERT_EQ(LinesOf(run.records), (std::vector<int>{LOG_LINE_PROXY_SIGN_IN_FAILED, LOG_LINE_HTTP_ERROR}));
            const std::string prefix = "Sign-in to the proxy localhost failed: " + std::string(row.pszFailures);
            EXPECT_EQ(run.records[0].text.rfind(prefix, 0), 0u) << run.records[0].text;
            EXPECT_EQ(run.records[1].text, "HTTP error 407 when retrieving " + dest);
            EXPECT_FALSE(FileExists(dest));
        }
    }
}

// Redirects as update servers send them: nginx of the TLS fixture, in its
// plain server and its trusted TLS one, with squid where a row names it.
// The dialog sees the last answer; each redirect followed leaves a record.
TEST_F(Transfer, RedirectsAreFollowedBelowTheDialog)
{
    const int nPlain = TlsPortOf("plain");
    const int nGood = TlsPortOf("good");
    const int nSquid = ProxyPortOf("SQUID_PORT_FILE");
    ASSERT_NE(nPlain, 0) << "no nginx: run through ctest, which starts it";
    ASSERT_NE(nSquid, 0) << "no squid: run through ctest, which starts it";
    const std::string www = TlsFixtureFolder() + "\\www";
    const std::string program = MarkProgramBytes();
    const std::string page = "<html>the page behind the redirect</html>";
    std::string large(4 << 20, '\0');
    for (size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i * 13 + i / 4099);
    ASSERT_TRUE(WriteWholeFile(www + "\\Update.exe", program));
    ASSERT_TRUE(WriteWholeFile(www + "\\redirected.html", page));
    ASSERT_TRUE(WriteWholeFile(www + "\\large.bin", large));
    const std::string plain = "http://127.0.0.1:" + std::to_string(nPlain);
    const std::string secure = "https://localhost:" + std::to_string(nGood);
    // A 301 whose 1 MiB body is not waited for: the server then holds the
    // connection. Its location is a server that records the request.
    ScriptedServer landing(Answering(Ok(program)));
    const std::string landed = UrlOf(landing.Port(), "/Update.exe");
    const std::string movedBody(1 << 20, 'm');
    ScriptedServer holding({ServerStep::ReadRequest(),
                            ServerStep::Send("HTTP/1.0 301 Moved Permanently\r\nLocation: " + landed +
                                             "\r\nContent-Length: " + std::to_string(movedBody.size()) +
                                             "\r\n\r\n" + movedBody),
                            ServerStep::WaitForClientClose(15000)});
    const std::string held = UrlOf(holding.Port(), "/Update.exe");

    using Hops = std::vector<std::pair<int, std::string>>; // status and URL of each redirect followed
    Hops chain10;
    for (int n = 9; n >= 0; --n)
        chain10.push_back({302, plain + (n ? "/chain-" + std::to_string(n) : std::string()) + "/Update.exe"});
    Hops chain11 = chain10;
    chain11.insert(chain11.begin(), {302, plain + "/chain-10/Update.exe"});
    chain11.pop_back();
    Hops loop(10, {302, plain + "/loop"});

    enum Proxy { kDirect, kSquid, kSquidBypassingTheAddress, kSquidAskingForBasic, kSquidAskingForNegotiate };
    struct Row {
        const char* pszName;
        std::string url;
        bool bRunMode;
        Proxy proxy;
        Hops hops;
        int nErrorStatus;       // 0: stored; otherwise the status of the HTTP error
        const char* pszRefusal; // the reason of the record of a redirect not followed
    };
    const Row rows[] = {
        {"301", plain + "/moved-301/Update.exe", true, kDirect, {{301, plain + "/Update.exe"}}, 0, nullptr},
        {"302", plain + "/moved-302/Update.exe", true, kDirect, {{302, plain + "/Update.exe"}}, 0, nullptr},
        {"303", plain + "/moved-303/Update.exe", true, kDirect, {{303, plain + "/Update.exe"}}, 0, nullptr},
        {"307", plain + "/moved-307/Update.exe", true, kDirect, {{307, plain + "/Update.exe"}}, 0, nullptr},
        {"308", plain + "/moved-308/Update.exe", true, kDirect, {{308, plain + "/Update.exe"}}, 0, nullptr},
        {"301, description mode", plain + "/moved-301/redirected.html", false, kDirect,
         {{301, plain + "/redirected.html"}}, 0, nullptr},
        {"302 to a large body", plain + "/moved-302/large.bin", false, kDirect, {{302, plain + "/large.bin"}}, 0,
         nullptr},
        {"a path on the same server", plain + "/relative/Update.exe", true, kDirect, {{302, plain + "/Update.exe"}},
         0, nullptr},
        {"relative to the folder", plain + "/folder/Update.exe", true, kDirect,
         {{302, plain + "/folder/files/Update.exe"}}, 0, nullptr},
        {"http to https", plain + "/to-tls/Update.exe", true, kDirect, {{301, secure + "/Update.exe"}}, 0, nullptr},
        {"scheme-relative, https", secure + "/scheme-relative/Update.exe", true, kDirect,
         {{302, secure + "/Update.exe"}}, 0, nullptr},
        {"a chain of 10", plain + "/chain-10/Update.exe", true, kDirect, chain10, 0, nullptr},
        {"a chain of 11", plain + "/chain-11/Update.exe", true, kDirect, chain11, 302, "more than 10 redirects"},
        {"a loop", plain + "/loop", true, kDirect, loop, 302, "more than 10 redirects"},
        {"https to http", secure + "/to-plain/Update.exe", true, kDirect, {}, 301, "it leads from https to http"},
        {"an empty Location", plain + "/no-location", true, kDirect, {}, 302, nullptr},
        {"a Location of another scheme", plain + "/to-ftp", true, kDirect, {}, 302,
         "the location is not a usable http or https URL"},
        {"a 301 whose body is not waited for", held, true, kDirect, {{301, landed}}, 0, nullptr},
        {"through squid", plain + "/moved-301/Update.exe", true, kSquid, {{301, plain + "/Update.exe"}}, 0, nullptr},
        {"through squid, http to https", plain + "/to-tls/Update.exe", true, kSquid, {{301, secure + "/Update.exe"}},
         0, nullptr},
        {"through squid, a held 301", held, true, kSquid, {{301, landed}}, 0, nullptr},
        // Each hop's connection signs in anew.
        {"through squid asking for Basic", plain + "/moved-301/Update.exe", true, kSquidAskingForBasic,
         {{301, plain + "/Update.exe"}}, 0, nullptr},
        {"through squid asking for Negotiate, http to https", plain + "/to-tls/Update.exe", true,
         kSquidAskingForNegotiate, {{301, secure + "/Update.exe"}}, 0, nullptr},
        {"through squid, the new host bypassed",
         "http://localhost:" + std::to_string(nPlain) + "/to-address/Update.exe", true, kSquidBypassingTheAddress,
         {{302, plain + "/Update.exe"}}, 0, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        const std::string dest = DestOf(row.bRunMode);
        ASSERT_TRUE(RemoveEarlierRun(dest)) << dest;
        PointModeAt(row.bRunMode, row.url);
        std::optional<ProxySettings> proxy;
        std::optional<SavedCredential> credential;
        if (row.proxy == kSquid || row.proxy == kSquidBypassingTheAddress)
            proxy.emplace(1, ProxyOn(nSquid),
                          row.proxy == kSquidBypassingTheAddress ? std::optional<std::string>("127.0.0.1")
                                                                 : std::nullopt);
        if (row.proxy == kSquidAskingForBasic || row.proxy == kSquidAskingForNegotiate) {
            const int nAuthPort = AuthProxyPortOf(row.proxy == kSquidAskingForBasic ? "basic" : "negotiate");
            ASSERT_NE(nAuthPort, 0) << "no sign-in proxies: run through ctest, which starts them";
            proxy.emplace(1, "localhost:" + std::to_string(nAuthPort));
            if (row.proxy == kSquidAskingForBasic)
                credential.emplace(CRED_TYPE_GENERIC, "localhost", kAuthUser, kAuthPassword);
        }
        const std::string last = row.hops.empty() ? row.url : row.hops.back().second;
        const int nLastViaSquidBefore = SquidLogCount(last);
        const int nFirstViaSquidBefore = SquidLogCount(row.url);

        const DWORD nStart = GetTickCount();
        const RunResult run = RunDialog(row.bRunMode);
        EXPECT_LT(GetTickCount() - nStart, 5000u);

        std::vector<int> lines;
        for (size_t i = 0; i < row.hops.size(); ++i) {
            lines.push_back(LOG_LINE_REDIRECTED);
            if (i < run.records.size()) {
                EXPECT_EQ(run.records[i].level, 1);
                EXPECT_EQ(run.records[i].module, "HttpInterface");
                EXPECT_EQ(run.records[i].text, "Redirected with " + std::to_string(row.hops[i].first) + " to " +
                                                   row.hops[i].second);
            }
        }
        if (row.pszRefusal)
            lines.push_back(LOG_LINE_REDIRECT_NOT_FOLLOWED);
        if (row.nErrorStatus != 0)
            lines.push_back(LOG_LINE_HTTP_ERROR);
        ASSERT_EQ(LinesOf(run.records), lines) << DescribeBoxes(run.boxes);
        if (row.nErrorStatus == 0) {
            EXPECT_EQ(run.nOutcome, OUTCOME_COMPLETED);
            EXPECT_TRUE(BoxCountIs(run.boxes, 0));
            const std::string& body = row.bRunMode ? program : row.url.find("large") != std::string::npos ? large : page;
            EXPECT_TRUE(ReadWholeFile(dest) == body) << "stored " << ReadWholeFile(dest).size() << " of " << body.size();
        } else {
            EXPECT_EQ(run.nOutcome, OUTCOME_HTTP_ERROR);
            ASSERT_TRUE(BoxCountIs(run.boxes, 1));
            EXPECT_EQ(run.boxes[0].text, kNoUpdatesText);
            EXPECT_EQ(run.records.back().text,
                      "HTTP error " + std::to_string(row.nErrorStatus) + " when retrieving " + dest);
            if (row.pszRefusal) {
                const std::string& refusal = run.records[run.records.size() - 2].text;
                EXPECT_EQ(refusal.substr(refusal.find(" not followed: ") + 15), row.pszRefusal) << refusal;
                EXPECT_EQ(refusal.rfind("Redirect with " + std::to_string(row.nErrorStatus) + " to ", 0), 0u)
                    << refusal;
            }
            EXPECT_FALSE(FileExists(dest));
        }
        EXPECT_FALSE(FileExists(PartPathOf(dest)));
        if (row.proxy == kSquid || row.proxy == kSquidBypassingTheAddress) {
            EXPECT_TRUE(WaitUntil([&] { return SquidLogCount(row.url) > nFirstViaSquidBefore; }, 5000)) << row.url;
            if (row.proxy == kSquidBypassingTheAddress) {
                EXPECT_EQ(SquidLogCount(last), nLastViaSquidBefore) << last;
            }
        }
        EXPECT_EQ(WaitForMark(dest, row.nErrorStatus == 0 && row.bRunMode ? kLaunchWaitMs : kNoLaunchWaitMs),
                  row.nErrorStatus == 0 && row.bRunMode);
    }
    EXPECT_TRUE(holding.ClientClosed(0));
    // The hop's request is the one a setting of its URL sends: here the
    // first request's, whose URL differs in the port alone, which the Host
    // line names.
    std::string expected = holding.Request(0);
    const std::string holdingHost = "Host: 127.0.0.1:" + std::to_string(holding.Port()) + "\r\n";
    ASSERT_NE(expected.find(holdingHost), std::string::npos) << expected;
    expected.replace(expected.find(holdingHost), holdingHost.size(),
                     "Host: 127.0.0.1:" + std::to_string(landing.Port()) + "\r\n");
    EXPECT_EQ(landing.Request(0), expected);
}

// The next hop's setup blocks as a first request's does; the user's Cancel
// during it ends the transfer at once, with no report of the hop.
TEST_F(Transfer, CancelWhileTheNextHopIsSetUpEndsAtOnce)
{
    // The silent peer is the next hop's server, or its proxy when the first
    // hop's address is bypassed and the next hop's name is not.
    struct Row {
        const char* pszName;
        const char* pszScheme;
        bool bThroughProxy;
    };
    const Row rows[] = {
        {"the TLS handshake", "https", false},
        {"the proxy's answer to the request", "http", true},
        {"the proxy's answer to the CONNECT", "https", true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        ScriptedServer silent({ServerStep::WaitForClientClose(30000)});
        const int nServerPort = row.bThroughProxy ? RefusingPort() : silent.Port();
        ScriptedServer moved(Answering(std::string("HTTP/1.0 302 Found\r\nLocation: ") + row.pszScheme +
                                       "://localhost:" + std::to_string(nServerPort) + "/Update.exe\r\n\r\n"));
        PointAt(true, moved.Port());
        std::optional<ProxySettings> proxy;
        if (row.bThroughProxy)
            proxy.emplace(1, "localhost:" + std::to_string(silent.Port()), std::string("127.0.0.1"));
        const std::string dest = DestOf(true);
        DWORD nCancelAt = 0;

        const RunResult run = RunDialog(true, [](const ObservedBox&) { return IDYES; }, [&](TransferDlg& dlg) {
            dlg.CancelWhen([&](const TransferDlg&) {
                if (silent.Connections() == 0)
                    return false;
                nCancelAt = GetTickCount();
                return true;
            });
        });

        ASSERT_NE(nCancelAt, 0u);
        EXPECT_LT(GetTickCount() - nCancelAt, 3000u);
        EXPECT_EQ(run.nOutcome, OUTCOME_CANCELLED);
        ASSERT_TRUE(BoxCountIs(run.boxes, 1));
        EXPECT_EQ(run.boxes[0].text, kConfirmText);
        // The hop's interrupted setup may be recorded; the transfer's end is not.
        const std::vector<int> lines = LinesOf(run.records);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], LOG_LINE_REDIRECTED);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), LOG_LINE_CONNECTION_LOST), 0);
        EXPECT_FALSE(FileExists(dest));
    }
}

// Another start of the same destination (here a thread of this process)
// holds the lock: this start ends with 9, one record, no box, no
// connection. The holder then ends without releasing it; the next start
// takes the abandoned lock and updates.
TEST_F(Transfer, HeldLockEndsTheStartQuietlyAndAnAbandonedOneIsTaken)
{
    const std::string dest = DestOf(true);
    ASSERT_TRUE(RemoveEarlierRun(dest));
    ScriptedServer server(Answering(Ok(MarkProgramBytes())));
    PointAt(true, server.Port());
    const CString strName = UpdateLockNameOf(dest.c_str());
    std::string upper = dest;
    CharUpperA(upper.data());
    EXPECT_EQ(UpdateLockNameOf(upper.c_str()), strName);
    EXPECT_NE(UpdateLockNameOf(DestOf(false).c_str()), strName);
    ASSERT_EQ(strName.GetLength(), 18 + 64);

    HANDLE hTaken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE hEnd = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        const HANDLE hLock = CreateMutexA(nullptr, TRUE, ("Global\\" + std::string(strName)).c_str());
        SetEvent(hTaken);
        WaitForSingleObject(hEnd, 30000);
        CloseHandle(hLock); // ends still owning it
    });
    ASSERT_EQ(WaitForSingleObject(hTaken, 5000), WAIT_OBJECT_0);

    const RunResult held = RunDialog(true);
    SetEvent(hEnd);
    holder.join();
    const RunResult after = RunDialog(true);
    CloseHandle(hTaken);
    CloseHandle(hEnd);

    EXPECT_EQ(held.nOutcome, OUTCOME_UPDATE_IN_PROGRESS);
    EXPECT_FALSE(held.bShown);
    EXPECT_TRUE(BoxCountIs(held.boxes, 0));
    ASSERT_EQ(LinesOf(held.records), std::vector<int>{LOG_LINE_UPDATE_IN_PROGRESS});
    EXPECT_EQ(held.records[0].text, "Another update of " + dest + " is in progress");
    EXPECT_EQ(after.nOutcome, OUTCOME_COMPLETED) << DescribeBoxes(after.boxes);
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_TRUE(ReadWholeFile(dest) == MarkProgramBytes());
    EXPECT_TRUE(WaitForMark(dest, kLaunchWaitMs));
}

// The lines of nginx's access log that name the path: the status and the
// bytes of each answer ("... \"GET /p HTTP/1.0\" 206 12345 ...").
std::vector<std::pair<int, size_t>> NginxAnswersFor(const std::string& path)
{
    std::vector<std::pair<int, size_t>> answers;
    const std::string log = ReadWholeFile(TlsFixtureFolder() + "\\nginx-access.log");
    const std::string key = "\"GET " + path + " HTTP/1.";
    for (size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1)) {
        const size_t nStatus = log.find("\" ", at + key.size()) + 2;
        answers.emplace_back(std::atoi(log.c_str() + nStatus),
                             std::strtoull(log.c_str() + log.find(' ', nStatus) + 1, nullptr, 10));
    }
    return answers;
}

// nginx serves the update, which must be signed; a relay in front of it
// fails after 60 % of the file. The next start asks for the rest, receives
// only the rest, and stores the served file, its signature checked. When
// the file changed meanwhile, nginx's If-Range check sends it whole; a
// server that takes no ranges leaves nothing to keep.
TEST_F(Transfer, TransferCutShortGoesOnAtTheNextStart)
{
    const char* pszSigned = std::getenv("SIGNED_PROGRAMS_DIR");
    ASSERT_TRUE(pszSigned) << "run through ctest, whose fixture signs the programs";
    const std::string program = ReadWholeFile(WindowsPath(std::string(pszSigned) + "/signed-a.exe"));
    const std::string other = ReadWholeFile(WindowsPath(std::string(pszSigned) + "/signed-b.exe"));
    ASSERT_FALSE(program.empty() || other.empty());
    const int nSquid = ProxyPortOf("SQUID_PORT_FILE");
    ASSERT_NE(nSquid, 0) << "run through ctest, which starts squid";
    struct Row {
        const char* pszName;
        const char* pszOrigin; // the nginx server behind the relay
        const char* pszPath;   // as nginx serves it
        bool bThroughSquid;
        bool bChanged;     // the file changed between the starts
        bool bKept;        // the first start left a part to go on with
    };
    const Row rows[] = {
        {"direct", "plain", "/Resume.exe", false, false, true},
        {"through squid", "plain", "/Resume.exe", true, false, true},
        {"over https", "good", "/Resume.exe", false, false, true},
        {"changed on the server", "plain", "/Resume.exe", false, true, true},
        {"no byte ranges", "plain", "/no-ranges/Resume.exe", false, false, false},
    };
    const std::string dest = DestOf(true);
    SetValue(kUpdatesKey, "RequireSignature", REG_DWORD, std::string("\x01\0\0\0", 4));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        ASSERT_TRUE(RemoveEarlierRun(dest));
        DeleteFileA(PartPathOf(dest).c_str());
        DeleteFileA((PartPathOf(dest) + ".info").c_str());
        ASSERT_TRUE(WriteWholeFile(TlsFixtureFolder() + "\\www\\Resume.exe", program));
        const size_t nCut = program.size() * 6 / 10;
        ScriptedServer relay({ServerStep::Relay(TlsPortOf(row.pszOrigin), nCut)});
        const bool bSecure = std::string(row.pszOrigin) == "good";
        const std::string url = std::string(bSecure ? "https://localhost:" : "http://127.0.0.1:") +
                                std::to_string(relay.Port()) + row.pszPath;
        PointModeAt(true, url);
        std::optional<ProxySettings> proxy;
        if (row.bThroughSquid)
            proxy.emplace(1, "127.0.0.1:" + std::to_string(nSquid));
        const size_t nAnswersBefore = NginxAnswersFor(row.pszPath).size();

        const RunResult cut = RunDialog(true);
        EXPECT_EQ(cut.nOutcome, OUTCOME_CONNECTION_FAILED) << DescribeBoxes(cut.boxes);
        EXPECT_EQ(LinesOf(cut.records), std::vector<int>{LOG_LINE_CONNECTION_LOST});
        const size_t nKept = ReadWholeFile(PartPathOf(dest)).size();
        ASSERT_EQ(FileExists(PartPathOf(dest)), row.bKept);
        EXPECT_EQ(FileExists(PartPathOf(dest) + ".info"), row.bKept);
        EXPECT_FALSE(FileExists(dest));
        if (row.bKept) {
            EXPECT_GT(nKept, program.size() / 2);
            EXPECT_TRUE(ReadWholeFile(PartPathOf(dest)) == program.substr(0, nKept));
        }
        const std::string& served = row.bChanged ? other : program;
        if (row.bChanged) {
            // Another file, an hour older: nginx's ETag differs whatever the sizes.
            const std::string path = TlsFixtureFolder() + "\\www\\Resume.exe";
            ASSERT_TRUE(WriteWholeFile(path, served));
            const HANDLE hFile = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            FILETIME written;
            GetSystemTimeAsFileTime(&written);
            ULARGE_INTEGER time = {{written.dwLowDateTime, written.dwHighDateTime}};
            time.QuadPart -= 3600ull * 10000000;
            written = {time.LowPart, time.HighPart};
            EXPECT_TRUE(SetFileTime(hFile, nullptr, nullptr, &written));
            CloseHandle(hFile);
        }

        const RunResult next = RunDialog(true);
        EXPECT_EQ(next.nOutcome, OUTCOME_COMPLETED) << DescribeBoxes(next.boxes);
        EXPECT_TRUE(BoxCountIs(next.boxes, 0));
        EXPECT_TRUE(ReadWholeFile(dest) == served) << ReadWholeFile(dest).size() << " of " << served.size();
        EXPECT_FALSE(FileExists(PartPathOf(dest)) || FileExists(PartPathOf(dest) + ".info"));
        EXPECT_TRUE(WaitForMark(dest, kLaunchWaitMs));
        const bool bResumed = row.bKept && !row.bChanged;
        if (bResumed) {
            ASSERT_EQ(LinesOf(next.records), std::vector<int>{LOG_LINE_RESUMING});
            EXPECT_EQ(next.records[0].text, "Resuming the transfer of " + url + " at byte " + std::to_string(nKept) +
                                                " of " + std::to_string(program.size()));
        } else {
            EXPECT_TRUE(next.records.empty());
        }
        if (!bSecure && !row.bThroughSquid) {
            EXPECT_EQ(relay.Request(1).find("\r\nRange: bytes=" + std::to_string(nKept) + "-\r\nIf-Range: \""),
                      row.bKept ? relay.Request(1).find("\r\nRange: ") : std::string::npos);
        }
        // What nginx sent for the second start: the rest, or the new file whole.
        const std::vector<std::pair<int, size_t>> answers = NginxAnswersFor(row.pszPath);
        ASSERT_EQ(answers.size(), nAnswersBefore + 2);
        EXPECT_EQ(answers.back().first, bResumed ? 206 : 200);
        EXPECT_EQ(answers.back().second, bResumed ? program.size() - nKept : served.size());
    }
    Remove(kUpdatesKey, "RequireSignature");
}

// What a start finds kept and cannot go on with is removed, with its
// record, and the file is fetched whole.
TEST_F(Transfer, KeptPartThatCannotBeGoneOnWithIsRemoved)
{
    const std::string body(300000, 'k');
    const std::string dest = DestOf(false);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t nNow = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const uint64_t nDay = 24ull * 60 * 60 * 10000000;
    struct Row {
        const char* pszName;
        uint64_t nAge;
        size_t nKeptSize;
        bool bOtherSource;
        const char* pszBookkeeping; // instead of the real one
        const char* pszReason;
    };
    const Row rows[] = {
        {"eight days old", 8 * nDay, 1000, false, nullptr, "it is older than 7 days"},
        {"longer than the file", nDay, body.size() + 1, false, nullptr, "it is not shorter than the file"},
        {"another URL", 0, 1000, true, nullptr, "it belongs to another URL"},
        {"bookkeeping cut short", 0, 1000, false, "Source: http://x/\r\nUrl: http://x/\r\nValid", "it cannot be read"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        ScriptedServer server(Answering(Ok(body)));
        PointModeAt(false, UrlOf(server.Port(), "/update/info.exe"));
        KeptTransfer kept;
        kept.sourceUrl = row.bOtherSource ? "http://elsewhere/info.exe" : UrlOf(server.Port(), "/update/info.exe");
        kept.url = kept.sourceUrl;
        kept.validator = "\"5f3a\"";
        kept.nLength = body.size();
        kept.nKeptAt = nNow - row.nAge;
        ASSERT_TRUE(WriteWholeFile(PartPathOf(dest), body.substr(0, row.nKeptSize)));
        ASSERT_TRUE(WriteWholeFile(PartPathOf(dest) + ".info",
                                   row.pszBookkeeping ? row.pszBookkeeping : KeptTransferText(kept)));

        const RunResult run = RunDialog(false);

        EXPECT_EQ(run.nOutcome, OUTCOME_COMPLETED) << DescribeBoxes(run.boxes);
        ASSERT_EQ(LinesOf(run.records), std::vector<int>{LOG_LINE_KEPT_REMOVED});
        EXPECT_EQ(run.records[0].text, "The kept part of " + dest + " was removed: " + row.pszReason);
        EXPECT_EQ(server.Request().find("Range:"), std::string::npos);
        EXPECT_TRUE(ReadWholeFile(dest) == body);
        EXPECT_FALSE(FileExists(PartPathOf(dest)) || FileExists(PartPathOf(dest) + ".info"));
    }
}

// Update servers that ask for sign-in, from the fixtures: nginx asking for
// Basic (plain and TLS), apache2 with mod_auth_gssapi asking for
// Negotiate, squid as a reverse proxy asking for NTLM. Each row proves the
// scheme from the server's own log, which names who signed in; a host
// outside the rules gets nothing.
TEST_F(Transfer, SignInToUpdateServersThatTheRulesAllow)
{
    const int nPlain = TlsPortOf("plain");
    const int nGood = TlsPortOf("good");
    const int nNegotiate = AuthProxyPortOf("server-negotiate");
    const int nNtlm = AuthProxyPortOf("server-ntlm");
    const int nSquid = ProxyPortOf("SQUID_PORT_FILE");
    ASSERT_TRUE(nPlain && nGood && nNegotiate && nNtlm && nSquid) << "run through ctest, which starts the servers";
    const std::string program = MarkProgramBytes();
    const std::string authDir = WindowsPath(std::getenv("AUTH_FIXTURE_DIR"));
    ASSERT_TRUE(WriteWholeFile(TlsFixtureFolder() + "\\www\\Update.exe", program));
    ASSERT_TRUE(WriteWholeFile(authDir + "\\www\\Update.exe", program));
    const std::string kerberos = std::string(kAuthUser) + "@" + kAuthRealm;
    const std::string windows = std::string(kAuthNtlmDomain) + "\\\\" + kAuthUser; // squid escapes the '\\'
    // The successful requests of the path that the server's log puts to the user.
    const auto loggedFor = [](const std::string& log, const std::string& path, const std::string& user) {
        const std::string text = ReadWholeFile(log);
        int nCount = 0;
        for (size_t nStart = 0, nEnd; (nEnd = text.find('\n', nStart)) != std::string::npos; nStart = nEnd + 1) {
            const std::string line = text.substr(nStart, nEnd - nStart);
            nCount += line.find(path) != std::string::npos && line.find(" " + user + " ") != std::string::npos &&
                      (line.find("\" 200 ") != std::string::npos || line.find("/200 ") != std::string::npos);
        }
        return nCount;
    };
    const std::string nginxLog = TlsFixtureFolder() + "\\nginx-access.log";
    const std::string apacheLog = authDir + "\\apache2-access.log";
    const std::string squidLog = authDir + "\\squid-server-ntlm-access.log";
    const std::string plain = "http://localhost:" + std::to_string(nPlain);
    enum Saved { kNothing, kBasic, kWrongBasic, kNtlm };
    struct Row {
        const char* pszName;
        std::string url;
        const char* pszProxy; // "open" squid, the "negotiate" sign-in squid, or none
        Saved saved;
        const char* pszListed; // SignInServers
        const std::string* pLog; // where a sign-in shows; null: the 401 stands
        std::string user;
        std::string path;
        const char* pszRecord; // when the 401 stands: the sign-in record
    };
    const Row rows[] = {
        {"Basic", plain + "/basic/Update.exe", nullptr, kBasic, nullptr, &nginxLog, kAuthUser, "/basic/Update.exe",
         nullptr},
        {"Basic over TLS", "https://localhost:" + std::to_string(nGood) + "/basic/Update.exe", nullptr, kBasic,
         nullptr, &nginxLog, kAuthUser, "/basic/Update.exe", nullptr},
        {"Negotiate", "http://localhost:" + std::to_string(nNegotiate) + "/Update.exe", nullptr, kNothing, nullptr,
         &apacheLog, kerberos, "/Update.exe", nullptr},
        {"NTLM", "http://localhost:" + std::to_string(nNtlm) + "/Update.exe", nullptr, kNtlm, nullptr, &squidLog,
         windows, "/Update.exe", nullptr},
        {"Basic through an open squid", plain + "/basic/Update.exe", "open", kBasic, nullptr, &nginxLog, kAuthUser,
         "/basic/Update.exe", nullptr},
        {"Negotiate to the proxy and to the server", "http://localhost:" + std::to_string(nNegotiate) + "/Update.exe",
         "negotiate", kNothing, nullptr, &apacheLog, kerberos, "/Update.exe", nullptr},
        {"a listed host that a redirect leads to", plain + "/to-address/basic/Update.exe", nullptr, kBasic,
         "127.0.0.1", &nginxLog, kAuthUser, "/basic/Update.exe", nullptr},
        {"Basic, wrong password", plain + "/basic/Update.exe", nullptr, kWrongBasic, nullptr, nullptr, "", "",
         "Sign-in to the server localhost failed: Basic: refused"},
        {"a host outside the rules that a redirect leads to", plain + "/to-address/basic/Update.exe", nullptr, kBasic,
         nullptr, nullptr, "", "",
         "Sign-in to the server 127.0.0.1 not attempted: it is not among the servers that receive the user's "
         "sign-in"},
    };
    const std::string dest = DestOf(true);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        ASSERT_TRUE(RemoveEarlierRun(dest));
        PointModeAt(true, row.url);
        if (row.pszListed)
            Set(kUpdatesKey, "SignInServers", row.pszListed);
        else
            Remove(kUpdatesKey, "SignInServers");
        std::optional<ProxySettings> proxy;
        if (row.pszProxy)
            proxy.emplace(1, "localhost:" + std::to_string(std::string(row.pszProxy) == "open"
                                                                ? nSquid
                                                                : AuthProxyPortOf(row.pszProxy)));
        std::vector<std::unique_ptr<SavedCredential>> credentials;
        for (const char* pszHost : {"localhost", "127.0.0.1"}) {
            if (row.saved == kBasic || row.saved == kWrongBasic)
                credentials.push_back(std::make_unique<SavedCredential>(
                    CRED_TYPE_GENERIC, pszHost, kAuthUser, row.saved == kBasic ? kAuthPassword : "not the password"));
            else if (row.saved == kNtlm)
                credentials.push_back(std::make_unique<SavedCredential>(
                    CRED_TYPE_DOMAIN_PASSWORD, pszHost, std::string(kAuthNtlmDomain) + "\\" + kAuthUser,
                    kAuthPassword));
        }
        const int nNginxSignedIn = loggedFor(nginxLog, "/basic/Update.exe", kAuthUser);
        const int nLoggedBefore = row.pLog ? loggedFor(*row.pLog, row.path, row.user) : 0;

        const RunResult run = RunDialog(true);

        if (row.pLog) {
            EXPECT_EQ(run.nOutcome, OUTCOME_COMPLETED)
                << DescribeBoxes(run.boxes) << (run.records.empty() ? "" : run.records[0].text);
            EXPECT_TRUE(BoxCountIs(run.boxes, 0));
            const std::vector<int> lines = LinesOf(run.records);
            EXPECT_EQ(std::count(lines.begin(), lines.end(), LOG_LINE_SERVER_SIGN_IN_FAILED), 0);
            EXPECT_TRUE(ReadWholeFile(dest) == program);
            EXPECT_TRUE(WaitUntil([&] { return loggedFor(*row.pLog, row.path, row.user) > nLoggedBefore; }, 5000))
                << row.path << " by " << row.user;
            EXPECT_TRUE(WaitForMark(dest, kLaunchWaitMs));
        } else {
            EXPECT_EQ(run.nOutcome, OUTCOME_HTTP_ERROR);
            ASSERT_TRUE(BoxCountIs(run.boxes, 1));
            EXPECT_EQ(run.boxes[0].text, kNoUpdatesText);
            const std::vector<int> lines = LinesOf(run.records);
            ASSERT_GE(lines.size(), 2u);
            EXPECT_EQ(lines.back(), LOG_LINE_HTTP_ERROR);
            EXPECT_EQ(lines[lines.size() - 2], LOG_LINE_SERVER_SIGN_IN_FAILED);
            EXPECT_EQ(run.records[lines.size() - 2].text, row.pszRecord);
            // The password never went to nginx.
            EXPECT_EQ(loggedFor(nginxLog, "/basic/Update.exe", kAuthUser), nNginxSignedIn);
            EXPECT_FALSE(FileExists(dest));
        }
        for (const LogRecord& record : run.records)
            EXPECT_EQ(record.text.find(kAuthPassword), std::string::npos) << record.text;
    }
    Remove(kUpdatesKey, "SignInServers");
}

// A registry value of the test prefix, set for the object's lifetime and
// put back after it: the switch of automatic detection, the prefix's DNS
// domain that Wine's detection asks for, the remembered miss.
class ScopedValue {
public:
    ScopedValue(HKEY hRoot, const char* pszKey, const char* pszName, DWORD nType, const std::string& data)
        : m_pszName(pszName)
    {
        RegCreateKeyExA(hRoot, pszKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_hKey, nullptr);
        m_saved.resize(4096);
        DWORD nSize = static_cast<DWORD>(m_saved.size());
        m_bSaved = RegQueryValueExA(m_hKey, pszName, nullptr, &m_nType, reinterpret_cast<BYTE*>(m_saved.data()),
                                    &nSize) == ERROR_SUCCESS;
        m_saved.resize(m_bSaved ? nSize : 0);
        Set(nType, data);
    }
    ~ScopedValue()
    {
        if (m_bSaved)
            Set(m_nType, m_saved);
        else
            RegDeleteValueA(m_hKey, m_pszName);
        RegCloseKey(m_hKey);
    }
    ScopedValue(const ScopedValue&) = delete;
    ScopedValue& operator=(const ScopedValue&) = delete;

    void Set(DWORD nType, const std::string& data)
    {
        RegSetValueExA(m_hKey, m_pszName, 0, nType, reinterpret_cast<const BYTE*>(data.data()),
                       static_cast<DWORD>(data.size()));
    }

private:
    HKEY m_hKey = nullptr;
    const char* m_pszName;
    DWORD m_nType = 0;
    bool m_bSaved = false;
    std::string m_saved;
};

// DefaultConnectionSettings with only the flags and three empty texts.
std::string ConnectionFlags(unsigned char nFlags)
{
    std::string value(24, '\0');
    value[0] = 0x46;
    value[8] = static_cast<char>(nFlags);
    return value + std::string(32, '\0');
}

// Automatic proxy detection against a DNS responder and nginx of the WPAD
// fixture, which the test command runs in a mount namespace of its own
// with the resolver that WPAD_RESOLV names: "wpad" finds wpad.dat, "none"
// finds no wpad host, "silent" never answers. Elsewhere the test is
// skipped.
TEST_F(Transfer, AutomaticDetectionFindsTheProxyAsWindowsDoes)
{
    const char* pszResolv = std::getenv("WPAD_RESOLV");
    const char* pszDir = std::getenv("WPAD_FIXTURE_DIR");
    if (!pszResolv || !pszDir)
        GTEST_SKIP() << "runs in the WPAD fixture's own namespace (wpad_* tests)";
    const std::string resolv = pszResolv;
    const int nSquidPort = ProxyPortOf("SQUID_PORT_FILE");
    ASSERT_NE(nSquidPort, 0) << "run through ctest, which starts squid";
    ASSERT_TRUE(WriteWholeFile(WindowsPath(std::string(pszDir) + "/www/wpad.dat"),
                               "function FindProxyForURL(url, host) { return \"PROXY " + ProxyOn(nSquidPort) +
                                   "\"; }\n"));
    const std::string dnsLog = WindowsPath(std::string(pszDir) + "/dnsmasq.log");
    const auto wpadQuestions = [&] {
        const std::string log = ReadWholeFile(dnsLog);
        int nCount = 0;
        for (size_t n = log.find("query[A] wpad."); n != std::string::npos; n = log.find("query[A] wpad.", n + 1))
            ++nCount;
        return nCount;
    };
    ScopedValue domain(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Tcpip\\Parameters", "Domain",
                       REG_SZ, resolv == "wpad" ? std::string("wpad-test.example") : std::string("nowpad.example"));
    ScopedValue detection(HKEY_CURRENT_USER,
                          "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections",
                          "DefaultConnectionSettings", REG_BINARY, ConnectionFlags(0x09));
    ScopedValue missed(HKEY_CURRENT_USER, "Software\\Quillbrook\\QBSUITE\\Updater", "ProxyDetectionMissed", REG_SZ,
                       "");
    const std::string dest = DestOf(false);
    struct Row {
        const char* pszName;
        unsigned char nFlags;
        bool bScript;       // AutoConfigURL names a script with a dead proxy
        bool bThroughSquid; // where the request went
        int nAsked;         // whether the DNS responder was asked for wpad (-1: not counted)
    };
    std::vector<Row> rows;
    if (resolv == "wpad")
        rows = {{"detected", 0x09, false, true, 1},
                {"detection before the named script", 0x09, true, true, 1},
                {"detection off", 0x01, false, false, 0}};
    else if (resolv == "none")
        rows = {{"nothing detected", 0x09, false, false, 1}, {"the miss remembered", 0x09, false, false, 0}};
    else
        rows = {{"a silent name server", 0x09, false, false, -1}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        DeleteFileA(dest.c_str());
        detection.Set(REG_BINARY, ConnectionFlags(row.nFlags));
        const std::string page = "<html>page</html>";
        ScriptedServer origin(Answering(Ok(page)));
        PointAt(false, origin.Port());
        ScriptedServer scriptServer(Answering(OkResponse(
            "function FindProxyForURL(url, host) { return \"PROXY " + ProxyOn(RefusingPort()) + "\"; }\n")));
        std::optional<ProxySettings> settings;
        if (row.bScript)
            settings.emplace(0, std::nullopt, std::nullopt, UrlOf(scriptServer.Port(), "/proxy.pac"));
        const int nAskedBefore = wpadQuestions();

        const DWORD nStart = GetTickCount();
        const RunResult run = RunDialog(false);
        const DWORD nMs = GetTickCount() - nStart;

        EXPECT_EQ(run.nOutcome, OUTCOME_COMPLETED) << DescribeBoxes(run.boxes);
        EXPECT_TRUE(ReadWholeFile(dest) == page);
        EXPECT_EQ(CameThroughSquid(origin), row.bThroughSquid) << origin.Request();
        if (!row.bThroughSquid) {
            // Direct, byte for byte as without detection.
            EXPECT_EQ(origin.Request().rfind("GET /update/info.exe HTTP/1.0\r\n", 0), 0u) << origin.Request();
        }
        EXPECT_EQ(scriptServer.Connections(), 0);
        if (row.nAsked >= 0) {
            EXPECT_EQ(wpadQuestions() > nAskedBefore, row.nAsked > 0);
        }
        if (resolv == "silent") {
            // The bound holds, then the manual setting: one record.
            EXPECT_LT(nMs, kScriptBoundMs + 4000);
            ASSERT_EQ(LinesOf(run.records), std::vector<int>{LOG_LINE_PROXY_DETECTION_NOT_USED});
            EXPECT_EQ(run.records[0].text,
                      "Automatic proxy detection not used, the next setting applies: no answer within 5 seconds");
        } else {
            EXPECT_TRUE(run.records.empty()) << run.records[0].text;
            EXPECT_LT(nMs, kScriptBoundMs);
        }
    }
}

// Every address of a host, as Windows resolves it, in the WPAD fixture's
// namespace: its hosts file knows v6only.test (::1 alone) and dual.test
// (::1, where the TLS fixture's dual port never answers, and 127.0.0.1).
// With a silent name server the lookup ends with the setup's deadline, or
// at once with Cancel.
TEST_F(Transfer, EveryAddressOfTheHostIsTriedInTurn)
{
    const char* pszResolv = std::getenv("WPAD_RESOLV");
    if (!pszResolv)
        GTEST_SKIP() << "runs in the WPAD fixture's own namespace (addresses_* tests)";
    const std::string resolv = pszResolv;
    const std::string plain = std::to_string(TlsPortOf("plain"));
    const int nSquidPort = ProxyPortOf("SQUID_PORT_FILE");
    ASSERT_NE(TlsPortOf("dual"), 0) << "run through ctest, which starts the TLS servers";
    ASSERT_NE(nSquidPort, 0) << "run through ctest, which starts squid";
    const std::string page = "<html>" + std::string(20000, 'a') + "</html>";
    ASSERT_TRUE(WriteWholeFile(TlsFixtureFolder() + "\\www\\info.exe", page));
    const std::string dest = DestOf(false);

    if (resolv == "none") {
        // Each update stored and started.
        const std::string program = MarkProgramBytes();
        ASSERT_TRUE(WriteWholeFile(TlsFixtureFolder() + "\\www\\Update.exe", program));
        const std::string update = DestOf(true);
        struct Row {
            const char* pszName;
            std::string url;
            bool bThroughSquid;
            DWORD nWithinMs;
        };
        const Row rows[] = {
            {"an IPv6 address", "http://[::1]:" + plain + "/Update.exe", false, 5000},
            {"a name with an IPv6 address alone", "http://v6only.test:" + plain + "/Update.exe", false, 5000},
            // The IPv4 attempt starts 250 ms after the unanswered one.
            {"a name whose IPv6 address never answers", "http://dual.test:" + std::to_string(TlsPortOf("dual")) +
                 "/Update.exe", false, 1500},
            {"squid at [::1] as the proxy", "http://localhost:" + plain + "/Update.exe", true, 5000},
        };
        for (const Row& row : rows) {
            SCOPED_TRACE(row.pszName);
            ASSERT_TRUE(RemoveEarlierRun(update));
            PointModeAt(true, row.url);
            std::optional<ProxySettings> proxy;
            if (row.bThroughSquid)
                proxy.emplace(1, "[::1]:" + std::to_string(nSquidPort));
            const int nSquidBefore = SquidLogCount(row.url);

            const DWORD nStart = GetTickCount();
            const RunResult run = RunDialog(true);

            EXPECT_LT(GetTickCount() - nStart, row.nWithinMs);
            EXPECT_EQ(run.nOutcome, OUTCOME_COMPLETED) << DescribeBoxes(run.boxes);
            EXPECT_TRUE(ReadWholeFile(update) == program);
            EXPECT_TRUE(run.records.empty()) << run.records[0].text;
            EXPECT_EQ(SquidLogCount(row.url) - nSquidBefore, row.bThroughSquid ? 1 : 0);
            EXPECT_TRUE(WaitForMark(update, kLaunchWaitMs));
        }
        return;
    }

    ASSERT_EQ(resolv, "silent-long");
    {
        SCOPED_TRACE("the setup's deadline");
        ASSERT_TRUE(RemoveEarlierRun(dest));
        PointModeAt(false, "http://never.example:" + plain + "/info.exe");
        const DWORD nStart = GetTickCount();
        const RunResult run = RunDialog(false);
        const DWORD nMs = GetTickCount() - nStart;
        EXPECT_GE(nMs, CHttpInterface::kSetupDeadlineMs - 1000);
        EXPECT_LT(nMs, CHttpInterface::kSetupDeadlineMs + 5000);
        EXPECT_EQ(run.nOutcome, OUTCOME_CONNECTION_FAILED);
        EXPECT_TRUE(BoxCountIs(run.boxes, 2));
        ASSERT_EQ(LinesOf(run.records),
                  (std::vector<int>{LOG_LINE_CONNECT_ERROR, LOG_LINE_CONNECTION_LOST, LOG_LINE_UNABLE_TO_CONNECT}));
        EXPECT_EQ(run.records[0].text, "Error " + std::to_string(WSAETIMEDOUT) + " connecting to host: 'never.example'");
        EXPECT_FALSE(FileExists(dest));
    }
    {
        SCOPED_TRACE("Cancel during the next hop's lookup");
        ASSERT_TRUE(RemoveEarlierRun(dest));
        ScriptedServer moved(Answering("HTTP/1.0 302 Found\r\nLocation: http://never.example/info.exe\r\n\r\n"));
        PointAt(false, moved.Port());
        DWORD nRedirected = 0;
        DWORD nCancelAt = 0;
        const RunResult run = RunDialog(false, [](const ObservedBox&) { return IDYES; }, [&](TransferDlg& dlg) {
            dlg.CancelWhen([&](const TransferDlg&) {
                if (moved.Connections() == 0)
                    return false;
                if (nRedirected == 0)
                    nRedirected = GetTickCount();
                if (GetTickCount() - nRedirected < 1000)
                    return false;
                nCancelAt = GetTickCount();
                return true;
            });
        });
        ASSERT_NE(nCancelAt, 0u);
        EXPECT_LT(GetTickCount() - nCancelAt, 3000u);
        EXPECT_EQ(run.nOutcome, OUTCOME_CANCELLED);
        const std::vector<int> lines = LinesOf(run.records);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], LOG_LINE_REDIRECTED);
        EXPECT_FALSE(FileExists(dest));
    }
}
