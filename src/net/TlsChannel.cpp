#include "TlsChannel.h"

#include "TlsSession.h"

#include <cstring>

namespace {

// A handshake flight (certificate chains included) stays far below this.
const size_t kMaxHandshakeBytes = 64 * 1024;

const ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                              ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;
// The program checks the certificate itself: Schannel's own check is not
// done everywhere (Wine accepts any certificate), and it would also ask
// for revocation lists over the network.
const DWORD kCredentialFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;

const BYTE kAlertRecord = 21;

} // namespace

CTlsChannel::CTlsChannel() : m_pSession(std::make_unique<Session>()) {}

CTlsChannel::~CTlsChannel() = default;

LONG CTlsChannel::Start(const CString& strHost, std::string& strOut)
{
    if (!m_pSession->IsLoaded())
        return SEC_E_SECPKG_NOT_FOUND;
    m_strHost = strHost;
    m_nRequest = kContextRequest;
    LONG nResult = AcquireCredentials();
    if (nResult == SEC_E_OK)
        nResult = Handshake(true, strOut);
    return nResult == SEC_E_OK ? Opened() : nResult;
}

LONG CTlsChannel::Continue(const char* pData, int nLength, std::string& strOut)
{
    if (m_strReceived.size() + static_cast<size_t>(nLength) > kMaxHandshakeBytes)
        return SEC_E_ILLEGAL_MESSAGE;
    m_strReceived.append(pData, static_cast<size_t>(nLength));
    const LONG nResult = Handshake(false, strOut);
    return nResult == SEC_E_OK ? Opened() : nResult;
}

// The handshake has ended: what it granted and whom it reached are checked
// before a byte of the request is sealed.
LONG CTlsChannel::Opened()
{
    LONG nResult = CheckAttributes();
    if (nResult == SEC_E_OK)
        nResult = CheckProtocol();
    if (nResult == SEC_E_OK)
        nResult = CheckCertificate();
    if (nResult != SEC_E_OK)
        return nResult;
    m_bOpen = true;

    SecPkgContext_StreamSizes sizes = {};
    nResult = m_pSession->sspi->QueryContextAttributesA(&m_pSession->context, SECPKG_ATTR_STREAM_SIZES, &sizes);
    m_nHeaderSize = sizes.cbHeader;
    m_nTrailerSize = sizes.cbTrailer;
    m_nMaxMessage = sizes.cbMaximumMessage;
    return nResult;
}

