// Reception of a response, fed to the dialog chunk by chunk as the socket
// delivers it, through the reader that the transfer uses: header parsing, progress positions, the bound on the header
// block, and where the body is stored.

#include "updater/UpdaterDlg.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "TransferTestSupport.h"
#include "eventlog/LogLines.h"
#include "net/NetTestSupport.h"
#include "net/ResponseHeaders.h"
#include "support/BoxWatcher.h"
#include "support/ScriptedServer.h"

namespace {

// Every position sent to the progress bar, in order.
std::vector<unsigned> g_positions;

LRESULT CALLBACK RecorderProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == PBM_SETPOS) {
        g_positions.push_back(static_cast<unsigned>(wParam));
        return 0;
    }
    return DefWindowProcA(hWnd, message, wParam, lParam);
}

// A message-only window that stands in for the progress bar.
HWND RecorderWindow()
{
    static HWND s_hWnd = [] {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = RecorderProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = "PositionRecorder";
        RegisterClassA(&wc);
        return CreateWindowExA(0, "PositionRecorder", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                               nullptr);
    }();
    return s_hWnd;
}

// A dialog in description mode that receives a response directly.
struct Receiver {
    explicit Receiver(const std::string& strDest)
    {
        dlg.m_bRunMode = FALSE;
        dlg.m_strDestPath = strDest.c_str();
        dlg.m_progress.m_hWnd = RecorderWindow();
        g_positions.clear();
    }
    ~Receiver()
    {
        // The completion posts its close to the dialog's (here absent)
        // window, which makes it a message of the thread.
        MSG msg;
        while (PeekMessageA(&msg, nullptr, WM_CLOSE, WM_CLOSE, PM_REMOVE)) {
        }
    }

    // In chunks of at most 1024 bytes, as the socket delivers them.
    void Feed(const std::string& bytes)
    {
        for (size_t i = 0; i < bytes.size(); i += 1024)
            FeedChunk(bytes.substr(i, 1024));
    }
    void FeedChunk(const std::string& chunk) { reader.Take(chunk.data(), static_cast<int>(chunk.size())); }
    // The connection ends; a plain one always vouches for its end.
    void Close(int nErrorCode) { reader.End(nErrorCode, true); }
    void FeedChunks(const std::vector<std::string>& chunks)
    {
        for (const std::string& chunk : chunks)
            FeedChunk(chunk);
    }
    std::string Headers() const { return std::string(dlg.m_strHeaders.GetString(), dlg.m_strHeaders.GetLength()); }
    // What the held temporary file holds, read once it is closed as the
    // completion closes it.
    std::string StoredBody()
    {
        dlg.m_download.HeldFile().Close();
        return ReadWholeFile(TempPathOf(dlg.m_strDestPath.GetString()));
    }

    CUpdaterDlg dlg;
    // Reads the response for the dialog as the transfer does: no proxy keeps
    // the connection, so the response ends at the server's close.
    CResponseReader reader{dlg, false};
};

class Reception : public testing::Test {
protected:
    // The only record of a failed store, and nothing committed.
    void ExpectWriteErrorOnly(const LogCapture& log)
    {
        const std::vector<LogRecord> records = log.Records();
        ASSERT_EQ(LinesOf(records), std::vector<int>{LOG_LINE_WRITE_ERROR});
        EXPECT_EQ(records[0].text.rfind("Error writing to " + dest + ": ", 0), 0u) << records[0].text;
        EXPECT_EQ(ReadWholeFile(dest), "previous");
        EXPECT_FALSE(FileExists(TempPathOf(dest)));
    }

    TempFolder folder{"xfer", {"ContentCache", "templates"}};
    const std::string dest = folder / "ContentCache\\dest.bin";
};

std::string Join(const std::vector<std::string>& lines)
{
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i)
        text += (i ? "\r\n" : "") + lines[i];
    return text;
}

std::string Body(size_t nBytes)
{
    std::string body;
    for (size_t i = 0; i < nBytes; ++i)
        body += static_cast<char>('a' + i % 26);
    return body;
}

} // namespace

