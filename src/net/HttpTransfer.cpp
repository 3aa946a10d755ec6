#include "HttpTransfer.h"

#include "eventlog/EventLog.h"
#include "eventlog/LogLines.h"
#include "HttpInterface.h"
#include "RedirectRules.h"
#include "RequestText.h"
#include "SignIn.h"
#include "SignInHeaders.h"
#include "UrlParser.h"

namespace {

const LogSource kLogSource = ModuleLogSource("HttpInterface");
const size_t kMessageSize = 1024;

HttpTarget TargetOf(const CUrlParser& url)
{
    HttpTarget target;
    target.bSecure = url.IsSecure();
    target.strHost = url.GetHost();
    target.nPort = url.GetPort();
    target.strPath = url.GetPathAndFile();
    return target;
}

} // namespace

CHttpTransfer::CHttpTransfer(CResponseReceiver& receiver, int nTimeout, const CString& strHttpVersion)
    : m_receiver(receiver),
      m_nTimeout(nTimeout),
      m_strHttpVersion(strHttpVersion),
      m_nextHop([this] { StartNextHop(); })
{
}

CHttpTransfer::~CHttpTransfer() = default;

int CHttpTransfer::Request(const CUrlParser& url)
{
    m_strSettingHost = url.GetHost();
    return StartHop(url);
}

void CHttpTransfer::ResumeAt(const CString& strUrl, uint64_t nFrom, const std::string& validator)
{
    m_strResumeUrl = strUrl;
    m_nResumeFrom = nFrom;
    m_resumeValidator = validator;
}

void CHttpTransfer::Close()
{
    m_bClosed = true;
    if (m_pConnection)
        m_pConnection->Close();
}

// The hop's request is the one that a setting of its URL would send: the
// route is asked again, and a tunnel, a sign-in and TLS with the new host's
// name are set up as for the first request.
int CHttpTransfer::StartHop(const CUrlParser& url)
{
    const HttpTarget target = TargetOf(url);
    m_strUrl = UrlOf(target);
    m_pReader.reset();
    m_pConnection = std::make_unique<CHttpInterface>(target.strHost, target.nPort, m_nTimeout, m_strHttpVersion,
                                                     this, OnConnectionData, OnConnectionClosed, target.bSecure);
    // A sign-in goes only to the host that asked for it.
    if (!m_authorization.empty() && target.strHost == m_strSignInHost)
        m_pConnection->SignInToServer(*m_pServerSignIn, m_authorization);
    m_authorization.clear();
    m_bRangeAsked = !m_resumeValidator.empty() && m_strUrl == m_strResumeUrl;
    if (m_bRangeAsked)
        m_pConnection->AskForRest(m_nResumeFrom, m_resumeValidator);
    int nLength = 0;
    const int nResult = m_pConnection->Request(target.strPath, nLength);
    // A proxy keeps the connection after its own answer (to a forwarded
    // request, or its refusal of a tunnel), and so does a server asked to,
    // so that answer ends at its length. The answer arrives only after
    // Request has returned.
    if (nResult == 1)
        m_pReader = std::make_unique<CResponseReader>(
            *this, m_pConnection->GetRoute().kind == Route::kForward || m_pConnection->IsTunnelRefused() ||
                       m_pConnection->AsksToKeepConnection());
    return nResult;
}

void CHttpTransfer::StartNextHop()
{
    if (m_bClosed)
        return;
    m_bRedirected = false;
    // A request that could not be sent has no end of the connection to
    // follow it.
    if (StartHop(CUrlParser(m_strNextUrl)) == -1)
        OnTransferClosed(-1, false);
}

void CHttpTransfer::OnConnectionData(const char* pData, int nLength, void* pContext)
{
    auto* pThis = static_cast<CHttpTransfer*>(pContext);
    if (!pThis->m_bRedirected && pThis->m_pReader && !pThis->m_pReader->Take(pData, nLength))
        pThis->m_pConnection->Close();
}

void CHttpTransfer::OnConnectionClosed(int nErrorCode, void* pContext)
{
    auto* pThis = static_cast<CHttpTransfer*>(pContext);
    if (pThis->m_bRedirected)
        return;
    // Without a reader the setup failed, inside Request.
    if (pThis->m_pReader)
        pThis->m_pReader->End(nErrorCode, pThis->m_pConnection->IsEndConfirmed());
    else
        pThis->OnTransferClosed(nErrorCode, false);
}

