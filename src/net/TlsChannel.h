#pragma once
// TLS through the platform's Schannel, on bytes alone: the client handshake
// with the server's certificate checked by the program itself, the sealing
// of outgoing bytes into records, the opening of received records, and the
// close_notify. The connection carries the bytes both ways. Schannel and
// the certificate functions are loaded from the system folder only when a
// channel is made, so that plain transfers never load them.

#include <memory>
#include <string>

#include "framework/CString.h"
#include "framework/Win32.h"

struct _CERT_CONTEXT;

class CTlsChannel {
public:
    CTlsChannel();
    ~CTlsChannel();
    CTlsChannel(const CTlsChannel&) = delete;
    CTlsChannel& operator=(const CTlsChannel&) = delete;

    // A record carries at most 16 KiB of plain text and 2 KiB of overhead
    // behind its 5-byte header.
    static constexpr int kMaxRecordSize = 16384 + 2048 + 5;

    // Begins the handshake with strHost: the bytes to send are appended to
    // strOut. SEC_I_CONTINUE_NEEDED while the handshake waits for the
    // server's next bytes, which Continue takes; 0 once it has ended and
    // the server's certificate for that name has been checked; otherwise
    // the error number of the handshake or the check, with perhaps an alert
    // in strOut that tells the server why.
    LONG Start(const CString& strHost, std::string& strOut);
    LONG Continue(const char* pData, int nLength, std::string& strOut);
    // Appends the records that carry the bytes to strRecords. 0 or an error.
    LONG Seal(const char* pData, int nLength, std::string& strRecords);
    // Takes received bytes and appends the plain text of every complete
    // record to strPlain; an incomplete record waits for the next bytes.
    // 0, or the error number of a record that does not decrypt or
    // authenticate.
    LONG Unseal(const char* pData, int nLength, std::string& strPlain);
    // What the channel has to send of its own after the handshake: the
    // answer to handshake messages that came with the records.
    std::string TakeOutgoing() { return std::move(m_strOutgoing); }
    // The close_notify that ends the session from this side; empty when the
    // handshake never ended.
    std::string CloseNotify();
    // The server ended the session with its close_notify: the bytes before
    // it are all it sent, and nothing after it counts.
    bool IsClosedByServer() const { return m_bClosedByServer; }

private:
    // The loaded libraries and the Schannel handles of the session.
    struct Session;

    LONG AcquireCredentials();
    LONG Handshake(bool bFirst, std::string& strOut);
    LONG Opened();
    LONG CheckAttributes();
    LONG CheckProtocol();
    LONG CheckCertificate();
    LONG CheckAddress(const _CERT_CONTEXT* pCertificate, const std::string& address) const;

    std::unique_ptr<Session> m_pSession;
    CString m_strHost;
    unsigned long m_nRequest = 0;    // the context requirements asked for
    unsigned long m_nAttributes = 0; // those the handshake granted
    unsigned long m_nHeaderSize = 0;
    unsigned long m_nTrailerSize = 0;
    unsigned long m_nMaxMessage = 0;
    // Received bytes not yet consumed: the rest of a handshake flight, or
    // the start of the next record.
    std::string m_strReceived;
    std::string m_strOutgoing;
    bool m_bOpen = false;
    bool m_bHandshakeDue = false; // the server sent handshake messages after the records began
    bool m_bClosedByServer = false;
};