TEST_F(Reception, HeaderBlockGivesStatusCodeAndContentLength)
{
    // nAnnounced: the strict length that ends a response through a proxy;
    // -1 when the block announces none beyond doubt.
    struct Row {
        std::vector<std::string> lines; // status line first
        int nStatus;
        int nContentLength;
        long long nAnnounced;
    };
    const Row rows[] = {
        {{"HTTP/1.0 200 OK", "Content-Length: 512"}, 200, 512, 512},
        {{"HTTP/1.0 200 OK", "Server: x", "Content-Length: 512", "Content-Type: text/html"}, 200, 512, 512},
        {{"HTTP/1.0 200 OK"}, 0, -1, -1},
        {{"HTTP/1.0 200", "Content-Length: 5"}, 0, 5, 5},
        {{"HTTP/1.0 200 ", "Content-Length: 5"}, 200, 5, 5},
        {{"HTTP/1.0  200 OK", "Server: x"}, 0, -1, -1},
        {{"HTTP/1.0 404 Not Found", "Content-Length: 5"}, 404, 5, 5},
        {{"HTTP/1.0 0200 OK", "Server: x"}, 200, -1, -1},
        {{"", "HTTP/1.0 200 OK", "Server: x"}, 0, -1, -1},
        {{"HTTP/1.0 200 OK", "content-length: 99"}, 200, -1, 99},
        {{"HTTP/1.0 200 OK", "Content-Length:99"}, 200, -1, 99},
        {{"HTTP/1.0 200 OK", "Content-Length:   99"}, 200, 99, 99},
        {{"HTTP/1.0 200 OK", "Content-Length: 99 bytes"}, 200, 99, -1},
        {{"HTTP/1.0 200 OK", "Content-Length: abc"}, 200, 0, -1},
        {{"HTTP/1.0 200 OK", "X-Content-Length: 5", "Content-Length: 99"}, 200, 5, 99},
        {{"HTTP/1.0 200 OK", "Content-Length: -5"}, 200, -5, -1},
        {{"HTTP/1.0 200 OK", "Content-Length: +5"}, 200, 5, -1},
        {{"HTTP/1.0 200 OK", "Content-Length: "}, 200, 0, -1},
        {{"HTTP/1.0 200 OK", "Content-Length : 5"}, 200, -1, -1},
        {{"HTTP/1.0 200 OK", "Content-Length: 5\t"}, 200, 5, 5},
        {{"HTTP/1.0 200 OK", "Content-Length: 5", "CONTENT-LENGTH: 5"}, 200, 5, 5},
        {{"HTTP/1.0 200 OK", "Content-Length: 5", "Content-Length: 6"}, 200, 5, -1},
        {{"Content-Length: 5"}, 0, 5, -1}, // a status line is no header line
    };
    for (const Row& row : rows) {
        const std::string block = Join(row.lines);
        SCOPED_TRACE(block);
        Receiver r(dest);
        r.Feed(block + "\r\n\r\nbody");
        EXPECT_EQ(r.Headers(), block);
        EXPECT_EQ(r.dlg.GetStatusCode(), row.nStatus);
        EXPECT_EQ(r.dlg.GetContentLength(), row.nContentLength);
        EXPECT_EQ(r.dlg.m_nContentLength, static_cast<uint32_t>(row.nContentLength));
        EXPECT_EQ(r.dlg.m_bHttpError != FALSE, row.nStatus != 200);
        uint64_t nAnnounced = 0;
        const bool bAnnounced = AnnouncedLengthOf(r.dlg.m_strHeaders, &nAnnounced);
        EXPECT_EQ(bAnnounced ? static_cast<long long>(nAnnounced) : -1, row.nAnnounced);
    }

    uint64_t nAnnounced = 0;
    EXPECT_TRUE(AnnouncedLengthOf("HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551615", &nAnnounced));
    EXPECT_EQ(nAnnounced, UINT64_MAX);
    EXPECT_FALSE(AnnouncedLengthOf("HTTP/1.1 200 OK\r\nContent-Length: 18446744073709551616", &nAnnounced));
}

TEST_F(Reception, ResponseCutAtAnyPositionGivesTheSameHeadersAndBody)
{
    const std::string block = "HTTP/1.0 200 OK\r\nServer: x\r\nContent-Length: 40";
    const std::string body = Body(40);
    const std::string response = block + "\r\n\r\n" + body;
    ASSERT_TRUE(WriteWholeFile(dest, "previous"));
    for (size_t nCut = 1; nCut < response.size(); ++nCut) {
        SCOPED_TRACE(nCut);
        Receiver r(dest);
        r.FeedChunks({response.substr(0, nCut), response.substr(nCut)});
        EXPECT_EQ(r.Headers(), block);
        EXPECT_EQ(r.dlg.m_nContentLength, 40u);
        EXPECT_EQ(r.dlg.m_nReceived, response.size());
        EXPECT_EQ(r.StoredBody(), body);
        EXPECT_EQ(ReadWholeFile(dest), "previous");
    }
}

