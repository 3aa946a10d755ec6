// Receiving the response: the header block is gathered and split off, the
// status code and Content-Length are read from it, the progress bar moves,
// and the body of a 200 response is stored chunk by chunk.

#include "UpdaterDlg.h"

#include <commctrl.h>

#include <cstring>

#include "ResponseHeaders.h"
#include "eventlog/EventLog.h"
#include "framework/File.h"

namespace {

// A header block that has not ended within this many bytes is not a
// response we can read; its further bytes are not kept.
const uint32_t kMaxHeaderBlock = 64 * 1024;

// Records a failure to store the body in the event log.
void LogStoreError(const CString& strPath, const CFileException& e)
{
    char szMessage[1024];
    e.GetErrorMessage(szMessage, sizeof(szMessage));
    wsprintfA(g_szDetailText, "Error writing to %s: %s", strPath.GetString(), szMessage);
    LogEvent(&g_logUpdaterDlg, 0, g_szDetailText, 335);
}

} // namespace

void TransferDataProc(const char* pData, int nLength, void* pContext)
{
    static_cast<CUpdaterDlg*>(pContext)->OnTransferData(pData, nLength);
}

void CUpdaterDlg::OnTransferData(const char* pData, int nLength)
{
    if (nLength < 1)
        return;

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

    // The header block never changes after the split, so neither does its
    // status: it is not parsed again for every block of the body.
    if (m_nStatusCode == 200) {
        if (!m_bFilePrepared) {
            PrepareTempFile();
            m_bFilePrepared = TRUE;
        }
        m_nBodyReceived += static_cast<uint32_t>(nLength);
        if (!m_bStoreFailed && !AppendToFile(m_strTempPath, pData, static_cast<uint32_t>(nLength)))
            m_bStoreFailed = TRUE;
    } else {
        m_bHttpError = TRUE;
    }
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

// Appends one chunk to the file, opened and closed again for the chunk.
BOOL CUpdaterDlg::AppendToFile(const CString& strPath, const char* pData, uint32_t nLength)
{
    if (nLength == 0)
        return TRUE;

    CFile file;
    CFileException openError;
    if (!file.Open(strPath, CFile::modeWrite | CFile::shareExclusive, &openError) &&
        !file.Open(strPath, CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive, &openError)) {
        LogStoreError(strPath, openError);
        return FALSE;
    }

    file.Seek(0, CFile::end);
    try {
        file.Write(pData, nLength);
    } catch (CFileException* e) {
        LogStoreError(strPath, *e);
        e->Delete();
        return FALSE;
    }
    file.Close();
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

// Creates the temporary file empty, so that an empty body, too, replaces
// the destination, and so that nothing of an earlier attempt stays in it.
void CUpdaterDlg::PrepareTempFile()
{
    char szSuffix[32];
    wsprintfA(szSuffix, ".%lu.part", ::GetCurrentProcessId());
    m_strTempPath = m_strDestPath + szSuffix;

    CFile file;
    CFileException error;
    if (!file.Open(m_strTempPath, CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive, &error)) {
        LogStoreError(m_strTempPath, error);
        m_strTempPath.Empty();
        m_bStoreFailed = TRUE;
    }
}

// Complete: the connection ended normally after the header block and at
// least the announced body. Without an announced length any body counts.
BOOL CUpdaterDlg::IsResponseComplete() const
{
    if (m_strHeaders.IsEmpty())
        return FALSE;
    const int nAnnounced = static_cast<int>(m_nContentLength);
    return nAnnounced <= 0 || m_nBodyReceived >= static_cast<uint64_t>(nAnnounced);
}

// Replaces the destination with the complete body. The destination is first
// opened for exclusive writing, so that one that another program holds open
// is reported rather than replaced under it.
BOOL CUpdaterDlg::CommitDownload()
{
    if (m_bStoreFailed || m_strTempPath.IsEmpty())
        return FALSE;

    HANDLE hDest = ::CreateFileA(m_strDestPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD dwError = ERROR_SUCCESS;
    if (hDest != INVALID_HANDLE_VALUE)
        ::CloseHandle(hDest);
    else if (::GetLastError() != ERROR_FILE_NOT_FOUND)
        dwError = ::GetLastError();
    if (dwError == ERROR_SUCCESS &&
        !::MoveFileExA(m_strTempPath, m_strDestPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        dwError = ::GetLastError();
    if (dwError != ERROR_SUCCESS) {
        LogStoreError(m_strDestPath, CFileException(CFileException::genericException, static_cast<LONG>(dwError)));
        return FALSE;
    }
    m_strTempPath.Empty();
    return TRUE;
}

void CUpdaterDlg::DiscardDownload()
{
    if (m_strTempPath.IsEmpty())
        return;
    ::DeleteFileA(m_strTempPath);
    m_strTempPath.Empty();
}
