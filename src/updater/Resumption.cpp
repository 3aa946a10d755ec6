// A transfer cut short goes on at the next start. What arrived stays
// beside the destination with what a resumption needs; the next start for
// the same setting asks for the rest, and takes it only when the server
// answers with exactly that rest of the same file. Every other answer
// starts afresh or ends as it always has.

#include "UpdaterDlg.h"

#include <string>

#include "eventlog/EventLog.h"
#include "eventlog/LogLines.h"
#include "net/HttpTransfer.h"
#include "net/ResponseHeaders.h"

namespace {

// A week, in the 100 ns units of a FILETIME: older parts belong to an
// update that has long been replaced.
const uint64_t kKeptForAtMost = 7ull * 24 * 60 * 60 * 10000000;

uint64_t Now()
{
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

} // namespace

// Only a run that holds the destination's lock looks at what was kept, so
// no other run can be writing it.
void CUpdaterDlg::PrepareResumption(const CString& strUrl)
{
    m_strSourceUrl = strUrl;
    if (!m_lock.IsHeld())
        return;
    KeptTransfer kept;
    const bool bReadable = CDownloadFile::ReadBookkeeping(m_strDestPath, &kept);
    uint64_t nSize = 0;
    if (!bReadable || m_download.OpenKept(m_strDestPath, &nSize) != ERROR_SUCCESS) {
        if (bReadable || ::GetFileAttributesA(CDownloadFile::KeptPathOf(m_strDestPath)) != INVALID_FILE_ATTRIBUTES ||
            ::GetFileAttributesA(CDownloadFile::BookkeepingPathOf(m_strDestPath)) != INVALID_FILE_ATTRIBUTES)
            RemoveKept("it cannot be read");
        return;
    }
    const uint64_t nNow = Now();
    const char* pszReason = nullptr;
    if (kept.sourceUrl != strUrl.GetString())
        pszReason = "it belongs to another URL";
    else if (kept.nKeptAt > nNow || nNow - kept.nKeptAt >= kKeptForAtMost)
        pszReason = "it is older than 7 days";
    else if (nSize >= kept.nLength)
        pszReason = "it is not shorter than the file";
    else if (nSize == 0)
        pszReason = "it is empty";
    if (pszReason) {
        RemoveKept(pszReason);
        return;
    }
    // The bookkeeping is written again if this start is cut short too.
    ::DeleteFileA(CDownloadFile::BookkeepingPathOf(m_strDestPath));
    m_kept = kept;
    m_nKeptSize = nSize;
}

void CUpdaterDlg::RemoveKept(const char* pszReason)
{
    m_download.Discard();
    CDownloadFile::RemoveKept(m_strDestPath);
    wsprintfA(g_szDetailText, "The kept part of %s was removed: %s", m_strDestPath.GetString(), pszReason);
    LogEvent(&g_logUpdaterDlg, 1, g_szDetailText, LOG_LINE_KEPT_REMOVED);
}

// A 206 is the rest only when it starts where the kept file ends and ends
// where the file does. A 200 is the whole file again, from zero in the same
// place; it may itself be kept if it is cut short. Any other answer leaves
// nothing to go on with.
void CUpdaterDlg::ResumeOrStartAfresh(const ResponseHead& head)
{
    const KeptTransfer earlier = m_kept;
    m_kept = KeptTransfer();
    ByteRange range;
    if (m_nStatusCode == 206 && earlier.IsSet() && m_pHttp->RangeAsked() && ContentRangeOf(m_strHeaders, &range) &&
        range.nFirst == m_nKeptSize && range.nTotal == earlier.nLength && range.nLast + 1 == earlier.nLength &&
        (head.nContentLength < 0 || static_cast<uint64_t>(head.nContentLength) == earlier.nLength - m_nKeptSize)) {
        m_kept = earlier;
        m_bResumed = TRUE;
        m_bFilePrepared = TRUE;
        m_nBodyReceived = m_nKeptSize;
        // The bar goes on from where the kept part ends, of the whole file.
        m_nReceived += static_cast<uint32_t>(m_nKeptSize);
        m_nContentLength = static_cast<uint32_t>(earlier.nLength);
        SetProgress(m_nKeptSize * 100 / earlier.nLength);
        const std::string text = "Resuming the transfer of " + earlier.url + " at byte " +
                                 std::to_string(m_nKeptSize) + " of " + std::to_string(earlier.nLength);
        LogEvent(&g_logUpdaterDlg, 1, text.substr(0, sizeof(g_szDetailText) - 1).c_str(), LOG_LINE_RESUMING);
        return;
    }
    if (m_nStatusCode != 200 || !m_lock.IsHeld() || !m_pHttp)
        return;
    const std::string validator = StrongValidatorOf(m_strHeaders);
    if (head.nContentLength > 0 && AcceptsByteRanges(m_strHeaders) && !validator.empty()) {
        m_kept.sourceUrl = m_strSourceUrl.GetString();
        m_kept.url = m_pHttp->Url().GetString();
        m_kept.validator = validator;
        m_kept.nLength = static_cast<uint64_t>(head.nContentLength);
    }
}

// Only what can be gone on with is kept: part of a file whose server takes
// ranges and names its version, stored without a fault.
void CUpdaterDlg::KeepForResumption()
{
    const uint64_t nStored = m_bFilePrepared ? m_nBodyReceived : m_nKeptSize;
    if (!m_kept.IsSet() || m_bHttpError || m_bStoreFailed || !m_download.IsCreated() || nStored == 0 ||
        nStored >= m_kept.nLength)
        return;
    // A part that is gone on with keeps the age of its first bytes.
    if (m_kept.nKeptAt == 0)
        m_kept.nKeptAt = Now();
    m_download.Keep(m_kept);
}