TEST_F(Reception, TerminatorSplitOverSeveralReadsIsFound)
{
    const std::string block = "HTTP/1.0 200 OK\r\nContent-Length: 4";
    const std::vector<std::vector<std::string>> chunkings = {
        {block + "\r", "\n", "\r", "\nbody"},
        {block, "\r\n", "\r\nbo", "dy"},
        {block + "\r\n\r", "\n", "body"},
    };
    for (const auto& chunks : chunkings) {
        Receiver r(dest);
        r.FeedChunks(chunks);
        EXPECT_EQ(r.Headers(), block);
        EXPECT_EQ(r.StoredBody(), "body");
    }

    Receiver r(dest);
    for (char ch : block + "\r\n\r\nbody")
        r.FeedChunk(std::string(1, ch));
    EXPECT_EQ(r.Headers(), block);
    EXPECT_EQ(r.StoredBody(), "body");
}

TEST_F(Reception, HeaderBlockAndWholeBodyInOneReadSendNoPosition)
{
    Receiver r(dest);
    r.FeedChunk("HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n0123456789");
    EXPECT_TRUE(g_positions.empty());
    EXPECT_EQ(r.StoredBody(), "0123456789");
}

TEST_F(Reception, ProgressPositionsFollowTheContentLength)
{
    // The header block arrives alone, then the body in chunks of 1024.
    struct Row {
        const char* pszLengthLine;
        size_t nBody;
        std::vector<unsigned> positions;
    };
    const Row rows[] = {
        {"Server: x", 2048, {0}},                 // no length: the first chunk sends 0, which stays
        {"Content-Length: 0", 2048, {}},          // never
        {"Content-Length: abc", 2048, {}},        // never
        {"Content-Length: 2048", 2048, {52, 102}}, // header bytes count: the end is above 100
        {"Content-Length: 100000", 3072, {1, 2, 3}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszLengthLine);
        Receiver r(dest);
        r.FeedChunk(std::string("HTTP/1.0 200 OK\r\n") + row.pszLengthLine + "\r\n\r\n");
        EXPECT_TRUE(g_positions.empty());
        r.Feed(Body(row.nBody));
        EXPECT_EQ(g_positions, row.positions);
    }
}

TEST_F(Reception, ProgressNeverFallsBackOnLargeBodies)
{
    // A status other than 200, so that no file is written: the positions
    // alone are under test here.
    Receiver r(dest);
    r.FeedChunk("HTTP/1.0 404 Not Found\r\nContent-Length: 50000000\r\n\r\n");
    const std::string chunk = Body(1024);
    while (r.dlg.m_nReceived < 43000000)
        r.FeedChunk(chunk);
    ASSERT_FALSE(g_positions.empty());
    for (size_t i = 1; i < g_positions.size(); ++i)
        ASSERT_LE(g_positions[i - 1], g_positions[i]) << "at chunk " << i;
    EXPECT_EQ(g_positions.back(), 86u);
}

TEST_F(Reception, ProgressAroundThe32BitProductLimit)
{
    Receiver r(dest);
    r.FeedChunk("HTTP/1.0 200 OK\r\nContent-Length: 50000000\r\n\r\n");
    // 42,949,672 bytes times 100 is the last product that fits 32 bits.
    r.dlg.m_nReceived = 42949672 - 1;
    r.FeedChunk("x");
    r.FeedChunk("y");
    r.FeedChunk(Body(1024));
    EXPECT_EQ(g_positions, (std::vector<unsigned>{85})); // sent once: it does not change
    EXPECT_EQ(r.StoredBody(), "xy" + Body(1024));
}