void CHttpTransfer::OnResponseHead(const ResponseHead& head)
{
    m_pConnection->HeadReceived();
    // A proxy that refused the tunnel answers for itself, not for the
    // server, even when it names another location.
    if (!m_pConnection->IsTunnelRefused() && (FollowRedirect(head) || SignInAgain(head))) {
        m_bRedirected = true;
        m_pConnection->Close();
        m_nextHop.Post();
        return;
    }
    m_receiver.OnResponseHead(head);
}

void CHttpTransfer::OnTransferData(const char* pData, int nLength)
{
    if (!m_bRedirected)
        m_receiver.OnTransferData(pData, nLength);
}

// The connection is closed before the receiver hears of the end: a proxy
// keeps it for a next request that never comes.
void CHttpTransfer::OnTransferClosed(int nErrorCode, bool bComplete)
{
    if (m_bRedirected || m_bEnded)
        return;
    m_bEnded = true;
    m_pConnection->Close();
    m_receiver.OnTransferClosed(nErrorCode, bComplete);
}

// A 301, 302, 303, 307 or 308 with a usable location is followed, at most
// kMaxRedirects times, never from https to http. A location that is there
// and not followed is recorded with the reason.
bool CHttpTransfer::FollowRedirect(const ResponseHead& head)
{
    const std::string location = LocationOf(head.strHeaders);
    if (!head.bReadable || !IsRedirectStatus(head.nStatus) || location.empty())
        return false;
    const std::string url = ResolvedLocation(std::string(m_strUrl.GetString()), location);
    const char* pszRefusal = nullptr;
    if (url.empty())
        pszRefusal = "the location is not a usable http or https URL";
    else if (CUrlParser(m_strUrl).IsSecure() && !CUrlParser(CString(url.c_str())).IsSecure())
        pszRefusal = "it leads from https to http";
    else if (m_nRedirects == kMaxRedirects)
        pszRefusal = "more than 10 redirects";
    if (pszRefusal) {
        const std::string text = "Redirect with " + std::to_string(head.nStatus) + " to " + location +
                                 " not followed: " + pszRefusal;
        LogEvent(&kLogSource, 0, text.substr(0, kMessageSize - 1).c_str(), LOG_LINE_REDIRECT_NOT_FOLLOWED);
        return false;
    }
    char szMessage[kMessageSize];
    wsprintfA(szMessage, "Redirected with %d to %s", head.nStatus, url.substr(0, kMessageSize - 32).c_str());
    LogEvent(&kLogSource, 1, szMessage, LOG_LINE_REDIRECTED);
    ++m_nRedirects;
    m_strNextUrl = url.c_str();
    return true;
}

// A 401 that offers a scheme is answered with the request again on a hop
// of its own, to a host that may receive the user's sign-in; the legs that
// go on one connection follow within that hop. A 401 that stands is
// recorded with the reason.
bool CHttpTransfer::SignInAgain(const ResponseHead& head)
{
    if (!head.bReadable || head.nStatus != 401)
        return false;
    const std::vector<Challenge> challenges = ChallengesOf(head.strHeaders, "WWW-Authenticate");
    if (challenges.empty())
        return false;
    const CUrlParser url(m_strUrl);
    const ServerSignIn permission =
        ServerSignInFor(url.GetHost(), url.IsSecure(), url.GetPort(), m_strSettingHost, m_strSignInServers);
    std::string text;
    if (permission == ServerSignIn::kRefused) {
        text = "Sign-in to the server " + std::string(url.GetHost()) +
               " not attempted: it is not among the servers that receive the user's sign-in";
    } else {
        if (!m_pServerSignIn || m_strSignInHost != url.GetHost()) {
            m_pServerSignIn =
                std::make_unique<CSignIn>(url.GetHost(), "server", permission == ServerSignIn::kAllowed);
            m_strSignInHost = url.GetHost();
        }
        // The first request and at most five sign-ins, as for a proxy.
        if (m_nSignIns < 5 && m_pServerSignIn->Answer(challenges, false, m_authorization)) {
            ++m_nSignIns;
            m_strNextUrl = m_strUrl;
            return true;
        }
        text = "Sign-in to the server " + std::string(url.GetHost()) + " failed: " + m_pServerSignIn->Failures();
    }
    LogEvent(&kLogSource, 0, text.substr(0, kMessageSize - 1).c_str(), LOG_LINE_SERVER_SIGN_IN_FAILED);
    return false;
}
