// Receiving the response: the status code and Content-Length are read from
// its header block, the progress bar moves, and the body of a 200 response
// is stored block by block.

#include "UpdaterDlg.h"

#include <commctrl.h>

#include <new>

#include "eventlog/EventLog.h"
#include "eventlog/LogLines.h"
#include "net/ResponseHeaders.h"

// A file or memory failure while a block is handled loses that block: the
// body can no longer be stored whole.
template <typename Step> void CUpdaterDlg::Guarded(Step step)
{
    try {
        step();
    } catch (CFileException* e) {
        LogStoreError(*e);
        e->Delete();
    } catch (const std::bad_alloc&) {
        LogStoreError(CFileException(CFileException::genericException, ERROR_NOT_ENOUGH_MEMORY));
    }
}

// The block that ended the head never moves the bar: the Content-Length
// was not known before it.
void CUpdaterDlg::OnResponseHead(const ResponseHead& head)
{
    Guarded([&] {
        m_nReceived = head.nReceived;
        if (!head.bReadable) {
            MarkHeadersUnreadable();
            return;
        }
        m_strHeaders = head.strHeaders;
        // The reader has read the Content-Length as GetContentLength does.
        m_nContentLength = static_cast<uint32_t>(head.nContentLength);
        // The header block never changes, so neither does its status: it is
        // not parsed again for every block of the body.
        m_nStatusCode = GetStatusCode();
        ResumeOrStartAfresh(head);
        StoreBody(head.body.data(), static_cast<uint32_t>(head.body.size()));
    });
}

void CUpdaterDlg::OnTransferData(const char* pData, int nLength)
{
    if (nLength < 1)
        return;
    Guarded([&] {
        m_nReceived += static_cast<uint32_t>(nLength);
        // In 64 bits, so that the bar never moves backwards on large bodies;
        // it is told only when its position changes.
        if (m_nContentLength != 0) {
            const uint64_t nPosition = static_cast<uint64_t>(m_nReceived) * 100 / m_nContentLength;
            SetProgress(nPosition);
        }
        if (!m_bHeadersUnreadable)
            StoreBody(pData, static_cast<uint32_t>(nLength));
    });
}

void CUpdaterDlg::SetProgress(uint64_t nPosition)
{
    if (nPosition == m_nPosition)
        return;
    m_nPosition = nPosition;
    m_progress.SendMessage(PBM_SETPOS, static_cast<WPARAM>(nPosition), 0);
}

// Only the body of a 200 response, or the rest of a kept file, is stored;
// any other status is an HTTP error, however much of it comes.
void CUpdaterDlg::StoreBody(const char* pData, uint32_t nLength)
{
    m_nBodyReceived += nLength;
    if (m_nStatusCode != 200 && !m_bResumed) {
        m_bHttpError = TRUE;
        return;
    }
    if (!m_bFilePrepared) {
        PrepareTempFile();
        m_bFilePrepared = TRUE;
    }
    if (!m_bStoreFailed)
        AppendToFile(pData, nLength);
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
}

// Creates the temporary file empty, so that an empty body, too, replaces
// the destination, and so that nothing of an earlier attempt stays in it.
// It stays open, exclusively, until the transfer ends: opening and closing
// it for every chunk costs as much as the rest of the chunk's work, and on
// Windows each close of a written file is scanned again.
void CUpdaterDlg::PrepareTempFile()
{
    CFileException error;
    if (!m_download.Create(m_strDestPath, m_lock.IsHeld(), &error))
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
