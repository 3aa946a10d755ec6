// The checks of an opened channel: what the handshake granted, the
// protocol it chose, and the server's certificate for the host's name.

#include "TlsChannel.h"

#include "TlsSession.h"

#include <string>

namespace {

// The certificate error that a chain's own status stands for.
LONG ChainError(DWORD dwStatus)
{
    static const struct {
        DWORD dwStatus;
        LONG nError;
    } kErrors[] = {
        {CERT_TRUST_IS_NOT_TIME_VALID, CERT_E_EXPIRED},
        {CERT_TRUST_IS_REVOKED, CRYPT_E_REVOKED},
        {CERT_TRUST_IS_UNTRUSTED_ROOT, CERT_E_UNTRUSTEDROOT},
        {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, CERT_E_WRONG_USAGE},
    };
    if (dwStatus == CERT_TRUST_NO_ERROR)
        return 0;
    for (const auto& e : kErrors)
        if (dwStatus & e.dwStatus)
            return e.nError;
    // A partial chain, a bad signature, a cycle: no path to a trusted root.
    return CERT_E_CHAINING;
}

} // namespace

// A context without confidentiality, or without the record order and
// replay checks, would carry the update unprotected.
LONG CTlsChannel::CheckAttributes()
{
    const ULONG nRequired = ISC_RET_SEQUENCE_DETECT | ISC_RET_REPLAY_DETECT | ISC_RET_CONFIDENTIALITY | ISC_RET_STREAM;
    return (m_nAttributes & nRequired) == nRequired ? SEC_E_OK : SEC_E_QOP_NOT_SUPPORTED;
}

// Whatever the credentials asked for, nothing older than TLS 1.2 is used.
LONG CTlsChannel::CheckProtocol()
{
    SecPkgContext_ConnectionInfo info = {};
    const SECURITY_STATUS nResult =
        m_pSession->sspi->QueryContextAttributesA(&m_pSession->context, SECPKG_ATTR_CONNECTION_INFO, &info);
    if (nResult != SEC_E_OK)
        return nResult;
    return (info.dwProtocol & kAcceptedProtocols) ? SEC_E_OK : SEC_E_UNSUPPORTED_FUNCTION;
}

// The chain must end in a trusted root and the certificate must name the
// host. The SSL policy alone is not enough: Wine's passes a chain whose
// issuer is unknown, which the chain's own status reports. Revocation is
// not checked, so that a machine that cannot reach the lists still updates.
LONG CTlsChannel::CheckCertificate()
{
    Session& s = *m_pSession;
    PCCERT_CONTEXT pCertificate = nullptr;
    SECURITY_STATUS nResult =
        s.sspi->QueryContextAttributesA(&s.context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &pCertificate);
    if (nResult != SEC_E_OK)
        return nResult;
    if (!pCertificate)
        return SEC_E_NO_CREDENTIALS;

    char szServerAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    char* usages[] = {szServerAuth};
    CERT_CHAIN_PARA chainPara = {};
    chainPara.cbSize = sizeof(chainPara);
    chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
    chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;

    LONG nError = 0;
    PCCERT_CHAIN_CONTEXT pChain = nullptr;
    if (!s.pfnGetChain(nullptr, pCertificate, nullptr, pCertificate->hCertStore, &chainPara, 0, nullptr, &pChain)) {
        nError = static_cast<LONG>(::GetLastError());
    } else {
        const int nWide = ::MultiByteToWideChar(CP_ACP, 0, m_strHost, -1, nullptr, 0);
        std::wstring strServer(static_cast<size_t>(nWide > 0 ? nWide : 1), L'\0');
        ::MultiByteToWideChar(CP_ACP, 0, m_strHost, -1, strServer.data(), nWide);

        HTTPSPolicyCallbackData https = {};
        https.cbStruct = sizeof(https);
        https.dwAuthType = AUTHTYPE_SERVER;
        https.pwszServerName = strServer.data();
        CERT_CHAIN_POLICY_PARA policyPara = {};
        policyPara.cbSize = sizeof(policyPara);
        policyPara.pvExtraPolicyPara = &https;
        CERT_CHAIN_POLICY_STATUS status = {};
        status.cbSize = sizeof(status);
        if (!s.pfnVerifyChain(CERT_CHAIN_POLICY_SSL, pChain, &policyPara, &status))
            nError = static_cast<LONG>(::GetLastError());
        else if (status.dwError != 0)
            nError = static_cast<LONG>(status.dwError);
        else
            nError = ChainError(pChain->TrustStatus.dwErrorStatus);
        s.pfnFreeChain(pChain);
    }
    s.pfnFreeCertificate(pCertificate);
    return nError;
}
