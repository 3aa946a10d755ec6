// Runs the built Updater.exe against generated hostile servers and checks,
// for every response, what must hold whatever the server sends: the process
// ends, its memory stays bounded, the destination holds either its previous
// bytes or a complete body, only a complete body is started, no temporary
// file stays, and every failure is one of the program's boxes.
//
//   hostile_test [--seed S] [--count N] [--long] [--verbose] [--case-seed X] [--soak N] [--updater EXE]

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Harness.h"
#include "HostileCases.h"
#include "support/ScriptedServer.h"
#include "support/Waits.h"

namespace {

// Peak private bytes allowed to one run of the updater, whatever the
// server sends: the header block is bounded and the body goes to disk.
const SIZE_T kPeakPrivateBound = 16u * 1024 * 1024;
// How long a started update program may take to leave its mark: a Wine
// process start takes half a second, several on a busy machine.
const DWORD kStartBoundMs = 30000;

struct Figures {
    int nResponses = 0;
    int nFailedCases = 0;
    int nCrashes = 0;
    int nHangs = 0;
    int nOverMemory = 0;
    int nCorrupted = 0;          // destination neither its old bytes nor a complete body
    int nIncompleteLaunches = 0; // started after anything but a complete body
    int nMissingLaunches = 0;
    int nLeftovers = 0;
    int nWrongOutcome = 0;
    int nBoxFaults = 0;
    SIZE_T nMaxPeakPrivate = 0;
    int nCancelled = 0;
    int nNotStarted = 0;
};

// A run-mode case whose mark must not appear: checked a while after the end,
// since the launched program starts on its own.
struct PendingLaunchCheck {
    std::unique_ptr<Install> install;
    std::string strMark;
    DWORD nDue;
    uint64_t nSeed;
};

bool StartsWithBytes(const std::string& str, const std::string& prefix)
{
    return !prefix.empty() && str.size() >= prefix.size() && str.compare(0, prefix.size(), prefix) == 0;
}

std::vector<ServerStep> Script(const HostileCase& c)
{
    std::vector<ServerStep> steps;
    if (c.bReadRequestFirst)
        steps.push_back(ServerStep::ReadRequest());
    for (size_t i = 0; i < c.writes.size(); ++i) {
        steps.push_back(ServerStep::Send(c.writes[i]));
        if (c.delaysMs[i] > 0)
            steps.push_back(ServerStep::Sleep(c.delaysMs[i]));
    }
    switch (c.end) {
    case HostileCase::kClose: steps.push_back(ServerStep::Close()); break;
    case HostileCase::kReset: steps.push_back(ServerStep::Reset()); break;
    case HostileCase::kHold: steps.push_back(ServerStep::WaitForClientClose(60000)); break;
    }
    return steps;
}

class CaseRunner {
public:
    CaseRunner(const std::string& mark, bool bShort, bool bVerbose)
        : m_mark(mark), m_bShort(bShort), m_bVerbose(bVerbose)
    {
    }

    void Run(uint64_t nSeed);
    void Soak(int nRuns);
    void FinishPending(bool bAll);
    const Figures& Result() const { return m_figures; }

private:
    void Fail(std::vector<std::string>& reasons, int& nCounter, const std::string& strReason)
    {
        ++nCounter;
        reasons.push_back(strReason);
    }

