// The legs of a server's sign-in that follow on one connection within the
// setup, and the plain bytes to and from the server that they need,
// through TLS where the connection has it.

#include "HttpInterface.h"

#include "ResponseHeaders.h"
#include "ResponseReader.h"
#include "SignIn.h"
#include "SignInHeaders.h"
#include "TlsChannel.h"

// The next legs of a server's sign-in that go on this connection: each 401
// that the server answers with the connection kept, and with a token for
// the scheme under way or a scheme still to try, is read to its end and
// answered with the request again. The last answer is the hop's; a 401
// that cannot be answered here is left to the transfer.
LONG CHttpInterface::AnswerServerLegs(CProxyExchange& exchange, const CString& strRequest, std::string& answer)
{
    // The first request and at most five legs more, as for a proxy.
    for (int nLeg = 1; nLeg < 6; ++nLeg) {
        size_t nHeadEnd = 0;
        if (FindHeadEnd(answer, nHeadEnd) != HeadState::kComplete || StatusOfResponse(answer) != 401)
            return 0;
        const CString strHead(answer.data(), static_cast<int>(nHeadEnd));
        uint64_t nBody = 0;
        std::string authorization;
        if (!ServerKeepsConnection(strHead, nBody) || nBody > kMaxHeadBytes ||
            !m_pServerSignIn->Answer(ChallengesOf(strHead, "WWW-Authenticate"), true, authorization))
            return 0;
        const size_t nEnd = nHeadEnd + 4 + static_cast<size_t>(nBody);
        while (answer.size() < nEnd) {
            const size_t nBefore = answer.size();
            if (ReceivePlain(answer) != 0 || answer.size() == nBefore)
                return 0; // the 401 as far as it came; the transfer goes on
        }
        const CString strLeg = WithSignIn(strRequest, "Authorization", authorization);
        answer.clear();
        LONG nError = 0;
        if (m_route.kind == Route::kForward) {
            nError = exchange.Send(strLeg);
            answer = std::move(exchange.Answer());
        } else {
            nError = SendPlain(strLeg);
            if (nError == 0)
                nError = ReadServerHead(answer);
        }
        if (nError != 0)
            return nError;
    }
    return 0;
}

// The server's answer up to the end of its head, or what came before it
// closed.
LONG CHttpInterface::ReadServerHead(std::string& answer)
{
    size_t nHeadEnd = 0;
    while (FindHeadEnd(answer, nHeadEnd) == HeadState::kIncomplete) {
        const size_t nBefore = answer.size();
        const LONG nError = ReceivePlain(answer);
        if (nError != 0)
            return nError;
        if (answer.size() == nBefore)
            break;
    }
    return 0;
}

// To the server and from it, through TLS where the connection has it.
LONG CHttpInterface::SendPlain(const CString& strText)
{
    if (!m_pTls)
        return SendText(strText);
    std::string strRecords;
    const LONG nError = m_pTls->Seal(strText.GetString(), strText.GetLength(), strRecords);
    return nError != 0 ? nError : SendBytes(strRecords.data(), strRecords.size());
}

LONG CHttpInterface::ReceivePlain(std::string& bytes)
{
    if (!m_pTls)
        return ReceiveMore(bytes);
    // A record that has not come whole yet opens to nothing: read on.
    for (;;) {
        std::string strCipher;
        LONG nError = ReceiveMore(strCipher);
        if (nError != 0 || strCipher.empty())
            return nError;
        const size_t nBefore = bytes.size();
        nError = m_pTls->Unseal(strCipher.data(), static_cast<int>(strCipher.size()), bytes);
        const std::string strOutgoing = m_pTls->TakeOutgoing();
        if (!strOutgoing.empty())
            SendBytes(strOutgoing.data(), strOutgoing.size());
        if (nError != 0 || bytes.size() > nBefore || m_pTls->IsClosedByServer())
            return nError;
    }
}