TEST_F(Reception, UnreadableHeaderBlockKeepsNothingAndIsAnHttpError)
{
    struct Row {
        const char* pszName;
        std::string response;
    };
    const std::string bigBody = Body(5 * 1024 * 1024);
    const char kWithZero[] = "HTTP/1.0 200 OK\r\nX: \0\r\nContent-Length: 5\r\n\r\n";
    const Row rows[] = {
        {"5 MB without an end", "HTTP/1.0 200 OK\r\nX: " + bigBody},
        {"zero byte in the block", std::string(kWithZero, sizeof(kWithZero) - 1) + bigBody},
        {"ends one byte beyond 64 KiB", "HTTP/1.0 200 OK\r\nX: " + std::string(65536 - 23, 'x') + "\r\n\r\nbody"},
        {"empty header block", "\r\n\r\nHTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\n" + Body(3000)},
    };
    ASSERT_TRUE(WriteWholeFile(dest, "previous"));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        Receiver r(dest);
        r.Feed(row.response);
        EXPECT_EQ(r.dlg.m_nReceived, row.response.size());
        EXPECT_TRUE(r.dlg.m_bHttpError);
        EXPECT_EQ(r.dlg.GetStatusCode(), 0);
        EXPECT_TRUE(g_positions.empty());
        EXPECT_FALSE(FileExists(TempPathOf(dest)));
        EXPECT_EQ(ReadWholeFile(dest), "previous");
    }
}

TEST_F(Reception, HeaderBlockEndingWithin64KiBIsRead)
{
    // The terminator's last byte is the 65,536th byte of the response.
    const std::string block = "HTTP/1.0 200 OK\r\nX: " + std::string(65536 - 24, 'x');
    Receiver r(dest);
    r.Feed(block + "\r\n\r\nbody");
    EXPECT_EQ(r.Headers(), block);
    EXPECT_EQ(r.dlg.GetStatusCode(), 200);
    EXPECT_FALSE(r.dlg.m_bHttpError);
    EXPECT_EQ(r.StoredBody(), "body");
}

TEST_F(Reception, OnlyA200BodyIsWrittenAndOnlyToTheTemporaryFile)
{
    struct Row {
        const char* pszStatusLine;
        bool bStored;
    };
    const Row rows[] = {
        {"HTTP/1.0 200 OK", true},
        {"HTTP/1.0 404 Not Found", false},
        {"HTTP/1.0 500 Server Error", false},
        {"HTTP/1.0 200", false}, // unreadable status line: status 0
    };
    ASSERT_TRUE(WriteWholeFile(dest, "previous"));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszStatusLine);
        Receiver r(dest);
        r.Feed(std::string(row.pszStatusLine) + "\r\nServer: x\r\n\r\n" + Body(3000));
        EXPECT_EQ(FileExists(TempPathOf(dest)), row.bStored);
        if (row.bStored) {
            EXPECT_EQ(r.StoredBody(), Body(3000));
        }
        EXPECT_EQ(ReadWholeFile(dest), "previous");
    }
}

