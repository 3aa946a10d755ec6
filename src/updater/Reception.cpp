// Receiving the response: the header block is gathered and split off, the
// status code and Content-Length are read from it, the progress bar moves,
// and the body of a 200 response is stored chunk by chunk.

#include "UpdaterDlg.h"

#include <commctrl.h>

#include <cstring>
#include <new>

#include "eventlog/EventLog.h"
#include "eventlog/LogLines.h"
#include "net/HttpInterface.h"
#include "net/ResponseHeaders.h"

namespace {

// A header block that has not ended within this many bytes is not a
// response we can read; its further bytes are not kept.
const uint32_t kMaxHeaderBlock = 64 * 1024;

} // namespace

void TransferDataProc(const char* pData, int nLength, void* pContext)
{
    static_cast<CUpdaterDlg*>(pContext)->OnTransferData(pData, nLength);
}

// A file or memory failure while a chunk is handled loses that chunk: the
// body can no longer be stored whole.
void CUpdaterDlg::OnTransferData(const char* pData, int nLength)
{
    if (nLength < 1)
        return;
    try {
        ReceiveChunk(pData, nLength);
    } catch (CFileException* e) {
        LogStoreError(*e);
        e->Delete();
    } catch (const std::bad_alloc&) {
        LogStoreError(CFileException(CFileException::genericException, ERROR_NOT_ENOUGH_MEMORY));
    }
}

void CUpdaterDlg::ReceiveChunk(const char* pData, int nLength)
{
    if (m_bHeadersUnreadable) {
        m_nReceived += static_cast<uint32_t>(nLength);
        return;
    }

    if (m_strHeaders.IsEmpty())
        AppendRawBytes(pData, nLength);
    else
        m_nReceived += static_cast<uint32_t>(nLength);

    // In 64 bits, so that the bar never moves backwards on large bodies.
    // The chunk that completes the header block has no Content-Length yet.
    if (m_nContentLength != 0) {
        const uint64_t nPosition = static_cast<uint64_t>(m_nReceived) * 100 / m_nContentLength;
        m_progress.SendMessage(PBM_SETPOS, static_cast<WPARAM>(nPosition), 0);
    }

    if (!SplitHeaders(&pData, &nLength)) {
        if (m_nReceived >= kMaxHeaderBlock)
            MarkHeadersUnreadable();
        return;
    }
    if (m_bHeadersUnreadable)
        return;

    // Bytes beyond the announced length of a response that ends at it
    // belong to no response.
    uint32_t nBody = static_cast<uint32_t>(nLength);
    if (m_bEndsAtLength && m_nBodyReceived + nBody > m_nAnnouncedLength)
        nBody = static_cast<uint32_t>(m_nAnnouncedLength - m_nBodyReceived);
    m_nBodyReceived += nBody;

    // The header block never changes after the split, so neither does its
    // status: it is not parsed again for every block of the body.
    if (m_nStatusCode == 200) {
        if (!m_bFilePrepared) {
            PrepareTempFile();
            m_bFilePrepared = TRUE;
        }
        if (!m_bStoreFailed)
            AppendToFile(pData, nBody);
    } else {
        m_bHttpError = TRUE;
    }

    if (m_bEndsAtLength && m_nBodyReceived == m_nAnnouncedLength)
        EndAtAnnouncedLength();
}

void CUpdaterDlg::AppendRawBytes(const char* pData, int nLength)
{
    char* pBuffer = new char[m_nReceived + static_cast<uint32_t>(nLength)];
    if (m_pRawBuffer)
        memcpy(pBuffer, m_pRawBuffer, m_nReceived);
    memcpy(pBuffer + m_nReceived, pData, static_cast<size_t>(nLength));
    m_nReceived += static_cast<uint32_t>(nLength);
    delete[] m_pRawBuffer;
    m_pRawBuffer = pBuffer;
}

BOOL CUpdaterDlg::SplitHeaders(const char** ppData, int* pnLength)
{
    if (!m_strHeaders.IsEmpty())
        return TRUE;
    if (!m_pRawBuffer)
        return FALSE;

    // The text ends at the first zero byte or after the received bytes.
    const void* pZero = memchr(m_pRawBuffer, 0, m_nReceived);
    const int nTextLength = pZero ? static_cast<int>(static_cast<const char*>(pZero) - m_pRawBuffer)
                                  : static_cast<int>(m_nReceived);
    const CString strText(m_pRawBuffer, nTextLength);
    const int nTerminator = strText.Find("\r\n\r\n");
    if (nTerminator < 0)
        return FALSE;

    // An empty header block carries no status line: nothing can be read
    // from the response.
    if (nTerminator == 0) {
        MarkHeadersUnreadable();
        return TRUE;
    }

    m_strHeaders = strText.Left(nTerminator);
    const uint32_t nBody = m_nReceived - static_cast<uint32_t>(nTerminator) - 4;
    char* pBody = new char[nBody ? nBody : 1];
    memcpy(pBody, m_pRawBuffer + nTerminator + 4, nBody);
    delete[] m_pRawBuffer;
    m_pRawBuffer = pBody;
    *ppData = m_pRawBuffer;
    *pnLength = static_cast<int>(nBody);

    m_nContentLength = static_cast<uint32_t>(GetContentLength());
    m_nStatusCode = GetStatusCode();
    m_bEndsAtLength = m_pHttp && m_pHttp->UsesProxy() && AnnouncedLengthOf(m_strHeaders, &m_nAnnouncedLength);
    return TRUE;
}

