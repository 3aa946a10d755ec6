#pragma once
// Reading a response once, below its receiver: the end of its head found
// with one bound, the head's fields read, then the body handed on in the
// blocks that arrived, and the end judged complete or not. Text only.

#include <cstdint>
#include <string>
#include <string_view>

#include "framework/CString.h"

// A head that has not ended within this many bytes is not one the program
// reads.
const size_t kMaxHeadBytes = 64 * 1024;

enum class HeadState { kIncomplete, kComplete, kUnreadable };

// Whether the bytes hold the end of a response's head ("\r\n\r\n"), read as
// text that ends at a zero byte. Complete when the terminator's last byte is
// within kMaxHeadBytes (nHeadEnd is then the index of the terminator);
// unreadable when the head is empty or kMaxHeadBytes have come without it.
HeadState FindHeadEnd(std::string_view bytes, size_t& nHeadEnd);

struct ResponseHead {
    bool bReadable = false;
    CString strHeaders;       // the head without its terminator; empty when unreadable
    int nStatus = 0;          // as the transport reads it
    int nContentLength = -1;  // the lenient length that moves the progress bar
    uint32_t nReceived = 0;   // bytes of the response so far, with the body bytes below
    std::string_view body;    // the body bytes that came with the head's last block
};

// Told of a response: first its head, then its body in blocks of at most
// 1024 bytes, then its end. After an unreadable head, the blocks are the
// rest of what came, read by no one.
class CResponseReceiver {
public:
    virtual void OnResponseHead(const ResponseHead& head) = 0;
    virtual void OnTransferData(const char* pData, int nLength) = 0;
    // bComplete: the head was readable, and the body has its announced
    // length or, without one, an end that the server vouches for.
    virtual void OnTransferClosed(int nErrorCode, bool bComplete) = 0;

protected:
    ~CResponseReceiver() = default;
};

class CResponseReader {
public:
    // bEndsAtLength: the response ends at the length its head announces
    // beyond doubt, as a proxy that keeps the connection sends it.
    CResponseReader(CResponseReceiver& receiver, bool bEndsAtLength);

    // A block as it came from the connection. false once the response has
    // ended at its announced length (the receiver has been told): what
    // follows on the connection belongs to no response.
    bool Take(const char* pData, int nLength);
    // The connection ended; bEndConfirmed: the server meant that end. The
    // receiver is told once.
    void End(int nErrorCode, bool bEndConfirmed);

    bool HasHead() const { return m_bHeadDone; }

private:
    bool TakeHead(const char* pData, int nLength);
    bool TakeBody(const char* pData, int nLength);

    CResponseReceiver& m_receiver;
    bool m_bEndsAtLength;
    std::string m_strHead; // the bytes until the head has ended
    bool m_bHeadDone = false;
    bool m_bReadable = false;
    bool m_bEnded = false;
    int m_nContentLength = -1;
    uint64_t m_nAnnounced = 0; // when the response ends at its length
    uint64_t m_nBody = 0;
};
