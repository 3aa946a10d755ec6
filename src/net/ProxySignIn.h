#pragma once
// The sign-in to a proxy that answered 407, as WinHTTP signs in without
// asking the user: Negotiate, then NTLM, with the logged-on user's
// credentials through SSPI; then Basic with the generic credential saved
// for the proxy's host (cmdkey /generic:HOST). Each scheme is tried once
// per connection setup; SSPI is loaded from the system folder only when a
// proxy asks for it.

#include <memory>
#include <string>
#include <vector>

#include "framework/CString.h"
#include "ProxyAuthHeaders.h"

class CProxySignIn {
public:
    explicit CProxySignIn(const CString& strProxyHost);
    ~CProxySignIn();
    CProxySignIn(const CProxySignIn&) = delete;
    CProxySignIn& operator=(const CProxySignIn&) = delete;

    // The Proxy-Authorization value that answers a 407 with these
    // challenges; bSameConnection: the proxy kept the connection that
    // carried the last answer. False when no scheme is left to try: the
    // 407 stands.
    bool Answer(const std::vector<ProxyChallenge>& challenges, bool bSameConnection, std::string& strAuthorization);

    // For the record when the 407 stands: each scheme the proxy offered
    // and why it did not succeed.
    std::string Failures() const;

private:
    enum Scheme { kNegotiate, kNtlm, kBasic, kSchemeCount };
    // The loaded library and the handles of the current SSPI context.
    struct Sspi;

    static const ProxyChallenge* ChallengeOf(const std::vector<ProxyChallenge>& challenges, int nScheme);
    bool StartContext(int nScheme, std::string& strAuthorization);
    bool NextLeg(const std::string* pInput, std::string& strAuthorization);
    bool StartBasic(std::string& strAuthorization);
    void Fail(int nScheme, const std::string& reason);
    void EndScheme();

    CString m_strProxyHost;
    std::unique_ptr<Sspi> m_pSspi;
    int m_nScheme = -1;     // the scheme whose answer went last
    bool m_bLegDue = false; // its context waits for the proxy's next token
    bool m_bOffered[kSchemeCount] = {};
    bool m_bTried[kSchemeCount] = {};
    std::string m_failure[kSchemeCount];
    std::vector<std::string> m_otherSchemes; // offered, not known here
};
