#include "DownloadFile.h"

#include <cstring>
#include <string>

#include "UpdateSignature.h"

BOOL CDownloadFile::Create(const CString& strDestPath, bool bStable, CFileException* pError)
{
    Discard();
    char szSuffix[32];
    wsprintfA(szSuffix, ".%lu.part", ::GetCurrentProcessId());
    const CString strPath = bStable ? KeptPathOf(strDestPath) : strDestPath + szSuffix;
    if (!Hold(strPath, CREATE_ALWAYS)) {
        *pError = CFileException(CFileException::genericException, static_cast<LONG>(::GetLastError()), strPath);
        return FALSE;
    }
    m_strDestPath = strDestPath;
    return TRUE;
}

LONG CDownloadFile::OpenKept(const CString& strDestPath, uint64_t* pnSize)
{
    Discard();
    if (!Hold(KeptPathOf(strDestPath), OPEN_EXISTING))
        return static_cast<LONG>(::GetLastError());
    m_strDestPath = strDestPath;
    LARGE_INTEGER size;
    LARGE_INTEGER zero = {};
    if (!::GetFileSizeEx(m_file.m_hFile.Get(), &size) ||
        !::SetFilePointerEx(m_file.m_hFile.Get(), zero, nullptr, FILE_END)) {
        const LONG nError = static_cast<LONG>(::GetLastError());
        Discard();
        return nError;
    }
    *pnSize = static_cast<uint64_t>(size.QuadPart);
    return ERROR_SUCCESS;
}

// Read for the signature check and delete for the rename, both through this
// handle; shared with nobody, so that no other program can change, rename
// or remove the file while it is held.
BOOL CDownloadFile::Hold(const CString& strPath, DWORD nDisposition)
{
    CUniqueHandleValue file(FileHandleOf(::CreateFileA(strPath, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                                                       nDisposition, FILE_ATTRIBUTE_NORMAL, nullptr)));
    if (!file.IsValid())
        return FALSE;
    m_file.m_hFile = std::move(file);
    m_strPath = strPath;
    return TRUE;
}