TEST_F(Reception, NormalCloseReplacesTheDestinationOnlyWithACompleteBody)
{
    struct Row {
        const char* pszName;
        std::string response;
        const char* pszStored; // the destination afterwards
        int nOutcome;
    };
    const Row rows[] = {
        {"exact length", "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nbody", "body", OUTCOME_COMPLETED},
        {"more than announced", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nbody", "body", OUTCOME_COMPLETED},
        {"no length", "HTTP/1.0 200 OK\r\nServer: x\r\n\r\nbody", "body", OUTCOME_COMPLETED},
        {"length 0", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\nbody", "body", OUTCOME_COMPLETED},
        {"empty body", "HTTP/1.0 200 OK\r\nServer: x\r\n\r\n", "", OUTCOME_COMPLETED},
        {"short body", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nbody", "previous", OUTCOME_CONNECTION_FAILED},
        {"header block incomplete", "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n", "previous",
         OUTCOME_CONNECTION_FAILED},
        {"status 404", "HTTP/1.0 404 Not Found\r\nServer: x\r\n\r\nbody", "previous", OUTCOME_HTTP_ERROR},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        ASSERT_TRUE(WriteWholeFile(dest, "previous"));
        BoxWatcher watcher;
        Receiver r(dest);
        r.Feed(row.response);
        r.Close(0);
        EXPECT_EQ(ReadWholeFile(dest), row.pszStored);
        EXPECT_FALSE(FileExists(TempPathOf(dest)));
        EXPECT_EQ(r.dlg.m_nOutcome, row.nOutcome);
        EXPECT_TRUE(BoxCountIs(watcher.Boxes(), row.nOutcome == OUTCOME_COMPLETED ? 0 : 1));
    }
}

TEST_F(Reception, TemporaryFileIsHeldExclusivelyAndClosedOnEveryEnd)
{
    const std::string response = "HTTP/1.0 200 OK\r\nContent-Length: 3000\r\n\r\n" + Body(3000);
    const std::string firstPart = response.substr(0, 2048);
    struct Row {
        const char* pszName;
        int nErrorCode; // the close; -2: the dialog goes without one
        const char* pszStored;
    };
    const Row rows[] = {
        {"normal close after the whole body", 0, nullptr},
        {"connection reset", 10054, "previous"},
        {"dialog destroyed mid-transfer", -2, "previous"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        ASSERT_TRUE(WriteWholeFile(dest, "previous"));
        BoxWatcher watcher;
        {
            Receiver r(dest);
            r.Feed(firstPart);
            // Nobody else can open or remove the file meanwhile, and the
            // destination is untouched until the one move.
            const HANDLE hOther = CreateFileA(TempPathOf(dest).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            EXPECT_EQ(hOther, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
            if (hOther != INVALID_HANDLE_VALUE)
                CloseHandle(hOther);
            EXPECT_FALSE(DeleteFileA(TempPathOf(dest).c_str()));
            EXPECT_EQ(ReadWholeFile(dest), "previous");

            if (row.nErrorCode == 0)
                r.Feed(response.substr(firstPart.size()));
            if (row.nErrorCode != -2)
                r.Close(row.nErrorCode);
        }
        // Removing the file succeeds only once it has been closed.
        EXPECT_FALSE(FileExists(TempPathOf(dest)));
        EXPECT_TRUE(ReadWholeFile(dest) == (row.pszStored ? row.pszStored : Body(3000)));
    }
}

TEST_F(Reception, TemporaryFileChangedUnderTheProgramIsNotCommitted)
{
    // The file is let go first and then changed by name, as a scanner or a
    // cleanup tool working outside Windows' sharing rules could: a file
    // that is no longer held is not committed.
    struct Row {
        const char* pszName;
        std::function<void(const std::string&)> change;
    };
    const Row rows[] = {
        {"removed", [](const std::string& strPath) { DeleteFileA(strPath.c_str()); }},
        {"cut", [](const std::string& strPath) { ASSERT_TRUE(WriteWholeFile(strPath, Body(100))); }},
        {"grown", [](const std::string& strPath) { ASSERT_TRUE(WriteWholeFile(strPath, Body(3001))); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pszName);
        ASSERT_TRUE(WriteWholeFile(dest, "previous"));
        LogCapture log;
        Receiver r(dest);
        r.Feed("HTTP/1.0 200 OK\r\nContent-Length: 3000\r\n\r\n" + Body(3000));
        r.dlg.m_download.HeldFile().Close();
        row.change(TempPathOf(dest));
        r.Close(0);

        EXPECT_EQ(r.dlg.m_nOutcome, OUTCOME_STORE_FAILED);
        ExpectWriteErrorOnly(log);
    }
}

TEST_F(Reception, FailedWriteIsLoggedOnceNamingTheDestinationAndNothingIsCommitted)
{
    ASSERT_TRUE(WriteWholeFile(dest, "previous"));
    const std::string readOnly = folder / "read-only.bin";
    ASSERT_TRUE(WriteWholeFile(readOnly, "x"));
    LogCapture log;
    Receiver r(dest);
    r.Feed("HTTP/1.0 200 OK\r\nContent-Length: 4096\r\n\r\n" + Body(1024));
    // Writes now go to a handle that refuses them, as a failing volume would.
    const HANDLE hHeld = r.dlg.m_download.HeldFile().m_hFile.Detach();
    r.dlg.m_download.HeldFile().m_hFile = FileHandleOf(
        CreateFileA(readOnly.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(r.dlg.m_download.HeldFile().m_hFile.IsValid());
    r.Feed(Body(3072));
    CloseHandle(hHeld);
    r.Close(0);

    EXPECT_EQ(r.dlg.m_nOutcome, OUTCOME_STORE_FAILED);
    ExpectWriteErrorOnly(log);
}

// The blocks are gathered and written a piece at a time: the volume that
// refuses the piece in the middle of the body is recorded once, when that
// piece is written, and the blocks after it are not stored.
TEST_F(Reception, WriteFailingInTheMiddleOfAGatheredPieceIsLoggedOnceAndNothingIsStored)
{
    ASSERT_TRUE(WriteWholeFile(dest, "previous"));
    const std::string readOnly = folder / "read-only.bin";
    ASSERT_TRUE(WriteWholeFile(readOnly, "x"));
    const std::string body = Body(256 * 1024);
    LogCapture log;
    Receiver r(dest);
    // A piece written, and the next one gathering: HeldFile writes what has
    // gathered before the volume begins to refuse.
    r.Feed("HTTP/1.0 200 OK\r\nContent-Length: 262144\r\n\r\n" + body.substr(0, 100 * 1024));
    const HANDLE hHeld = r.dlg.m_download.HeldFile().m_hFile.Detach();
    r.dlg.m_download.HeldFile().m_hFile = FileHandleOf(
        CreateFileA(readOnly.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(r.dlg.m_download.HeldFile().m_hFile.IsValid());
    r.Feed(body.substr(100 * 1024, 60 * 1024));
    EXPECT_TRUE(log.Records().empty()) << "the piece is not full yet";
    r.Feed(body.substr(160 * 1024));
    EXPECT_EQ(LinesOf(log.Records()), std::vector<int>{LOG_LINE_WRITE_ERROR}) << "recorded when the piece is written";
    EXPECT_EQ(r.dlg.m_nBodyReceived, body.size());
    CloseHandle(hHeld);
    r.Close(0);

    EXPECT_EQ(r.dlg.m_nOutcome, OUTCOME_STORE_FAILED);
    ExpectWriteErrorOnly(log);
}

namespace {

// A dialog in description mode whose every block costs about 150 us more,
// so that the socket holds far more than one read notification hands on:
// the user presses Cancel once 1 MiB has come, and the question that
// follows is answered Yes.
class SlowReceiverDlg : public CUpdaterDlg {
public:
    SlowReceiverDlg() { m_bRunMode = FALSE; }

    void OnTransferData(const char* pData, int nLength) override
    {
        LARGE_INTEGER frequency;
        LARGE_INTEGER start;
        LARGE_INTEGER now;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        do {
            QueryPerformanceCounter(&now);
        } while ((now.QuadPart - start.QuadPart) * 1000000 < 150 * frequency.QuadPart);
        CUpdaterDlg::OnTransferData(pData, nLength);
        if (m_bClosed)
            ++nBlocksAfterTheEnd;
        if (nPressedAt == 0 && m_nReceived >= 1024 * 1024) {
            nPressedAt = GetTickCount();
            PressButton(m_hWnd, IDCANCEL);
        }
    }

    void OnCancel() override
    {
        if (nQuestionAt == 0)
            nQuestionAt = GetTickCount();
        CUpdaterDlg::OnCancel();
        if (m_bClosed && nEndedAt == 0)
            nEndedAt = GetTickCount();
    }

    DWORD nPressedAt = 0;
    DWORD nQuestionAt = 0;
    DWORD nEndedAt = 0; // the connection closed
    int nBlocksAfterTheEnd = 0;
};

} // namespace

// Cancel pressed while the blocks come back to back is handled within the
// bound of one read notification, and so is the Yes to its question; the
// transfer ends at once.
TEST_F(Reception, CancelDuringALongRunOfBackToBackBlocksEndsTheTransferWithin100Ms)
{
    // The settings of the suite are this test's, and put back after it.
    struct Settings {
        Settings()
        {
            SuiteSettings::Backup();
            SuiteSettings::Clear();
        }
        ~Settings()
        {
            SuiteSettings::Clear();
            SuiteSettings::Restore();
        }
    } settings;
    SuiteSettings::Set(SuiteSettings::kSuiteKey, "RootPath", folder.Path());
    SuiteSettings::Set(SuiteSettings::kChannelKey, "Cache", "\\templates\\info.exe");
    StartSockets();
    ProxySettings direct{DWORD{0}, std::nullopt};
    const std::string body = Body(16 * 1024 * 1024);
    ScriptedServer server({ServerStep::ReadRequest(),
                           ServerStep::Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                                            "\r\n\r\n" + body),
                           ServerStep::Close()});
    SuiteSettings::Set(SuiteSettings::kUpdatesKey, "Description",
                       "http://127.0.0.1:" + std::to_string(server.Port()) + "/update/info.exe");
    SuiteSettings::Set(SuiteSettings::kUpdatesKey, "Source",
                       "http://127.0.0.1:" + std::to_string(RefusingPort()) + "/none");
    DWORD nAnsweredAt = 0;
    DWORD nEndedAt = 0;
    int nOutcome = -1;
    uint32_t nReceived = 0;
    int nBlocksAfterTheEnd = 0;
    DWORD nPressedAt = 0;
    DWORD nQuestionAt = 0;
    {
        BoxWatcher watcher([&](const ObservedBox&) {
            nAnsweredAt = GetTickCount();
            return IDYES;
        });
        SlowReceiverDlg dlg;
        dlg.DoModal();
        nEndedAt = dlg.nEndedAt;
        nOutcome = dlg.m_nOutcome;
        nReceived = dlg.m_nReceived;
        nBlocksAfterTheEnd = dlg.nBlocksAfterTheEnd;
        nPressedAt = dlg.nPressedAt;
        nQuestionAt = dlg.nQuestionAt;
        EXPECT_TRUE(BoxCountIs(watcher.Boxes(), 1));
    }

    std::printf("[ info ] press to question %lu ms, answer to end %lu ms, %u bytes received\n",
                static_cast<unsigned long>(nQuestionAt - nPressedAt), static_cast<unsigned long>(nEndedAt - nAnsweredAt),
                nReceived);
    ASSERT_NE(nPressedAt, 0u) << "the body never came";
    ASSERT_NE(nQuestionAt, 0u);
    ASSERT_NE(nAnsweredAt, 0u);
    ASSERT_NE(nEndedAt, 0u);
    EXPECT_LT(nQuestionAt - nPressedAt, 100u) << "from the press to the question";
    EXPECT_LT(nEndedAt - nAnsweredAt, 100u) << "from the answer to the end";
    EXPECT_EQ(nOutcome, OUTCOME_CANCELLED);
    EXPECT_EQ(nBlocksAfterTheEnd, 0);
    EXPECT_LT(nReceived, body.size() / 2) << "the run of blocks was over before the press";
    EXPECT_FALSE(FileExists(folder / "templates\\info.exe"));
    EXPECT_FALSE(FileExists(TempPathOf(folder / "templates\\info.exe")));
    EXPECT_FALSE(FileExists(PartPathOf(folder / "templates\\info.exe")));
}

// The bookkeeping beside a kept part: read back as written, and not
// trusted when a field is missing, doubled, empty or no number.
TEST(KeptBookkeeping, ReadBackAsWrittenAndRefusedWhenDamaged)
{
    KeptTransfer kept;
    kept.sourceUrl = "http://updates.corp/latest/Update.exe";
    kept.url = "https://cdn.corp/3.1/Update.exe";
    kept.validator = "\"5f3a-1000000\"";
    kept.nLength = 16777216;
    kept.nKeptAt = 134101234567890123;
    const std::string text = KeptTransferText(kept);
    KeptTransfer read;
    ASSERT_TRUE(ParseKeptTransfer(text, &read));
    EXPECT_EQ(read.sourceUrl, kept.sourceUrl);
    EXPECT_EQ(read.url, kept.url);
    EXPECT_EQ(read.validator, kept.validator);
    EXPECT_EQ(read.nLength, kept.nLength);
    EXPECT_EQ(read.nKeptAt, kept.nKeptAt);

    const std::string damaged[] = {
        text.substr(0, text.size() - 2),          // the last line cut
        text + "Kept: 1\r\n",                     // a field twice
        text.substr(0, text.find("Validator")) + text.substr(text.find("Length")), // a field missing
        text + "Extra: 1\r\n",                    // a field of no one's
        "Source: a\r\nUrl: b\r\nValidator: \r\nLength: 5\r\nKept: 1\r\n",   // empty
        "Source: a\r\nUrl: b\r\nValidator: v\r\nLength: 0\r\nKept: 1\r\n",  // no length
        "Source: a\r\nUrl: b\r\nValidator: v\r\nLength: 5x\r\nKept: 1\r\n", // no number
        "Source: a\r\nUrl: b\r\nValidator: v\r\nLength: 99999999999999999999\r\nKept: 1\r\n",
        "",
    };
    for (const std::string& row : damaged) {
        SCOPED_TRACE(row);
        EXPECT_FALSE(ParseKeptTransfer(row, &read));
    }
}