    std::string m_mark;
    bool m_bShort;
    bool m_bVerbose;
    Figures m_figures;
    std::vector<PendingLaunchCheck> m_pending;
};

void CaseRunner::Run(uint64_t nSeed)
{
    FinishPending(false);
    const HostileCase c = MakeCase(nSeed, m_mark, m_bShort);
    auto install = std::make_unique<Install>("hostile");
    const std::string strDest = install->Dest(c.bRunMode);
    if (c.bHasOld)
        WriteWholeFile(strDest, c.oldDest);

    RunResult result;
    {
        ScriptedServer server(Script(c));
        ServeBothModesFrom(server.Port(), "/updates/Update.exe", install->Root());
        RunOptions options;
        options.bRunMode = c.bRunMode;
        options.nCancelAfterMs = c.nCancelAfterMs;
        DWORD nServerMs = 0;
        for (int nDelay : c.delaysMs)
            nServerMs += static_cast<DWORD>(nDelay);
        options.nTimeoutMs += nServerMs;
        result = RunUpdater(*install, options);
    }
    if (result.nStartError) {
        // Nothing ran: the machine could not start a process. Not a result
        // of the updater; counted apart.
        ++m_figures.nNotStarted;
        std::printf("NOT STARTED --case-seed 0x%016llx: CreateProcess error %lu\n",
                    static_cast<unsigned long long>(nSeed), result.nStartError);
        return;
    }
    ++m_figures.nResponses;
    m_figures.nMaxPeakPrivate = std::max(m_figures.nMaxPeakPrivate, result.nPeakPrivate);

    std::vector<std::string> reasons;
    const int nExit = static_cast<int>(result.nExitCode);
    if (!result.bEnded)
        Fail(reasons, m_figures.nHangs, "did not end within " + std::to_string(result.nMs) + " ms");
    if (result.bCrashed)
        Fail(reasons, m_figures.nCrashes, "crashed with exit code " + std::to_string(result.nExitCode));
    if (result.nPeakPrivate > kPeakPrivateBound || result.nPeakPrivate == 0)
        Fail(reasons, m_figures.nOverMemory, "peak private bytes " + std::to_string(result.nPeakPrivate));

    bool bExists = false;
    const std::string dest = ReadWholeFile(strDest, &bExists);
    const bool bDestIsOld = bExists == c.bHasOld && (!bExists || dest == c.oldDest);
    const ResponseMeaning meaning = Interpret(c.response);
    bool bCompleteBody = false; // the destination holds a complete body of a 200 response
    if (bExists && meaning.bHeaderComplete && meaning.nStatus == 200) {
        const size_t nNeeded = meaning.nContentLength > 0 ? static_cast<size_t>(meaning.nContentLength) : 0;
        bCompleteBody = dest == meaning.body ||
                        (c.end == HostileCase::kReset && meaning.body.compare(0, dest.size(), dest) == 0 &&
                         dest.size() >= nNeeded);
    }
    if (!bDestIsOld && !bCompleteBody)
        Fail(reasons, m_figures.nCorrupted, "destination is neither its previous bytes nor a complete body (" +
                                                std::to_string(dest.size()) + " bytes)");

    // The outcome.
    if (result.bEnded && !result.bCrashed) {
        bool bOutcomeOk = false;
        if (c.end == HostileCase::kHold) {
            bOutcomeOk = nExit == kCancelled && bDestIsOld;
            ++m_figures.nCancelled;
        } else if (c.end == HostileCase::kClose) {
            const Expectation e = Expect(meaning, c.bRunMode, StartsWithBytes(meaning.body, m_mark));
            bOutcomeOk = nExit == e.nOutcome && (e.bStoresBody ? bCompleteBody : bDestIsOld);
        } else {
            // A reset may take bytes in flight with it: any honest end.
            bOutcomeOk = ((nExit == kConnectionFailed || nExit == kHttpError) && bDestIsOld) ||
                         ((nExit == kCompleted || nExit == kLaunchFailed) && bCompleteBody);
        }
        if (!bOutcomeOk)
            Fail(reasons, m_figures.nWrongOutcome, "unexpected outcome " + std::to_string(nExit));
    }

    // Boxes: the ones the outcome calls for, and none of any other kind.
    int nKindBoxes = 0;
    for (const SeenBox& box : result.boxes) {
        if (!IsKnownBox(box.text))
            Fail(reasons, m_figures.nBoxFaults, "unknown box " + DescribeBox(box));
        if ((nExit == kCancelled && IsCancelQuestion(box.text)) ||
            (nExit == kConnectionFailed && IsLostConnectionBox(box.text)) ||
            (nExit == kHttpError && IsNoUpdatesBox(box.text)) ||
            ((nExit == kLaunchFailed || nExit == kStoreFailed) && IsLaunchFailedBox(box.text)))
            ++nKindBoxes;
    }
    const bool bBoxesOk = nExit == kCompleted ? result.boxes.empty() : nKindBoxes >= 1;
    if (result.bEnded && !bBoxesOk)
        Fail(reasons, m_figures.nBoxFaults, "outcome " + std::to_string(nExit) + ": " + DescribeBoxes(result.boxes));

    // Nothing but the destination (and the mark of a launch) stays.
    for (bool bRunMode : {true, false}) {
        for (const std::string& strName : ListFiles(install->DestFolder(bRunMode))) {
            const bool bExpected =
                (bRunMode == c.bRunMode && install->Dest(bRunMode).substr(install->DestFolder(bRunMode).size() + 1) ==
                                               strName) ||
                (bRunMode && strName == "Update.exe.mark");
            if (!bExpected)
                Fail(reasons, m_figures.nLeftovers, "left behind: " + strName);
        }
    }

    // Launches.
    const std::string strMark = strDest + ".mark";
    if (c.bRunMode && nExit == kCompleted) {
        if (!WaitUntil([&] { return FileExists(strMark); }, kStartBoundMs))
            Fail(reasons, m_figures.nMissingLaunches, "the stored program was not started");
        if (!bCompleteBody || !StartsWithBytes(dest, m_mark))
            Fail(reasons, m_figures.nIncompleteLaunches, "started without a complete body");
    }

    if (m_bVerbose)
        std::printf("case 0x%016llx: %s, %s mode, %zu bytes, exit %d, %lu ms, peak %.1f MB\n",
                    static_cast<unsigned long long>(nSeed), c.strKind.c_str(), c.bRunMode ? "run" : "description",
                    c.response.size(), nExit, result.nMs, result.nPeakPrivate / 1048576.0);
    if (!reasons.empty()) {
        ++m_figures.nFailedCases;
        install->Keep();
        std::printf("FAIL --case-seed 0x%016llx (%s, %s mode, %zu bytes in %zu writes): exit %d, %zu boxes\n",
                    static_cast<unsigned long long>(nSeed), c.strKind.c_str(), c.bRunMode ? "run" : "description",
                    c.response.size(), c.writes.size(), nExit, result.boxes.size());
        for (const std::string& strReason : reasons)
            std::printf("    %s\n", strReason.c_str());
        std::printf("    kept: %s\n", install->Folder().c_str());
        std::fflush(stdout);
    }
    if (c.bRunMode && nExit != kCompleted && reasons.empty())
        m_pending.push_back({std::move(install), strMark, GetTickCount() + 2000, nSeed});
}

void CaseRunner::FinishPending(bool bAll)
{
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        const DWORD nNow = GetTickCount();
        if (!bAll && static_cast<int>(it->nDue - nNow) > 0) {
            ++it;
            continue;
        }
        if (static_cast<int>(it->nDue - nNow) > 0)
            Sleep(it->nDue - nNow);
        if (FileExists(it->strMark)) {
            ++m_figures.nIncompleteLaunches;
            ++m_figures.nFailedCases;
            it->install->Keep();
            std::printf("FAIL --case-seed 0x%016llx: a program was started although the run failed\n",
                        static_cast<unsigned long long>(it->nSeed));
        }
        it = m_pending.erase(it);
    }
}

