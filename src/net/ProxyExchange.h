#pragma once
// A message to a proxy and its answer, with the sign-in that a 407 asks
// for: the CONNECT of a tunnel, and a request that the proxy forwards,
// alike. It runs while the connection is set up, in blocking calls.

#include <string>

#include "framework/CString.h"
#include "framework/Win32.h"

// The connection's side of the exchange; each call blocks until it is done
// or the setup's deadline has passed.
class CSetupStream {
public:
    // 0, or the error number of the send.
    virtual LONG SendText(const CString& strText) = 0;
    // Appends what arrives next to bytes; 0 with nothing appended when the
    // peer has closed. Otherwise the error number.
    virtual LONG ReceiveMore(std::string& bytes) = 0;
    // A new connection to the same proxy.
    virtual LONG Reconnect() = 0;

protected:
    ~CSetupStream() = default;
};

class CProxyExchange {
public:
    CProxyExchange(CSetupStream& stream, const CString& strProxyHost);

    // Sends the message and reads the proxy's answer, and answers a 407
    // that asks for sign-in with the message again, carrying the sign-in:
    // on the same connection when the proxy keeps it (the 407's body read
    // to its end), on a new one otherwise. The last answer, as far as it
    // came with its head, is then in Answer(); a 407 that stands is
    // recorded with the reason of every scheme the proxy offered. 0, or the
    // error number of the exchange.
    LONG Send(const CString& strMessage);
    // The same, for a message that has been sent already.
    LONG Answered(const CString& strMessage);

    std::string& Answer() { return m_strAnswer; }

private:
    LONG ReadHead();
    LONG ReadTo(size_t nTotal);

    CSetupStream& m_stream;
    CString m_strProxyHost;
    std::string m_strAnswer;
};
