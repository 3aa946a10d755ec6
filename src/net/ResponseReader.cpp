#include "ResponseReader.h"

#include "ResponseHeaders.h"

HeadState FindHeadEnd(std::string_view bytes, size_t& nHeadEnd)
{
    std::string_view text = bytes.substr(0, kMaxHeadBytes);
    text = text.substr(0, text.find('\0'));
    nHeadEnd = text.find("\r\n\r\n");
    if (nHeadEnd == 0)
        return HeadState::kUnreadable;
    if (nHeadEnd != std::string_view::npos)
        return HeadState::kComplete;
    return bytes.size() >= kMaxHeadBytes ? HeadState::kUnreadable : HeadState::kIncomplete;
}

CResponseReader::CResponseReader(CResponseReceiver& receiver, bool bEndsAtLength)
    : m_receiver(receiver), m_bEndsAtLength(bEndsAtLength)
{
}

bool CResponseReader::Take(const char* pData, int nLength)
{
    if (m_bEnded || nLength < 1)
        return !m_bEnded;
    return m_bHeadDone ? TakeBody(pData, nLength) : TakeHead(pData, nLength);
}

// The head's bytes are gathered until it ends; the body bytes of the block
// that ended it go with it.
bool CResponseReader::TakeHead(const char* pData, int nLength)
{
    m_strHead.append(pData, static_cast<size_t>(nLength));
    size_t nHeadEnd = 0;
    const HeadState state = FindHeadEnd(m_strHead, nHeadEnd);
    if (state == HeadState::kIncomplete)
        return true;
    m_bHeadDone = true;
    ResponseHead head;
    head.nReceived = static_cast<uint32_t>(m_strHead.size());
    if (state == HeadState::kComplete) {
        m_bReadable = true;
        head.bReadable = true;
        head.strHeaders = CString(m_strHead.data(), static_cast<int>(nHeadEnd));
        head.nStatus = StatusOfResponse(m_strHead);
        head.nContentLength = ContentLengthOf(head.strHeaders);
        m_nContentLength = head.nContentLength;
        m_bEndsAtLength = m_bEndsAtLength && AnnouncedLengthOf(head.strHeaders, &m_nAnnounced);
        head.body = std::string_view(m_strHead).substr(nHeadEnd + 4);
        if (m_bEndsAtLength && head.body.size() > m_nAnnounced)
            head.body = head.body.substr(0, static_cast<size_t>(m_nAnnounced));
        m_nBody = head.body.size();
    } else {
        m_bEndsAtLength = false;
    }
    m_receiver.OnResponseHead(head);
    m_strHead.clear();
    m_strHead.shrink_to_fit();
    if (m_bEndsAtLength && m_nBody == m_nAnnounced) {
        End(0, true);
        return false;
    }
    return !m_bEnded;
}

// Bytes beyond the announced length of a response that ends at it belong
// to no response.
bool CResponseReader::TakeBody(const char* pData, int nLength)
{
    uint64_t nBlock = static_cast<uint64_t>(nLength);
    if (m_bEndsAtLength && m_nBody + nBlock > m_nAnnounced)
        nBlock = m_nAnnounced - m_nBody;
    m_nBody += nBlock;
    if (nBlock > 0)
        m_receiver.OnTransferData(pData, static_cast<int>(nBlock));
    if (m_bEndsAtLength && m_nBody == m_nAnnounced && !m_bEnded) {
        End(0, true);
        return false;
    }
    return !m_bEnded;
}

// Complete: a readable head and at least the announced body; without an
// announced length any body whose end the connection vouches for.
void CResponseReader::End(int nErrorCode, bool bEndConfirmed)
{
    if (m_bEnded)
        return;
    m_bEnded = true;
    bool bComplete = m_bReadable;
    if (bComplete && m_nContentLength > 0)
        bComplete = m_nBody >= static_cast<uint64_t>(m_nContentLength);
    else if (bComplete)
        bComplete = bEndConfirmed;
    m_receiver.OnTransferClosed(nErrorCode, bComplete);
}
