#include "SignIn.h"

#define SECURITY_WIN32
#include "framework/Win32.h"

#include <security.h>
#include <wincred.h>

#include <algorithm>

#include "framework/Handles.h"

namespace {

const char* const kSchemeNames[] = {"Negotiate", "NTLM", "Basic"};

// Neither mutual authentication (squid sends no token back with its 200)
// nor memory that SSPI allocates: under Wine that breaks Kerberos.
const ULONG kContextRequest = ISC_REQ_CONNECTION;

std::string ErrorText(long nError)
{
    return "error " + std::to_string(nError);
}

bool EqualsNoCase(const std::string& text, const char* pszWord)
{
    return _stricmp(text.c_str(), pszWord) == 0;
}

std::string Utf8Of(const wchar_t* pszWide, int nCount)
{
    const int nBytes = ::WideCharToMultiByte(CP_UTF8, 0, pszWide, nCount, nullptr, 0, nullptr, nullptr);
    std::string text(nBytes > 0 ? static_cast<size_t>(nBytes) : 0, '\0');
    if (nBytes > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, pszWide, nCount, text.data(), nBytes, nullptr, nullptr);
    return text;
}

std::string Utf8OfAnsi(const char* pszText)
{
    const int nCount = ::MultiByteToWideChar(CP_ACP, 0, pszText, -1, nullptr, 0);
    std::wstring wide(nCount > 0 ? static_cast<size_t>(nCount) : 1, L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, pszText, -1, wide.data(), nCount);
    return Utf8Of(wide.c_str(), -1).c_str();
}

} // namespace