std::string CTlsChannel::CloseNotify()
{
    std::string strAlert;
    Session& s = *m_pSession;
    if (!m_bOpen)
        return strAlert;
    DWORD nType = SCHANNEL_SHUTDOWN;
    SecBuffer control = {sizeof(nType), SECBUFFER_TOKEN, &nType};
    SecBufferDesc controlDesc = {SECBUFFER_VERSION, 1, &control};
    if (s.sspi->ApplyControlToken(&s.context, &controlDesc) != SEC_E_OK)
        return strAlert;
    SecBuffer output[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc outputDesc = {SECBUFFER_VERSION, 1, output};
    ULONG nAttributes = 0;
    char* pszTarget = const_cast<char*>(m_strHost.GetString());
    const SECURITY_STATUS nResult = s.sspi->InitializeSecurityContextA(
        &s.credentials, &s.context, pszTarget, m_nRequest, 0, 0, nullptr, 0, &s.context, &outputDesc, &nAttributes,
        nullptr);
    if (output[0].pvBuffer) {
        if (!FAILED(nResult))
            strAlert.assign(static_cast<const char*>(output[0].pvBuffer), output[0].cbBuffer);
        s.sspi->FreeContextBuffer(output[0].pvBuffer);
    }
    m_bOpen = false;
    return strAlert;
}

// TLS 1.2 and newer. The newer credential structure can also offer TLS 1.3
// where the platform has it; a platform that does not know that structure
// gets the older one, which offers TLS 1.2 alone.
LONG CTlsChannel::AcquireCredentials()
{
    TLS_PARAMETERS parameters = {};
    parameters.grbitDisabledProtocols = ~kAcceptedProtocols;
    SCH_CREDENTIALS credentials = {};
    credentials.dwVersion = SCH_CREDENTIALS_VERSION;
    credentials.dwFlags = kCredentialFlags;
    credentials.cTlsParameters = 1;
    credentials.pTlsParameters = &parameters;

    Session& s = *m_pSession;
    TimeStamp expiry;
    char szPackage[] = UNISP_NAME_A;
    SECURITY_STATUS nResult = s.sspi->AcquireCredentialsHandleA(
        nullptr, szPackage, SECPKG_CRED_OUTBOUND, nullptr, &credentials, nullptr, nullptr, &s.credentials, &expiry);
    if (nResult != SEC_E_OK) {
        SCHANNEL_CRED older = {};
        older.dwVersion = SCHANNEL_CRED_VERSION;
        older.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
        older.dwFlags = kCredentialFlags;
        nResult = s.sspi->AcquireCredentialsHandleA(nullptr, szPackage, SECPKG_CRED_OUTBOUND, nullptr, &older, nullptr,
                                                    nullptr, &s.credentials, &expiry);
    }
    s.bCredentials = nResult == SEC_E_OK;
    return nResult;
}

// Runs the handshake as far as the received bytes take it: every token
// Schannel produces is appended to strOut, and SEC_I_CONTINUE_NEEDED says
// that the server's next bytes are needed. Bytes the server sent beyond
// the handshake stay for the first record.
LONG CTlsChannel::Handshake(bool bFirst, std::string& strOut)
{
    Session& s = *m_pSession;
    for (;;) {
        // Set up afresh for every call: Schannel rewrites the buffer types.
        SecBuffer input[2] = {
            {static_cast<ULONG>(m_strReceived.size()), SECBUFFER_TOKEN, m_strReceived.data()},
            {0, SECBUFFER_EMPTY, nullptr},
        };
        SecBufferDesc inputDesc = {SECBUFFER_VERSION, 2, input};
        SecBuffer output[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc outputDesc = {SECBUFFER_VERSION, 1, output};
        ULONG nAttributes = 0;
        char* pszTarget = const_cast<char*>(m_strHost.GetString());
        const SECURITY_STATUS nResult = s.sspi->InitializeSecurityContextA(
            &s.credentials, bFirst ? nullptr : &s.context, pszTarget, m_nRequest, 0, 0,
            bFirst ? nullptr : &inputDesc, 0, &s.context, &outputDesc, &nAttributes, nullptr);
        if (bFirst)
            s.bContext = nResult == SEC_I_CONTINUE_NEEDED || nResult == SEC_E_OK;
        bFirst = false;
        m_nAttributes = nAttributes;

        // A token goes out even with a failure: it may be the alert that
        // tells the server why.
        if (output[0].pvBuffer) {
            strOut.append(static_cast<const char*>(output[0].pvBuffer), output[0].cbBuffer);
            s.sspi->FreeContextBuffer(output[0].pvBuffer);
        }

        if (nResult == SEC_E_INCOMPLETE_MESSAGE)
            return SEC_I_CONTINUE_NEEDED;
        // The server asked for a client certificate. The program has none:
        // it says so once, and a server that asks again ends the handshake
        // instead of the same call being made again and again.
        if (nResult == SEC_I_INCOMPLETE_CREDENTIALS) {
            if (m_nRequest & ISC_REQ_USE_SUPPLIED_CREDS)
                return nResult;
            m_nRequest |= ISC_REQ_USE_SUPPLIED_CREDS;
            continue;
        }

        if (input[1].BufferType == SECBUFFER_EXTRA && input[1].cbBuffer <= m_strReceived.size())
            m_strReceived.erase(0, m_strReceived.size() - input[1].cbBuffer);
        else
            m_strReceived.clear();

        if (nResult != SEC_I_CONTINUE_NEEDED || m_strReceived.empty())
            return nResult;
    }
}

LONG CTlsChannel::Seal(const char* pData, int nLength, std::string& strRecords)
{
    Session& s = *m_pSession;
    while (nLength > 0) {
        const ULONG nChunk = static_cast<ULONG>(nLength) < m_nMaxMessage ? static_cast<ULONG>(nLength) : m_nMaxMessage;
        std::string strRecord(m_nHeaderSize + nChunk + m_nTrailerSize, '\0');
        memcpy(&strRecord[m_nHeaderSize], pData, nChunk);
        SecBuffer buffers[4] = {
            {m_nHeaderSize, SECBUFFER_STREAM_HEADER, &strRecord[0]},
            {nChunk, SECBUFFER_DATA, &strRecord[m_nHeaderSize]},
            {m_nTrailerSize, SECBUFFER_STREAM_TRAILER, &strRecord[m_nHeaderSize + nChunk]},
            {0, SECBUFFER_EMPTY, nullptr},
        };
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS nResult = s.sspi->EncryptMessage(&s.context, 0, &desc, 0);
        if (nResult != SEC_E_OK)
            return nResult;
        strRecords.append(strRecord, 0, buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
        pData += nChunk;
        nLength -= static_cast<int>(nChunk);
    }
    return SEC_E_OK;
}

LONG CTlsChannel::Unseal(const char* pData, int nLength, std::string& strPlain)
{
    Session& s = *m_pSession;
    if (m_bClosedByServer)
        return SEC_E_OK;
    m_strReceived.append(pData, static_cast<size_t>(nLength));
    while (!m_strReceived.empty() && !m_bClosedByServer) {
        // A record that announces more than TLS allows can never be
        // complete: waiting for its bytes would hold the transfer until the
        // server closes.
        if (m_strReceived.size() >= 5 &&
            (static_cast<BYTE>(m_strReceived[3]) << 8 | static_cast<BYTE>(m_strReceived[4])) > kMaxRecordSize - 5)
            return SEC_E_ILLEGAL_MESSAGE;
        // The server continues the handshake (a TLS 1.3 session ticket on
        // Windows): Schannel takes the messages up to their end.
        if (m_bHandshakeDue) {
            const LONG nError = Handshake(false, m_strOutgoing);
            if (nError == SEC_I_CONTINUE_NEEDED)
                return SEC_E_OK;
            if (nError != SEC_E_OK)
                return nError;
            m_bHandshakeDue = false;
            continue;
        }
        const bool bAlert = static_cast<BYTE>(m_strReceived[0]) == kAlertRecord;
        // Set up afresh for every call: on an incomplete record Schannel
        // rewrites the first buffer's type.
        SecBuffer buffers[4] = {
            {static_cast<ULONG>(m_strReceived.size()), SECBUFFER_DATA, m_strReceived.data()},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
            {0, SECBUFFER_EMPTY, nullptr},
        };
        SecBufferDesc desc = {SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS nResult = s.sspi->DecryptMessage(&s.context, &desc, 0, nullptr);
        if (nResult == SEC_E_INCOMPLETE_MESSAGE)
            // An incomplete record that already holds more is no record.
            return m_strReceived.size() > static_cast<size_t>(kMaxRecordSize) ? SEC_E_ILLEGAL_MESSAGE : SEC_E_OK;
        if (nResult == SEC_I_CONTEXT_EXPIRED) {
            m_bClosedByServer = true;
            break;
        }
        if (nResult != SEC_E_OK && nResult != SEC_I_RENEGOTIATE)
            return nResult;

        const SecBuffer* pPlain = nullptr;
        const SecBuffer* pExtra = nullptr;
        for (const SecBuffer& buffer : buffers) {
            if (buffer.BufferType == SECBUFFER_DATA && !pPlain)
                pPlain = &buffer;
            else if (buffer.BufferType == SECBUFFER_EXTRA && !pExtra)
                pExtra = &buffer;
        }
        if (pPlain && pPlain->cbBuffer > 0)
            strPlain.append(static_cast<const char*>(pPlain->pvBuffer), pPlain->cbBuffer);
        else if (nResult == SEC_E_OK && bAlert)
            // Wine opens the close_notify alert to nothing instead of
            // reporting the context as expired.
            m_bClosedByServer = true;
        // The extra count says how much of the input is the next record;
        // the reported trailer size is not always right.
        if (pExtra && pExtra->cbBuffer <= m_strReceived.size())
            m_strReceived.erase(0, m_strReceived.size() - pExtra->cbBuffer);
        else
            m_strReceived.clear();

        m_bHandshakeDue = nResult == SEC_I_RENEGOTIATE;
    }
    if (m_bClosedByServer)
        m_strReceived.clear();
    return SEC_E_OK;
}