// Consecutive ordinary updates into one installation: the per-process peak
// memory and handle count stay level, and nothing accumulates in it.
void CaseRunner::Soak(int nRuns)
{
    Install install("soak");
    Rng rng(7);
    std::vector<SIZE_T> peaks;
    std::vector<int> handles;
    int nFailures = 0;
    for (int i = 0; i < nRuns; ++i) {
        const bool bRunMode = i % 10 == 9;
        const std::string body = bRunMode ? m_mark : rng.Bytes(10000 + rng.Below(60000));
        const std::string strDest = install.Dest(bRunMode);
        DeleteFileA((strDest + ".mark").c_str());
        RunResult result;
        {
            ScriptedServer server(Answering(OkResponse(body)));
            ServeBothModesFrom(server.Port(), "/u/Update.exe", install.Root());
            RunOptions options;
            options.bRunMode = bRunMode;
            result = RunUpdater(install, options);
        }
        ++m_figures.nResponses;
        m_figures.nMaxPeakPrivate = std::max(m_figures.nMaxPeakPrivate, result.nPeakPrivate);
        peaks.push_back(result.nPeakPrivate);
        handles.push_back(result.nHandles);
        std::string strProblem;
        if (!result.bEnded || result.nExitCode != kCompleted)
            strProblem = "exit " + std::to_string(result.nExitCode);
        else if (ReadWholeFile(strDest) != body)
            strProblem = "destination differs from the body";
        else if (bRunMode && !WaitUntil([&] { return FileExists(strDest + ".mark"); }, kStartBoundMs))
            strProblem = "not started";
        else if (!result.boxes.empty())
            strProblem = DescribeBoxes(result.boxes);
        for (bool bMode : {true, false})
            for (const std::string& strName : ListFiles(install.DestFolder(bMode)))
                if (strName.find(".part") != std::string::npos)
                    strProblem = "left behind: " + strName;
        if (!strProblem.empty()) {
            ++nFailures;
            std::printf("FAIL soak run %d: %s\n", i, strProblem.c_str());
        }
    }
    // Level: the last tenth of the runs against the first tenth (after the
    // first few, which warm up the prefix).
    const size_t nTenth = std::max<size_t>(peaks.size() / 10, 1);
    auto average = [&](auto& values, size_t nFrom) {
        double nSum = 0;
        for (size_t i = nFrom; i < nFrom + nTenth && i < values.size(); ++i)
            nSum += static_cast<double>(values[i]);
        return nSum / static_cast<double>(nTenth);
    };
    const size_t nFirst = std::min<size_t>(3, peaks.size() - nTenth);
    const double nPeakGrowth = average(peaks, peaks.size() - nTenth) - average(peaks, nFirst);
    const double nHandleGrowth = average(handles, handles.size() - nTenth) - average(handles, nFirst);
    std::printf("soak: %d updates, peak private %.1f MB first, %.1f MB last (growth %.0f KB), handles %.1f first, "
                "%.1f last\n",
                nRuns, average(peaks, nFirst) / 1048576.0, average(peaks, peaks.size() - nTenth) / 1048576.0,
                nPeakGrowth / 1024.0, average(handles, nFirst), average(handles, handles.size() - nTenth));
    if (average(handles, nFirst) <= 0 || average(peaks, nFirst) <= 0) {
        ++nFailures;
        std::printf("FAIL soak: the child's handles or memory cannot be read\n");
    }
    if (nPeakGrowth > 512 * 1024 || nHandleGrowth > 3) {
        ++nFailures;
        std::printf("FAIL soak: memory or handles grow across runs\n");
    }
    m_figures.nFailedCases += nFailures;
}

} // namespace