int CUpdaterDlg::GetContentLength()
{
    return ContentLengthOf(m_strHeaders);
}

int CUpdaterDlg::GetStatusCode()
{
    return StatusCodeOf(m_strHeaders);
}

// Appends one chunk to the held temporary file.
BOOL CUpdaterDlg::AppendToFile(const char* pData, uint32_t nLength)
{
    if (nLength == 0)
        return TRUE;
    try {
        m_download.Append(pData, nLength);
    } catch (CFileException* e) {
        LogStoreError(*e);
        e->Delete();
        return FALSE;
    }
    return TRUE;
}

// The response cannot be read: it counts as an HTTP error with status 0,
// and nothing more of it is kept.
void CUpdaterDlg::MarkHeadersUnreadable()
{
    m_bHeadersUnreadable = TRUE;
    m_bHttpError = TRUE;
    delete[] m_pRawBuffer;
    m_pRawBuffer = nullptr;
}

// The proxy keeps the connection for a next request that never comes, so
// the program closes it and completes as after the server's close. The
// socket object stays: this runs inside its own notification, and the
// dialog deletes it with itself.
void CUpdaterDlg::EndAtAnnouncedLength()
{
    m_pHttp->Close();
    OnTransferClosed(0);
}

// Creates the temporary file empty, so that an empty body, too, replaces
// the destination, and so that nothing of an earlier attempt stays in it.
// It stays open, exclusively, until the transfer ends: opening and closing
// it for every chunk costs as much as the rest of the chunk's work, and on
// Windows each close of a written file is scanned again.
void CUpdaterDlg::PrepareTempFile()
{
    CFileException error;
    if (!m_download.Create(m_strDestPath, &error))
        LogStoreError(error);
}

// Records a failure to store the body, once for the transfer: every later
// chunk is lost with it. The record names the destination, the file that
// the suite and its support staff know, whichever file failed.
void CUpdaterDlg::LogStoreError(const CFileException& e)
{
    if (m_bStoreFailed)
        return;
    m_bStoreFailed = TRUE;
    char szMessage[1024];
    e.GetErrorMessage(szMessage, sizeof(szMessage));
    wsprintfA(g_szDetailText, "Error writing to %s: %s", m_strDestPath.GetString(), szMessage);
    LogEvent(&g_logUpdaterDlg, 0, g_szDetailText, LOG_LINE_WRITE_ERROR);
}

// Complete: the connection ended normally after the header block and at
// least the announced body. Without an announced length any body counts
// whose end the connection vouches for.
BOOL CUpdaterDlg::IsResponseComplete() const
{
    if (m_strHeaders.IsEmpty())
        return FALSE;
    const int nAnnounced = static_cast<int>(m_nContentLength);
    if (nAnnounced > 0)
        return m_nBodyReceived >= static_cast<uint64_t>(nAnnounced);
    return !m_pHttp || m_pHttp->IsEndConfirmed();
}

// Flushes the temporary file and checks that it still holds every byte of
// the body: a scanner or a cleanup tool may have removed or cut it.
BOOL CUpdaterDlg::FinishTempFile()
{
    if (m_bStoreFailed || !m_download.IsCreated())
        return FALSE;
    const LONG nError = m_download.Finish(m_nBodyReceived);
    if (nError != ERROR_SUCCESS) {
        LogStoreError(CFileException(CFileException::genericException, nError));
        return FALSE;
    }
    return TRUE;
}

// Replaces the destination with the complete, checked body. One that
// another program holds open is reported rather than replaced under it.
BOOL CUpdaterDlg::CommitDownload()
{
    const LONG nError = m_download.Replace();
    if (nError != ERROR_SUCCESS) {
        LogStoreError(CFileException(CFileException::genericException, nError));
        return FALSE;
    }
    return TRUE;
}

void CUpdaterDlg::DiscardDownload()
{
    m_download.Discard();
}