// The bookkeeping is written after the file is flushed and closed, so that
// it never describes bytes that are not on the disk.
LONG CDownloadFile::Keep(const KeptTransfer& kept)
{
    LONG nError = WriteGatheredError();
    if (nError == ERROR_SUCCESS && !::FlushFileBuffers(m_file.m_hFile.Get()))
        nError = static_cast<LONG>(::GetLastError());
    m_file.Abort();
    if (nError == ERROR_SUCCESS) {
        const std::string text = KeptTransferText(kept);
        CUniqueHandleValue info(FileHandleOf(::CreateFileA(BookkeepingPathOf(m_strDestPath), GENERIC_WRITE, 0,
                                                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
        DWORD nWritten = 0;
        if (!info.IsValid() ||
            !::WriteFile(info.Get(), text.data(), static_cast<DWORD>(text.size()), &nWritten, nullptr) ||
            !::FlushFileBuffers(info.Get()))
            nError = static_cast<LONG>(::GetLastError());
    }
    if (nError != ERROR_SUCCESS) {
        RemoveKept(m_strDestPath);
        m_strPath.Empty();
        return nError;
    }
    m_strPath.Empty();
    return ERROR_SUCCESS;
}

bool CDownloadFile::ReadBookkeeping(const CString& strDestPath, KeptTransfer* pKept)
{
    CUniqueHandleValue info(FileHandleOf(::CreateFileA(BookkeepingPathOf(strDestPath), GENERIC_READ,
                                                       FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                                       FILE_ATTRIBUTE_NORMAL, nullptr)));
    if (!info.IsValid())
        return false;
    // A few URLs and numbers; anything longer is not ours.
    std::string text(8192, '\0');
    DWORD nRead = 0;
    if (!::ReadFile(info.Get(), text.data(), static_cast<DWORD>(text.size()), &nRead, nullptr) ||
        nRead == text.size())
        return false;
    text.resize(nRead);
    return ParseKeptTransfer(text, pKept);
}

bool CDownloadFile::RemoveKept(const CString& strDestPath)
{
    const bool bFile = ::DeleteFileA(KeptPathOf(strDestPath)) != FALSE;
    const bool bInfo = ::DeleteFileA(BookkeepingPathOf(strDestPath)) != FALSE;
    return bFile || bInfo;
}

// Bytes that fill no piece wait for the next ones; a length of a whole
// piece or more that finds nothing gathered is written as it is.
void CDownloadFile::Append(const void* pData, UINT nLength)
{
    const char* pNext = static_cast<const char*>(pData);
    while (nLength > 0) {
        if (m_nGathered == 0 && nLength >= kPieceSize) {
            m_file.Write(pNext, nLength);
            return;
        }
        if (!m_pGathered)
            m_pGathered = std::make_unique<char[]>(kPieceSize);
        const UINT nTake = nLength < kPieceSize - m_nGathered ? nLength : kPieceSize - m_nGathered;
        memcpy(m_pGathered.get() + m_nGathered, pNext, nTake);
        m_nGathered += nTake;
        pNext += nTake;
        nLength -= nTake;
        if (m_nGathered == kPieceSize)
            WriteGathered();
    }
}

// The gathered bytes are gone whether the write succeeds or not.
void CDownloadFile::WriteGathered()
{
    const UINT nCount = m_nGathered;
    m_nGathered = 0;
    if (nCount > 0)
        m_file.Write(m_pGathered.get(), nCount);
}

LONG CDownloadFile::WriteGatheredError()
{
    try {
        WriteGathered();
    } catch (CFileException* e) {
        const LONG nError = e->m_lOsError;
        e->Delete();
        return nError;
    }
    return ERROR_SUCCESS;
}

CFile& CDownloadFile::HeldFile()
{
    WriteGathered();
    return m_file;
}

// The size is the held file's: a file that is no longer held is not the
// one that was written.
LONG CDownloadFile::Finish(uint64_t nExpectedSize)
{
    if (!m_file.m_hFile.IsValid()) {
        m_nGathered = 0;
        return ERROR_INVALID_HANDLE;
    }
    const LONG nError = WriteGatheredError();
    if (nError != ERROR_SUCCESS)
        return nError;
    const HANDLE hFile = m_file.m_hFile.Get();
    if (!::FlushFileBuffers(hFile))
        return static_cast<LONG>(::GetLastError());
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(hFile, &size))
        return static_cast<LONG>(::GetLastError());
    return static_cast<uint64_t>(size.QuadPart) == nExpectedSize ? 0 : ERROR_FILE_INVALID;
}

LONG CDownloadFile::CheckSignature(bool bRequireSignature, const CString& strThumbprints)
{
    return CheckUpdateSignature(m_file.m_hFile.Get(), m_strPath, bRequireSignature, strThumbprints);
}

LONG CDownloadFile::Replace()
{
    LONG nError = ERROR_SUCCESS;
    {
        CUniqueHandleValue dest(FileHandleOf(
            ::CreateFileA(m_strDestPath, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
        if (!dest.IsValid() && ::GetLastError() != ERROR_FILE_NOT_FOUND)
            nError = static_cast<LONG>(::GetLastError());
    }
    if (nError == ERROR_SUCCESS)
        nError = RenameHeld();
    if (nError == ERROR_INVALID_PARAMETER || nError == ERROR_NOT_SUPPORTED || nError == ERROR_INVALID_FUNCTION ||
        nError == ERROR_CALL_NOT_IMPLEMENTED) {
        // A volume that cannot rename an open file: the file is closed,
        // after the flush, and moved by name.
        m_file.Abort();
        nError = ::MoveFileExA(m_strPath, m_strDestPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                     ? ERROR_SUCCESS
                     : static_cast<LONG>(::GetLastError());
    }
    if (nError != ERROR_SUCCESS)
        return nError;
    // The file is the destination now: closed, and no longer removed.
    m_file.Abort();
    m_strPath.Empty();
    return ERROR_SUCCESS;
}

LONG CDownloadFile::RenameHeld() const
{
    const int nChars = ::MultiByteToWideChar(CP_ACP, 0, m_strDestPath, -1, nullptr, 0);
    if (nChars <= 0)
        return static_cast<LONG>(::GetLastError());
    std::string buffer(sizeof(FILE_RENAME_INFO) + static_cast<size_t>(nChars) * sizeof(WCHAR), '\0');
    FILE_RENAME_INFO* pInfo = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    pInfo->ReplaceIfExists = TRUE;
    pInfo->RootDirectory = nullptr;
    pInfo->FileNameLength = static_cast<DWORD>(nChars - 1) * sizeof(WCHAR);
    ::MultiByteToWideChar(CP_ACP, 0, m_strDestPath, -1, pInfo->FileName, nChars);
    if (!::SetFileInformationByHandle(m_file.m_hFile.Get(), FileRenameInfo, pInfo, static_cast<DWORD>(buffer.size())))
        return static_cast<LONG>(::GetLastError());
    return ERROR_SUCCESS;
}

void CDownloadFile::Discard()
{
    m_nGathered = 0;
    m_file.Abort();
    if (m_strPath.IsEmpty())
        return;
    ::DeleteFileA(m_strPath);
    m_strPath.Empty();
}
