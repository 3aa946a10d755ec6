#pragma once
// What the parts of CTlsChannel share: the platform's TLS headers, the
// protocols accepted, and the session with its loaded libraries and
// Schannel handles. For the channel's own files only.

#include "TlsChannel.h"

#define SECURITY_WIN32
// The newer credential structure, which can ask for TLS 1.3.
#define SCHANNEL_USE_BLACKLISTS
#include <wincrypt.h>
#include <subauth.h>
#include <schannel.h>
#include <security.h>

#include "framework/Handles.h"

// TLS 1.2 and newer.
const DWORD kAcceptedProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;

struct CTlsChannel::Session {
    Session()
        : secur32(::LoadLibraryExA("secur32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)),
          crypt32(::LoadLibraryExA("crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
    {
        const auto pfnInit = ProcAddressOf<INIT_SECURITY_INTERFACE_A>(secur32, SECURITY_ENTRYPOINT_ANSIA);
        sspi = pfnInit ? pfnInit() : nullptr;
        pfnGetChain = ProcAddressOf<decltype(pfnGetChain)>(crypt32, "CertGetCertificateChain");
        pfnVerifyChain = ProcAddressOf<decltype(pfnVerifyChain)>(crypt32, "CertVerifyCertificateChainPolicy");
        pfnFreeChain = ProcAddressOf<decltype(pfnFreeChain)>(crypt32, "CertFreeCertificateChain");
        pfnFreeCertificate = ProcAddressOf<decltype(pfnFreeCertificate)>(crypt32, "CertFreeCertificateContext");
        pfnFindExtension = ProcAddressOf<decltype(pfnFindExtension)>(crypt32, "CertFindExtension");
        pfnDecode = ProcAddressOf<decltype(pfnDecode)>(crypt32, "CryptDecodeObjectEx");
    }
    ~Session()
    {
        if (bContext)
            sspi->DeleteSecurityContext(&context);
        if (bCredentials)
            sspi->FreeCredentialsHandle(&credentials);
    }

    bool IsLoaded() const
    {
        return sspi && pfnGetChain && pfnVerifyChain && pfnFreeChain && pfnFreeCertificate && pfnFindExtension &&
               pfnDecode;
    }

    CUniqueModule secur32;
    CUniqueModule crypt32;
    PSecurityFunctionTableA sspi = nullptr;
    decltype(&::CertGetCertificateChain) pfnGetChain = nullptr;
    decltype(&::CertVerifyCertificateChainPolicy) pfnVerifyChain = nullptr;
    decltype(&::CertFreeCertificateChain) pfnFreeChain = nullptr;
    decltype(&::CertFreeCertificateContext) pfnFreeCertificate = nullptr;
    decltype(&::CertFindExtension) pfnFindExtension = nullptr;
    decltype(&::CryptDecodeObjectEx) pfnDecode = nullptr;

    CredHandle credentials = {};
    bool bCredentials = false;
    CtxtHandle context = {};
    bool bContext = false;
};
