#include "HostileCases.h"

#include <algorithm>
#include <cstdlib>

namespace {

const size_t kHeaderBound = 64 * 1024;
const size_t kChunk = 1024; // the most the updater reads at once

const char* const kStatusLines[] = {
    "HTTP/1.0 200 OK", "HTTP/1.1 200 OK", "HTTP/1.0 200 Fine", "HTTP/1.0 404 Not Found",
    "HTTP/1.0 500 Internal Server Error", "HTTP/1.0 302 Found", "HTTP/1.0 200", "HTTP/1.0 200 ",
    "HTTP/1.0  200 OK", "HTTP/1.0 0200 OK", "HTTP/1.0 -200 OK", "HTTP/1.0 99999999999 X", "HTTP/1.0 2OO OK",
    "", "garbage", "HTTP/1.0\t200\tOK", " 200 OK",
};

const char* const kOddLengths[] = {
    "-5", "abc", "0", "4294967295", "2147483648", "99999999999", " 12", "12 bytes", "+7", "-0", "", "0x10",
};

const char* const kOtherHeaders[] = {
    "Server: hostile", "Content-Type: application/octet-stream", "Connection: close", "X-Content-Length: 7",
    "content-length: 5", "Content-Length:99", "Content-Length : 3", "Transfer-Encoding: chunked",
    "Content-Encoding: gzip", "Location: http://127.0.0.1/elsewhere",
};

std::string RandomBody(Rng& rng, bool bShort)
{
    const uint32_t nPick = rng.Below(100);
    size_t nSize;
    if (nPick < 10)
        nSize = 0;
    else if (nPick < 65)
        nSize = rng.Below(4000);
    else if (nPick < 92 || bShort)
        nSize = 4000 + rng.Below(70000);
    else
        nSize = 70000 + rng.Below(300000);
    std::string body = rng.Bytes(nSize);
    // Some text-like bodies, with line breaks that could be taken for a
    // header terminator.
    if (rng.Percent(30)) {
        for (char& ch : body)
            ch = "abc\r\n <>/="[static_cast<unsigned char>(ch) % 11];
    }
    return body;
}

// A header line with a Content-Length value; bTrue: the body's own length.
std::string LengthLine(Rng& rng, size_t nBody, std::string* pKind)
{
    const uint32_t nPick = rng.Below(100);
    if (nPick < 55)
        return "Content-Length: " + std::to_string(nBody);
    if (nPick < 70) {
        *pKind += " short-body";
        return "Content-Length: " + std::to_string(nBody + 1 + rng.Below(5000));
    }
    if (nPick < 82 && nBody > 0) {
        *pKind += " long-body";
        return "Content-Length: " + std::to_string(nBody - 1 - rng.Below(static_cast<uint32_t>(nBody)));
    }
    *pKind += " odd-length";
    return std::string("Content-Length: ") + kOddLengths[rng.Below(sizeof(kOddLengths) / sizeof(kOddLengths[0]))];
}

// The header block (with its terminator, if any) of a mutated response.
std::string HeaderBlock(Rng& rng, size_t nBody, bool bMutate, std::string* pKind)
{
    std::string strStatus = "HTTP/1.0 200 OK";
    if (bMutate && rng.Percent(30)) {
        strStatus = kStatusLines[rng.Below(sizeof(kStatusLines) / sizeof(kStatusLines[0]))];
        *pKind += " status[" + strStatus + "]";
    }
    if (bMutate && rng.Percent(4)) {
        strStatus = "HTTP/1.0 200 " + std::string(1000 + rng.Below(90000), 'A');
        *pKind += " long-status";
    }

    std::vector<std::string> lines;
    if (!bMutate || rng.Percent(85))
        lines.push_back(LengthLine(rng, nBody, pKind));
    if (bMutate && rng.Percent(15)) {
        *pKind += " repeated-length";
        const size_t nCount = 1 + rng.Below(4);
        for (size_t i = 0; i < nCount; ++i)
            lines.insert(lines.begin() + rng.Below(static_cast<uint32_t>(lines.size() + 1)),
                         LengthLine(rng, nBody, pKind));
    }
    const size_t nOthers = rng.Below(4);
    for (size_t i = 0; i < nOthers; ++i)
        lines.insert(lines.begin() + rng.Below(static_cast<uint32_t>(lines.size() + 1)),
                     kOtherHeaders[rng.Below(sizeof(kOtherHeaders) / sizeof(kOtherHeaders[0]))]);
    if (bMutate && rng.Percent(8)) {
        *pKind += " many-headers";
        const size_t nMany = 200 + rng.Below(3000);
        for (size_t i = 0; i < nMany; ++i)
            lines.push_back("X-Filler-" + std::to_string(i) + ": " + std::string(rng.Below(40), 'f'));
    }
    if (bMutate && rng.Percent(6)) {
        *pKind += " long-line";
        lines.push_back("X-Long: " + std::string(1000 + rng.Below(80000), 'L'));
    }

    std::string block = strStatus;
    for (const std::string& strLine : lines) {
        // Bare LF now and then.
        block += bMutate && rng.Percent(5) ? "\n" : "\r\n";
        block += strLine;
    }
    if (bMutate && rng.Percent(6)) {
        *pKind += " zero-byte";
        block.insert(block.begin() + rng.Below(static_cast<uint32_t>(block.size() + 1)), '\0');
    }
    const uint32_t nEnd = bMutate ? rng.Below(100) : 99;
    if (nEnd < 4) {
        *pKind += " no-blank-line";
        block += "\r\n";
    } else if (nEnd < 7) {
        *pKind += " bare-lf-end";
        block += "\n\n";
    } else {
        block += "\r\n\r\n";
    }
    return block;
}

// Cut points: the response goes out in this many writes.
void CutIntoWrites(Rng& rng, const std::string& response, size_t nWrites, int nMaxDelayMs, HostileCase& c)
{
    std::vector<size_t> cuts;
    for (size_t i = 1; i < nWrites && !response.empty(); ++i)
        cuts.push_back(rng.Below(static_cast<uint32_t>(response.size())));
    std::sort(cuts.begin(), cuts.end());
    cuts.push_back(response.size());
    size_t nFrom = 0;
    for (size_t nCut : cuts) {
        if (nCut < nFrom)
            continue;
        c.writes.push_back(response.substr(nFrom, nCut - nFrom));
        c.delaysMs.push_back(nMaxDelayMs > 0 ? static_cast<int>(rng.Below(static_cast<uint32_t>(nMaxDelayMs))) : 0);
        nFrom = nCut;
    }
}

int ParseInt(const std::string& strText)
{
    return std::atoi(strText.c_str());
}

} // namespace

