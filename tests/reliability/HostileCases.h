#pragma once
// Adversarial HTTP responses generated from a seed, and what the updater
// must make of each when the server closes normally after sending it all.

#include <cstdint>
#include <string>
#include <vector>

// splitmix64: the same numbers on every platform, so a seed replays a case.
class Rng {
public:
    explicit Rng(uint64_t nSeed) : m_nState(nSeed) {}
    uint64_t Next();
    uint32_t Below(uint32_t n); // 0 .. n-1
    bool Percent(uint32_t n) { return Below(100) < n; }
    std::string Bytes(size_t nCount);

private:
    uint64_t m_nState;
};

struct HostileCase {
    enum End {
        kClose, // graceful close after every write
        kReset, // reset after the writes (possibly only a prefix of the response)
        kHold,  // the connection stays open until the user cancels
    };

    uint64_t nSeed = 0;
    std::string strKind; // what was generated, for the report
    bool bRunMode = false;
    bool bReadRequestFirst = true;
    std::vector<std::string> writes;
    std::vector<int> delaysMs; // after each write
    End end = kClose;
    int nCancelAfterMs = -1;
    bool bHasOld = false;
    std::string oldDest;
    // The whole response the generator made (the writes may send a prefix).
    std::string response;
};

// The case of a seed. The mark program's bytes are the body of run-mode
// responses, so that a launch leaves a trace.
HostileCase MakeCase(uint64_t nSeed, const std::string& markProgram, bool bShort);

// What a complete delivery of the response means to the updater.
struct ResponseMeaning {
    bool bHeaderComplete = false; // terminator found, within the header bound
    bool bBoundAmbiguous = false; // terminator so close to the bound that chunking decides
    bool bUnreadable = false;     // empty block, or no end within the bound
    int nStatus = 0;
    int nContentLength = -1;
    std::string body;             // bytes after the terminator
};
ResponseMeaning Interpret(const std::string& response);

// The exit code the updater must give after receiving the whole response
// and a normal close, and whether the destination then holds the body.
struct Expectation {
    int nOutcome;
    bool bStoresBody;
};
// bExecutable: a stored body would start the program (run mode).
Expectation Expect(const ResponseMeaning& meaning, bool bRunMode, bool bExecutable);

uint64_t CaseSeed(uint64_t nSuiteSeed, int nIndex);