struct CSignIn::Sspi {
    Sspi() : secur32(::LoadLibraryExA("secur32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
    {
        const auto pfnInit = ProcAddressOf<INIT_SECURITY_INTERFACE_A>(secur32, SECURITY_ENTRYPOINT_ANSIA);
        table = pfnInit ? pfnInit() : nullptr;
    }
    ~Sspi() { End(); }
    void End()
    {
        if (bContext)
            table->DeleteSecurityContext(&context);
        if (bCredentials)
            table->FreeCredentialsHandle(&credentials);
        bContext = false;
        bCredentials = false;
    }

    CUniqueModule secur32;
    PSecurityFunctionTableA table = nullptr;
    CredHandle credentials = {};
    bool bCredentials = false;
    CtxtHandle context = {};
    bool bContext = false;
    unsigned long nMaxToken = 0;
};

CSignIn::CSignIn(const CString& strHost, const char* pszPeer, bool bBasicAllowed)
    : m_strHost(strHost), m_peer(pszPeer), m_bBasicAllowed(bBasicAllowed)
{
}

CSignIn::~CSignIn() = default;

bool CSignIn::Answer(const std::vector<Challenge>& challenges, bool bSameConnection,
                          std::string& strAuthorization)
{
    for (const Challenge& challenge : challenges) {
        int nScheme = 0;
        while (nScheme < kSchemeCount && !EqualsNoCase(challenge.scheme, kSchemeNames[nScheme]))
            ++nScheme;
        if (nScheme < kSchemeCount)
            m_bOffered[nScheme] = true;
        else if (std::find(m_otherSchemes.begin(), m_otherSchemes.end(), challenge.scheme) == m_otherSchemes.end())
            m_otherSchemes.push_back(challenge.scheme);
    }

    // The peer's answer to the last sign-in: the next leg of its
    // context, or a refusal.
    if (m_nScheme >= 0) {
        const Challenge* pChallenge = ChallengeOf(challenges, m_nScheme);
        if (m_bLegDue && bSameConnection && pChallenge && !pChallenge->token.empty()) {
            std::string input;
            if (!BytesOfBase64(pChallenge->token, input))
                Fail(m_nScheme, "the " + m_peer + "'s token is not Base64");
            else if (NextLeg(&input, strAuthorization))
                return true;
        } else {
            Fail(m_nScheme, m_bLegDue && !bSameConnection ? "the " + m_peer + " closed the connection" : "refused");
        }
        EndScheme();
    }

    for (int nScheme = 0; nScheme < kSchemeCount; ++nScheme) {
        if (m_bTried[nScheme] || !ChallengeOf(challenges, nScheme))
            continue;
        m_bTried[nScheme] = true;
        if (nScheme == kBasic && !m_bBasicAllowed) {
            Fail(kBasic, "no password is sent to this host over plain http");
            continue;
        }
        m_nScheme = nScheme;
        if (nScheme == kBasic ? StartBasic(strAuthorization) : StartContext(nScheme, strAuthorization))
            return true;
        EndScheme();
    }
    return false;
}

std::string CSignIn::Failures() const
{
    std::string text;
    for (int nScheme = 0; nScheme < kSchemeCount; ++nScheme) {
        if (!m_bOffered[nScheme])
            continue;
        text += text.empty() ? "" : "; ";
        text += std::string(kSchemeNames[nScheme]) + ": " +
                (m_failure[nScheme].empty() ? std::string("not tried") : m_failure[nScheme]);
    }
    for (const std::string& scheme : m_otherSchemes)
        text += (text.empty() ? "" : "; ") + scheme + ": not supported";
    return text.empty() ? "the " + m_peer + " offered no scheme" : text;
}

const Challenge* CSignIn::ChallengeOf(const std::vector<Challenge>& challenges, int nScheme)
{
    for (const Challenge& challenge : challenges) {
        if (EqualsNoCase(challenge.scheme, kSchemeNames[nScheme]))
            return &challenge;
    }
    return nullptr;
}

// The logged-on user's credentials, for the service "HTTP/<host>" with the
// host as the setting or the URL names it.
bool CSignIn::StartContext(int nScheme, std::string& strAuthorization)
{
    if (!m_pSspi)
        m_pSspi = std::make_unique<Sspi>();
    Sspi& s = *m_pSspi;
    if (!s.table) {
        Fail(nScheme, "secur32.dll not loaded: " + ErrorText(static_cast<long>(::GetLastError())));
        return false;
    }
    char* pszPackage = const_cast<char*>(kSchemeNames[nScheme]);
    PSecPkgInfoA pInfo = nullptr;
    SECURITY_STATUS nStatus = s.table->QuerySecurityPackageInfoA(pszPackage, &pInfo);
    if (nStatus != SEC_E_OK) {
        Fail(nScheme, ErrorText(nStatus));
        return false;
    }
    s.nMaxToken = pInfo->cbMaxToken;
    s.table->FreeContextBuffer(pInfo);
    TimeStamp expiry = {};
    nStatus = s.table->AcquireCredentialsHandleA(nullptr, pszPackage, SECPKG_CRED_OUTBOUND, nullptr, nullptr,
                                                 nullptr, nullptr, &s.credentials, &expiry);
    if (nStatus != SEC_E_OK) {
        Fail(nScheme, ErrorText(nStatus));
        return false;
    }
    s.bCredentials = true;
    return NextLeg(nullptr, strAuthorization);
}

// One call of the context: the peer's token in (none at the start), the
// program's token out.
bool CSignIn::NextLeg(const std::string* pInput, std::string& strAuthorization)
{
    Sspi& s = *m_pSspi;
    std::string token(s.nMaxToken, '\0');
    SecBuffer output = {s.nMaxToken, SECBUFFER_TOKEN, token.data()};
    SecBufferDesc outputDesc = {SECBUFFER_VERSION, 1, &output};
    std::string inputBytes = pInput ? *pInput : std::string();
    SecBuffer input = {static_cast<unsigned long>(inputBytes.size()), SECBUFFER_TOKEN, inputBytes.data()};
    SecBufferDesc inputDesc = {SECBUFFER_VERSION, 1, &input};
    std::string target = "HTTP/" + std::string(m_strHost);
    unsigned long nAttributes = 0;
    TimeStamp expiry = {};
    SECURITY_STATUS nStatus = s.table->InitializeSecurityContextA(
        &s.credentials, s.bContext ? &s.context : nullptr, target.data(), kContextRequest, 0, SECURITY_NATIVE_DREP,
        pInput ? &inputDesc : nullptr, 0, &s.context, &outputDesc, &nAttributes, &expiry);
    if (nStatus == SEC_I_COMPLETE_NEEDED || nStatus == SEC_I_COMPLETE_AND_CONTINUE) {
        const SECURITY_STATUS nCompleted = s.table->CompleteAuthToken(&s.context, &outputDesc);
        nStatus = nCompleted != SEC_E_OK ? nCompleted : nStatus == SEC_I_COMPLETE_NEEDED ? SEC_E_OK : SEC_I_CONTINUE_NEEDED;
    }
    if (nStatus == SEC_E_OK || nStatus == SEC_I_CONTINUE_NEEDED)
        s.bContext = true;
    if ((nStatus != SEC_E_OK && nStatus != SEC_I_CONTINUE_NEEDED) || output.cbBuffer == 0) {
        Fail(m_nScheme, nStatus != SEC_E_OK && nStatus != SEC_I_CONTINUE_NEEDED ? ErrorText(nStatus) : "no token");
        return false;
    }
    m_bLegDue = nStatus == SEC_I_CONTINUE_NEEDED;
    strAuthorization = std::string(kSchemeNames[m_nScheme]) + " " + Base64Of(token.substr(0, output.cbBuffer));
    return true;
}

// cmdkey /generic:HOST keeps the password as UTF-16LE without a
// terminator; the peer gets user and password in UTF-8.
bool CSignIn::StartBasic(std::string& strAuthorization)
{
    PCREDENTIALA pCredential = nullptr;
    if (!::CredReadA(m_strHost, CRED_TYPE_GENERIC, 0, &pCredential)) {
        Fail(kBasic, "no saved credential");
        return false;
    }
    const std::string user = Utf8OfAnsi(pCredential->UserName ? pCredential->UserName : "");
    const std::string password = Utf8Of(reinterpret_cast<const wchar_t*>(pCredential->CredentialBlob),
                                        static_cast<int>(pCredential->CredentialBlobSize / sizeof(wchar_t)));
    ::CredFree(pCredential);
    m_bLegDue = false;
    strAuthorization = "Basic " + Base64Of(user + ":" + password);
    return true;
}

void CSignIn::Fail(int nScheme, const std::string& reason)
{
    if (m_failure[nScheme].empty())
        m_failure[nScheme] = reason;
}

void CSignIn::EndScheme()
{
    if (m_pSspi)
        m_pSspi->End();
    m_nScheme = -1;
    m_bLegDue = false;
}