uint64_t Rng::Next()
{
    uint64_t z = (m_nState += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint32_t Rng::Below(uint32_t n)
{
    return n == 0 ? 0 : static_cast<uint32_t>(Next() % n);
}

std::string Rng::Bytes(size_t nCount)
{
    std::string bytes(nCount, '\0');
    for (size_t i = 0; i < nCount; i += 8) {
        const uint64_t n = Next();
        for (size_t j = 0; j < 8 && i + j < nCount; ++j)
            bytes[i + j] = static_cast<char>(n >> (8 * j));
    }
    return bytes;
}

uint64_t CaseSeed(uint64_t nSuiteSeed, int nIndex)
{
    Rng rng(nSuiteSeed * 1000003u + static_cast<uint64_t>(nIndex));
    return rng.Next();
}

HostileCase MakeCase(uint64_t nSeed, const std::string& markProgram, bool bShort)
{
    Rng rng(nSeed);
    HostileCase c;
    c.nSeed = nSeed;
    c.bRunMode = rng.Percent(20);
    c.bReadRequestFirst = rng.Percent(85);

    std::string body;
    if (c.bRunMode) {
        body = markProgram;
        if (rng.Percent(15)) {
            c.strKind += " trailing-bytes";
            body += rng.Bytes(rng.Below(5000));
        }
    } else {
        body = RandomBody(rng, bShort);
    }

    const uint32_t nShape = rng.Below(100);
    if (nShape < 8) {
        c.strKind += " random-bytes";
        c.response = rng.Bytes(rng.Below(100) < 20 ? rng.Below(200) : rng.Below(bShort ? 20000 : 100000));
    } else if (nShape < 12) {
        // Never ends its header block: only the header bound stops it.
        c.strKind += " endless-header";
        c.response = "HTTP/1.0 200 OK\r\nX-Endless: ";
        c.response += std::string(bShort ? 4000000 : 4000000 + rng.Below(6000000), 'e');
    } else if (nShape < 17) {
        c.strKind += " nothing";
    } else {
        const bool bMutate = nShape >= 30;
        c.strKind += bMutate ? " mutated" : " well-formed";
        c.response = HeaderBlock(rng, body.size(), bMutate, &c.strKind) + body;
    }

    // The header block's bound must not depend on how the bytes happen to
    // be chunked: a terminator ending just past the bound is moved off it.
    const ResponseMeaning meaning = Interpret(c.response);
    if (meaning.bBoundAmbiguous)
        c.response.insert(0, std::string(kChunk + 1, 'X'));

    const uint32_t nEnd = rng.Below(100);
    size_t nWrites = 1 + rng.Below(10);
    int nMaxDelay = 20;
    if (nEnd < 8) {
        c.strKind += " reset";
        c.end = HostileCase::kReset;
        // Only a prefix goes out before the reset.
        if (rng.Percent(60) && !c.response.empty())
            c.response.resize(rng.Below(static_cast<uint32_t>(c.response.size())));
    } else if (nEnd < 12) {
        c.strKind += " never-answers";
        c.end = HostileCase::kHold;
        c.response.clear();
        c.nCancelAfterMs = static_cast<int>(100 + rng.Below(bShort ? 300 : 1500));
    } else if (nEnd < 16) {
        c.strKind += " stalls";
        c.end = HostileCase::kHold;
        if (!c.response.empty())
            c.response.resize(rng.Below(static_cast<uint32_t>(c.response.size())));
        c.nCancelAfterMs = static_cast<int>(300 + rng.Below(bShort ? 300 : 1500));
    } else if (nEnd < 19 && c.response.size() < 3000) {
        // Answers slowly for a long time: small writes, long pauses.
        c.strKind += " slow";
        nWrites = std::min<size_t>(c.response.size(), bShort ? 20 : 60 + rng.Below(60));
        nMaxDelay = bShort ? 60 : 100;
    }
    CutIntoWrites(rng, c.response, nWrites, nMaxDelay, c);

    c.bHasOld = rng.Percent(75);
    if (c.bHasOld)
        c.oldDest = c.bRunMode ? markProgram + "previous version" : "previous page " + rng.Bytes(rng.Below(3000));
    if (c.strKind.empty())
        c.strKind = " plain";
    c.strKind.erase(0, 1);
    return c;
}

ResponseMeaning Interpret(const std::string& response)
{
    ResponseMeaning meaning;
    const std::string text = response.substr(0, response.find('\0'));
    const size_t nTerminator = text.find("\r\n\r\n");
    if (nTerminator == std::string::npos) {
        meaning.bUnreadable = response.size() >= kHeaderBound;
        return meaning;
    }
    const size_t nEnd = nTerminator + 4;
    if (nEnd > kHeaderBound && nEnd <= kHeaderBound + kChunk)
        meaning.bBoundAmbiguous = true;
    if (nEnd > kHeaderBound + kChunk || nTerminator == 0) {
        meaning.bUnreadable = true;
        return meaning;
    }
    meaning.bHeaderComplete = true;
    meaning.body = response.substr(nEnd);

    const std::string headers = text.substr(0, nTerminator);
    const size_t nLineEnd = headers.find("\r\n");
    if (nLineEnd != std::string::npos) {
        const std::string strStatusLine = headers.substr(0, nLineEnd);
        const size_t nFirst = strStatusLine.find(' ');
        if (nFirst != std::string::npos) {
            const std::string strRest = strStatusLine.substr(nFirst + 1);
            const size_t nSecond = strRest.find(' ');
            if (nSecond != std::string::npos)
                meaning.nStatus = ParseInt(strRest.substr(0, nSecond));
        }
    }
    const size_t nKey = headers.find("Content-Length: ");
    if (nKey != std::string::npos) {
        const size_t nValue = nKey + 16;
        const size_t nValueEnd = headers.find("\r\n", nValue);
        meaning.nContentLength =
            ParseInt(headers.substr(nValue, nValueEnd == std::string::npos ? std::string::npos : nValueEnd - nValue));
    }
    return meaning;
}

Expectation Expect(const ResponseMeaning& meaning, bool bRunMode, bool bExecutable)
{
    if (meaning.bUnreadable)
        return {3, false};
    if (!meaning.bHeaderComplete)
        return {2, false};
    if (meaning.nStatus != 200)
        return {3, false};
    if (meaning.nContentLength > 0 && meaning.body.size() < static_cast<size_t>(meaning.nContentLength))
        return {2, false};
    if (bRunMode && !bExecutable)
        return {5, true};
    return {0, true};
}
