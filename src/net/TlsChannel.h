#pragma once
// TLS over a connected socket through the platform's Schannel: the client
// handshake with the server's certificate checked by the program itself,
// the sealing of outgoing bytes into records and the opening of received
// records. Schannel and the certificate functions are loaded from the system
// folder only when a channel is made, so that plain transfers never load them.

#include <memory>
#include <string>

#include "framework/CString.h"
#include "framework/Socket.h"

class CTlsChannel {
public:
    explicit CTlsChannel(CSocket& socket);
    ~CTlsChannel();
    CTlsChannel(const CTlsChannel&) = delete;
    CTlsChannel& operator=(const CTlsChannel&) = delete;

    // A record carries at most 16 KiB of plain text and 2 KiB of overhead
    // behind its 5-byte header.
    static constexpr int kMaxRecordSize = 16384 + 2048 + 5;

    // The handshake with strHost over the connected socket, in blocking
    // calls, then the check of the server's certificate for that name.
    // 0, or the error number of the handshake, the socket or the check.
    LONG Open(const CString& strHost);
    // Appends the records that carry the bytes to strRecords. 0 or an error.
    LONG Seal(const char* pData, int nLength, std::string& strRecords);
    // Takes received bytes and appends the plain text of every complete
    // record to strPlain; an incomplete record waits for the next bytes.
    // 0, or the error number of a record that does not decrypt or
    // authenticate.
    LONG Unseal(const char* pData, int nLength, std::string& strPlain);
    // The server ended the session with its close_notify: the bytes before
    // it are all it sent, and nothing after it counts.
    bool IsClosedByServer() const { return m_bClosedByServer; }

private:
    // The loaded libraries and the Schannel handles of the session.
    struct Session;

    LONG AcquireCredentials();
    LONG Handshake(bool bFirst);
    LONG ReadHandshakeBytes();
    LONG CheckProtocol();
    LONG CheckCertificate();

    std::unique_ptr<Session> m_pSession;
    CSocket& m_socket;
    CString m_strHost;
    unsigned long m_nHeaderSize = 0;
    unsigned long m_nTrailerSize = 0;
    unsigned long m_nMaxMessage = 0;
    // Received bytes not yet consumed: the rest of a handshake flight, or
    // the start of the next record.
    std::string m_strReceived;
    bool m_bOpen = false;
    bool m_bHandshakeDue = false; // the server sent handshake messages after the records began
    bool m_bClosedByServer = false;
};