int main(int argc, char** argv)
{
    uint64_t nSuiteSeed = 1;
    int nCount = 24;
    int nSoak = 0;
    bool bLong = false;
    bool bVerbose = false;
    std::vector<uint64_t> caseSeeds;
    for (int i = 1; i < argc; ++i) {
        const bool bHasValue = i + 1 < argc;
        if (!std::strcmp(argv[i], "--seed") && bHasValue)
            nSuiteSeed = std::strtoull(argv[++i], nullptr, 0);
        else if (!std::strcmp(argv[i], "--count") && bHasValue)
            nCount = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--case-seed") && bHasValue)
            caseSeeds.push_back(std::strtoull(argv[++i], nullptr, 0));
        else if (!std::strcmp(argv[i], "--soak") && bHasValue)
            nSoak = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--long"))
            bLong = true;
        else if (!std::strcmp(argv[i], "--updater") && bHasValue)
            ThePrograms().strUpdater = argv[++i];
        else if (!std::strcmp(argv[i], "--verbose"))
            bVerbose = true;
        else {
            std::fprintf(stderr, "usage: hostile_test [--seed S] [--count N] [--long] [--verbose] [--case-seed X] "
                                 "[--soak N] [--updater EXE]\n");
            return 2;
        }
    }

    bool bMarkExists = false;
    const std::string mark = ReadWholeFile(ThePrograms().strMark, &bMarkExists);
    if (!bMarkExists || !FileExists(ThePrograms().strUpdater)) {
        std::printf("FAIL: the programs are missing (%s, %s)\n", ThePrograms().strUpdater.c_str(),
                    ThePrograms().strMark.c_str());
        return 1;
    }

    const ProxySettings noProxy(0, "");
    SuiteSettings::Backup();
    CaseRunner runner(mark, !bLong, bVerbose);
    const DWORD nStart = GetTickCount();
    if (nSoak > 0) {
        runner.Soak(nSoak);
    } else if (!caseSeeds.empty()) {
        for (uint64_t nSeed : caseSeeds)
            runner.Run(nSeed);
    } else {
        for (int i = 0; i < nCount; ++i)
            runner.Run(CaseSeed(nSuiteSeed, i));
    }
    runner.FinishPending(true);
    SuiteSettings::Restore();

    const Figures& f = runner.Result();
    std::printf("responses tried: %d (seed %llu, %s set), cancelled by the user: %d, in %lu s\n", f.nResponses,
                static_cast<unsigned long long>(nSuiteSeed), bLong ? "long" : "short", f.nCancelled,
                (GetTickCount() - nStart) / 1000);
    std::printf("crashes: %d, hangs: %d, peak memory: %.1f MB (bound %.0f MB, over it: %d)\n", f.nCrashes, f.nHangs,
                f.nMaxPeakPrivate / 1048576.0, kPeakPrivateBound / 1048576.0, f.nOverMemory);
    std::printf("corrupted or partial destinations: %d, launches of incomplete files: %d, missing launches: %d\n",
                f.nCorrupted, f.nIncompleteLaunches, f.nMissingLaunches);
    std::printf("leftover files: %d, wrong outcomes: %d, box faults: %d, failed cases: %d, not started: %d\n",
                f.nLeftovers, f.nWrongOutcome, f.nBoxFaults, f.nFailedCases, f.nNotStarted);
    return f.nFailedCases == 0 && f.nNotStarted == 0 ? 0 : 1;
}
