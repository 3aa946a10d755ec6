// The checks of an opened channel: what the handshake granted, the
// protocol it chose, and the server's certificate for the host's name.

#include "TlsChannel.h"

#include "TlsSession.h"

#include <ws2tcpip.h>

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

// SECURITY_FLAG_IGNORE_CERT_CN_INVALID, which wininet.h defines for the
// SSL policy's checks.
const DWORD kIgnoreNameCheck = 0x00001000;

// The bytes of an IPv4 or IPv6 address written as text; empty for a name.
std::string AddressBytesOf(const CString& strHost)
{
    IN6_ADDR v6 = {};
    if (::InetPtonA(AF_INET6, strHost, &v6) == 1)
        return std::string(reinterpret_cast<const char*>(&v6), sizeof(v6));
    IN_ADDR v4 = {};
    if (::InetPtonA(AF_INET, strHost, &v4) == 1)
        return std::string(reinterpret_cast<const char*>(&v4), sizeof(v4));
    return {};
}

} // namespace

// An address is named by an IP address entry of the certificate's
// alternative names, byte for byte; a name entry never names one.
LONG CTlsChannel::CheckAddress(PCCERT_CONTEXT pCertificate, const std::string& address) const
{
    Session& s = *m_pSession;
    const CERT_INFO* pInfo = pCertificate->pCertInfo;
    const CERT_EXTENSION* pNames = s.pfnFindExtension(szOID_SUBJECT_ALT_NAME2, pInfo->cExtension, pInfo->rgExtension);
    CERT_ALT_NAME_INFO* pDecoded = nullptr;
    DWORD nSize = 0;
    if (!pNames || !s.pfnDecode(X509_ASN_ENCODING, X509_ALTERNATE_NAME, pNames->Value.pbData, pNames->Value.cbData,
                                CRYPT_DECODE_ALLOC_FLAG, nullptr, &pDecoded, &nSize))
        return CERT_E_CN_NO_MATCH;
    bool bNamed = false;
    for (DWORD i = 0; i < pDecoded->cAltEntry && !bNamed; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = pDecoded->rgAltEntry[i];
        bNamed = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry.IPAddress.cbData == address.size() &&
                 memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0;
    }
    ::LocalFree(pDecoded);
    return bNamed ? 0 : CERT_E_CN_NO_MATCH;
}

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
// issuer is unknown, which the chain's own status reports, and it compares
// names only, so an address is matched here. Revocation is not checked, so
// that a machine that cannot reach the lists still updates.
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

        const std::string address = AddressBytesOf(m_strHost);
        HTTPSPolicyCallbackData https = {};
        https.cbStruct = sizeof(https);
        https.dwAuthType = AUTHTYPE_SERVER;
        https.fdwChecks = address.empty() ? 0 : kIgnoreNameCheck;
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
        if (nError == 0 && !address.empty())
            nError = CheckAddress(pCertificate, address);
        s.pfnFreeChain(pChain);
    }
    s.pfnFreeCertificate(pCertificate);
    return nError;
}
