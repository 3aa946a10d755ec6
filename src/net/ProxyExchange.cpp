#include "ProxyExchange.h"

#include "eventlog/EventLog.h"
#include "eventlog/LogLines.h"
#include "SignInHeaders.h"
#include "SignIn.h"
#include "RequestText.h"
#include "ResponseHeaders.h"
#include "ResponseReader.h"

namespace {

const LogSource kLogSource = ModuleLogSource("HttpInterface");
const size_t kMessageSize = 1024;
// The first request and at most five sign-ins, as WinHTTP bounds them.
const int kMaxProxyRequests = 6;

} // namespace

CProxyExchange::CProxyExchange(CSetupStream& stream, const CString& strProxyHost)
    : m_stream(stream), m_strProxyHost(strProxyHost)
{
}

LONG CProxyExchange::Send(const CString& strMessage)
{
    const LONG nError = m_stream.SendText(strMessage);
    return nError != 0 ? nError : Answered(strMessage);
}

LONG CProxyExchange::Answered(const CString& strMessage)
{
    CSignIn signIn(m_strProxyHost);
    m_strAnswer.clear();
    LONG nError = 0;
    for (int nSent = 1; nError == 0; ++nSent) {
        nError = ReadHead();
        if (nError != 0)
            return nError;
        size_t nHeadEnd = 0;
        const bool bHead = FindHeadEnd(m_strAnswer, nHeadEnd) == HeadState::kComplete;
        const CString strHead = bHead ? CString(m_strAnswer.data(), static_cast<int>(nHeadEnd)) : CString();
        const int nStatus = StatusOfResponse(m_strAnswer);
        // A 407 with a longer body is not read: the next leg goes on a new
        // connection.
        uint64_t nBodyLength = 0;
        const bool bKept = bHead && KeepsConnection(strHead, nBodyLength) && nBodyLength <= kMaxHeadBytes;
        std::string authorization;
        if (nStatus != 407 || nSent == kMaxProxyRequests ||
            !signIn.Answer(ChallengesOf(strHead, "Proxy-Authenticate"), bKept, authorization)) {
            if (nStatus == 407) {
                const std::string text =
                    "Sign-in to the proxy " + std::string(m_strProxyHost) + " failed: " + signIn.Failures();
                LogEvent(&kLogSource, 0, text.substr(0, kMessageSize - 1).c_str(), LOG_LINE_PROXY_SIGN_IN_FAILED);
            }
            return 0;
        }
        const size_t nAnswerEnd = nHeadEnd + 4 + static_cast<size_t>(nBodyLength);
        const bool bWhole = bKept && ReadTo(nAnswerEnd) == 0;
        // What came after the 407 on the kept connection belongs to the next answer.
        m_strAnswer = bWhole ? m_strAnswer.substr(nAnswerEnd) : std::string();
        nError = bWhole ? 0 : m_stream.Reconnect();
        if (nError == 0)
            nError = m_stream.SendText(WithSignIn(strMessage, "Proxy-Authorization", authorization));
    }
    return nError;
}

// Up to the end of the head, or what came before the proxy closed.
LONG CProxyExchange::ReadHead()
{
    size_t nHeadEnd = 0;
    while (FindHeadEnd(m_strAnswer, nHeadEnd) == HeadState::kIncomplete) {
        const size_t nBefore = m_strAnswer.size();
        const LONG nError = m_stream.ReceiveMore(m_strAnswer);
        if (nError != 0)
            return nError;
        if (m_strAnswer.size() == nBefore)
            break;
    }
    return 0;
}

// The answer up to nTotal bytes; non-zero when the proxy ended the
// connection before.
LONG CProxyExchange::ReadTo(size_t nTotal)
{
    while (m_strAnswer.size() < nTotal) {
        const size_t nBefore = m_strAnswer.size();
        const LONG nError = m_stream.ReceiveMore(m_strAnswer);
        if (nError != 0)
            return nError;
        if (m_strAnswer.size() == nBefore)
            return WSAECONNRESET;
    }
    return 0;
}
