#include "UpdateSignature.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <string>
#include <vector>

#include "framework/Handles.h"

namespace {

// The verification's functions, loaded from the system folder only when a
// program is checked: linked at start, wintrust and crypt32 with the
// libraries they load would add about 3 MiB to the working set of every
// run, description mode included, which checks nothing.
class TrustLibrary {
public:
    TrustLibrary()
        : m_wintrust(::LoadLibraryExA("wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)),
          m_crypt32(::LoadLibraryExA("crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
    {
        pfnWinVerifyTrust = ProcAddressOf<decltype(pfnWinVerifyTrust)>(m_wintrust, "WinVerifyTrust");
        pfnProviderData = ProcAddressOf<decltype(pfnProviderData)>(m_wintrust, "WTHelperProvDataFromStateData");
        pfnSigner = ProcAddressOf<decltype(pfnSigner)>(m_wintrust, "WTHelperGetProvSignerFromChain");
        pfnCertificateProperty =
            ProcAddressOf<decltype(pfnCertificateProperty)>(m_crypt32, "CertGetCertificateContextProperty");
    }

    bool IsLoaded() const { return pfnWinVerifyTrust && pfnProviderData && pfnSigner && pfnCertificateProperty; }

    decltype(&::WinVerifyTrust) pfnWinVerifyTrust = nullptr;
    decltype(&::WTHelperProvDataFromStateData) pfnProviderData = nullptr;
    decltype(&::WTHelperGetProvSignerFromChain) pfnSigner = nullptr;
    decltype(&::CertGetCertificateContextProperty) pfnCertificateProperty = nullptr;

private:
    CUniqueModule m_wintrust;
    CUniqueModule m_crypt32;
};

// The pinned thumbprints in one spelling: upper-case, without blanks.
std::vector<std::string> ParseThumbprints(const CString& strThumbprints)
{
    std::vector<std::string> pins(1);
    for (const char* pch = strThumbprints; *pch; ++pch) {
        if (*pch == ';')
            pins.emplace_back();
        else if (*pch != ' ' && *pch != '\t')
            pins.back() += static_cast<char>(*pch >= 'a' && *pch <= 'z' ? *pch - 'a' + 'A' : *pch);
    }
    std::vector<std::string> nonEmpty;
    for (std::string& pin : pins)
        if (!pin.empty())
            nonEmpty.push_back(std::move(pin));
    return nonEmpty;
}

// The SHA-1 thumbprint of the signing certificate, upper-case hex; empty
// when the verification kept none.
std::string SignerThumbprint(const TrustLibrary& trust, HANDLE hStateData)
{
    CRYPT_PROVIDER_DATA* pProvider = trust.pfnProviderData(hStateData);
    CRYPT_PROVIDER_SGNR* pSigner = pProvider ? trust.pfnSigner(pProvider, 0, FALSE, 0) : nullptr;
    if (!pSigner || pSigner->csCertChain == 0 || !pSigner->pasCertChain[0].pCert)
        return std::string();
    BYTE hash[20];
    DWORD nSize = sizeof(hash);
    if (!trust.pfnCertificateProperty(pSigner->pasCertChain[0].pCert, CERT_SHA1_HASH_PROP_ID, hash, &nSize))
        return std::string();
    static const char kHex[] = "0123456789ABCDEF";
    std::string thumbprint;
    for (DWORD i = 0; i < nSize; ++i) {
        thumbprint += kHex[hash[i] >> 4];
        thumbprint += kHex[hash[i] & 0xF];
    }
    return thumbprint;
}

bool IsUnsigned(LONG nResult, DWORD nLastError)
{
    // Windows also answers TRUST_E_NOSIGNATURE for a signature it cannot
    // read; then the last error tells the two apart.
    const auto isNoSignature = [](LONG n) {
        return n == TRUST_E_NOSIGNATURE || n == TRUST_E_SUBJECT_FORM_UNKNOWN || n == TRUST_E_PROVIDER_UNKNOWN;
    };
    return isNoSignature(nResult) && isNoSignature(static_cast<LONG>(nLastError));
}

// The signature matches the file, but its chain does not end in a trusted,
// current root.
bool IsChainFailure(LONG nResult)
{
    switch (nResult) {
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_UNTRUSTEDTESTROOT:
    case CERT_E_CHAINING:
    case CERT_E_EXPIRED:
    case CERT_E_VALIDITYPERIODNESTING:
        return true;
    default:
        return false;
    }
}

} // namespace

LONG CheckUpdateSignature(HANDLE hFile, const CString& strPath, bool bRequireSignature,
                          const CString& strThumbprints)
{
    const std::vector<std::string> pins = ParseThumbprints(strThumbprints);
    const TrustLibrary trust;
    if (!trust.IsLoaded())
        return static_cast<LONG>(::GetLastError());

    const int nChars = ::MultiByteToWideChar(CP_ACP, 0, strPath, -1, nullptr, 0);
    std::wstring path(static_cast<size_t>(nChars > 0 ? nChars : 1), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, strPath, -1, &path[0], nChars);

    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path.c_str();
    file.hFile = hFile;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    // No revocation check: it would go to the network, and a machine
    // without one must still update.
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;

    const LONG nResult = trust.pfnWinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    const DWORD nLastError = ::GetLastError();
    const std::string signer = data.hWVTStateData ? SignerThumbprint(trust, data.hWVTStateData) : std::string();
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    trust.pfnWinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);

    // Some failures (a file that cannot be read) are plain error numbers,
    // not HRESULTs: anything but success counts.
    if (nResult != ERROR_SUCCESS && IsUnsigned(nResult, nLastError))
        return bRequireSignature || !pins.empty() ? TRUST_E_NOSIGNATURE : ERROR_SUCCESS;
    const bool bIntact = nResult == ERROR_SUCCESS || (IsChainFailure(nResult) && !signer.empty());
    if (!bIntact)
        return nResult;
    // With a pin the pin decides, so a maker may pin a certificate that no
    // trusted root vouches for.
    if (!pins.empty()) {
        for (const std::string& pin : pins)
            if (pin == signer)
                return ERROR_SUCCESS;
        return TRUST_E_SUBJECT_NOT_TRUSTED;
    }
    if (nResult != ERROR_SUCCESS && bRequireSignature)
        return nResult;
    return ERROR_SUCCESS;
}
