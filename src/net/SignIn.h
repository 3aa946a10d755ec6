#pragma once
// The sign-in to a proxy that answered 407, or a server that answered 401,
// as WinHTTP signs in without asking the user: Negotiate, then NTLM, with
// the logged-on user's credentials through SSPI for the service
// "HTTP/<host>"; then Basic with the generic credential saved for the host
// (cmdkey /generic:HOST). Each scheme is tried once; SSPI is loaded from
// the system folder only when a peer asks for it.

#include <memory>
#include <string>
#include <vector>

#include "framework/CString.h"
#include "SignInHeaders.h"

class CSignIn {
public:
    // pszPeer names the peer in the reasons ("proxy", "server");
    // bBasicAllowed: the password may go to this host.
    explicit CSignIn(const CString& strHost, const char* pszPeer = "proxy", bool bBasicAllowed = true);
    ~CSignIn();
    CSignIn(const CSignIn&) = delete;
    CSignIn& operator=(const CSignIn&) = delete;

    // The (Proxy-)Authorization value that answers a 407 or 401 with these
    // challenges; bSameConnection: the peer kept the connection that
    // carried the last answer. False when no scheme is left to try: the
    // answer stands.
    bool Answer(const std::vector<Challenge>& challenges, bool bSameConnection, std::string& strAuthorization);

    // For the record when the answer stands: each scheme the peer offered
    // and why it did not succeed.
    std::string Failures() const;

private:
    enum Scheme { kNegotiate, kNtlm, kBasic, kSchemeCount };
    // The loaded library and the handles of the current SSPI context.
    struct Sspi;

    static const Challenge* ChallengeOf(const std::vector<Challenge>& challenges, int nScheme);
    bool StartContext(int nScheme, std::string& strAuthorization);
    bool NextLeg(const std::string* pInput, std::string& strAuthorization);
    bool StartBasic(std::string& strAuthorization);
    void Fail(int nScheme, const std::string& reason);
    void EndScheme();

    CString m_strHost;
    std::string m_peer;
    bool m_bBasicAllowed;
    std::unique_ptr<Sspi> m_pSspi;
    int m_nScheme = -1;     // the scheme whose answer went last
    bool m_bLegDue = false; // its context waits for the proxy's next token
    bool m_bOffered[kSchemeCount] = {};
    bool m_bTried[kSchemeCount] = {};
    std::string m_failure[kSchemeCount];
    std::vector<std::string> m_otherSchemes; // offered, not known here
};
