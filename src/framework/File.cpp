#include "File.h"

#include "Socket.h"

namespace {

int CauseOf(DWORD nOsError)
{
    switch (nOsError) {
    case ERROR_FILE_NOT_FOUND: return CFileException::fileNotFound;
    case ERROR_PATH_NOT_FOUND: return CFileException::badPath;
    case ERROR_ACCESS_DENIED: return CFileException::accessDenied;
    case ERROR_SHARING_VIOLATION: return CFileException::sharingViolation;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return CFileException::diskFull;
    default: return CFileException::genericException;
    }
}

bool IsSocketError(LONG nError)
{
    return nError >= WSABASEERR && nError < WSABASEERR + 2000;
}

} // namespace

CFileException::CFileException(int cause, LONG lOsError, const char* pszFileName)
    : m_cause(cause), m_lOsError(lOsError), m_strFileName(pszFileName ? pszFileName : "")
{
}

BOOL CFileException::GetErrorMessage(char* pszError, UINT nMaxError, UINT* pnHelpContext) const
{
    if (pnHelpContext)
        *pnHelpContext = 0;
    if (!pszError || nMaxError == 0)
        return FALSE;

    char* pszSystem = nullptr;
    const DWORD nLength = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(m_lOsError), 0, reinterpret_cast<char*>(&pszSystem), 0, nullptr);
    if (nLength > 0 && pszSystem) {
        // System texts end in a line break, which would split a log record.
        DWORD nEnd = nLength;
        while (nEnd > 0 && (pszSystem[nEnd - 1] == '\r' || pszSystem[nEnd - 1] == '\n' || pszSystem[nEnd - 1] == ' '))
            --nEnd;
        pszSystem[nEnd] = '\0';
        ::lstrcpynA(pszError, pszSystem, static_cast<int>(nMaxError));
    } else {
        char szFallback[64];
        wsprintfA(szFallback, IsSocketError(m_lOsError) ? "Socket error %d" : "Error %d", static_cast<int>(m_lOsError));
        ::lstrcpynA(pszError, szFallback, static_cast<int>(nMaxError));
    }
    if (pszSystem)
        ::LocalFree(pszSystem);
    return TRUE;
}

BOOL CFile::Open(const char* pszFileName, UINT nOpenFlags, CFileException* pError)
{
    DWORD nAccess = GENERIC_READ;
    switch (nOpenFlags & 3) {
    case modeWrite: nAccess = GENERIC_WRITE; break;
    case modeReadWrite: nAccess = GENERIC_READ | GENERIC_WRITE; break;
    default: break;
    }
    DWORD nShare = 0;
    switch (nOpenFlags & 0x70) {
    case shareDenyWrite: nShare = FILE_SHARE_READ; break;
    case shareDenyNone: nShare = FILE_SHARE_READ | FILE_SHARE_WRITE; break;
    default: break;
    }
    const DWORD nCreation = (nOpenFlags & modeCreate) ? CREATE_ALWAYS : OPEN_EXISTING;

    m_hFile = FileHandleOf(
        ::CreateFileA(pszFileName, nAccess, nShare, nullptr, nCreation, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_hFile.IsValid()) {
        const DWORD nOsError = ::GetLastError();
        if (pError) {
            pError->m_cause = CauseOf(nOsError);
            pError->m_lOsError = static_cast<LONG>(nOsError);
            pError->m_strFileName = pszFileName;
        }
        return FALSE;
    }
    m_strFileName = pszFileName;
    return TRUE;
}

ULONGLONG CFile::Seek(LONGLONG lOff, UINT nFrom)
{
    LARGE_INTEGER distance;
    distance.QuadPart = lOff;
    LARGE_INTEGER position;
    const DWORD nMethod = nFrom == end ? FILE_END : nFrom == current ? FILE_CURRENT : FILE_BEGIN;
    if (!::SetFilePointerEx(m_hFile.Get(), distance, &position, nMethod))
        ThrowLastError();
    return static_cast<ULONGLONG>(position.QuadPart);
}

void CFile::Write(const void* pBuf, UINT nCount)
{
    DWORD nWritten = 0;
    if (!::WriteFile(m_hFile.Get(), pBuf, nCount, &nWritten, nullptr))
        ThrowLastError();
    // A short write without an error means the volume is full.
    if (nWritten != nCount)
        throw new CFileException(CFileException::diskFull, ERROR_DISK_FULL, m_strFileName);
}

void CFile::Close()
{
    const HANDLE hFile = m_hFile.Detach();
    if (hFile && !::CloseHandle(hFile))
        ThrowLastError();
}

void CFile::Abort()
{
    m_hFile.Reset();
}

void CFile::Remove(const char* pszFileName)
{
    if (!::DeleteFileA(pszFileName)) {
        const DWORD nOsError = ::GetLastError();
        throw new CFileException(CauseOf(nOsError), static_cast<LONG>(nOsError), pszFileName);
    }
}

void CFile::ThrowLastError() const
{
    const DWORD nOsError = ::GetLastError();
    throw new CFileException(CauseOf(nOsError), static_cast<LONG>(nOsError), m_strFileName);
}

CSocketFile::CSocketFile(CSocket* pSocket, BOOL) : m_pSocket(pSocket) {}

void CSocketFile::Write(const void* pBuf, UINT nCount)
{
    if (!m_pSocket)
        throw new CFileException(CFileException::genericException, WSAENOTSOCK);
    const char* pNext = static_cast<const char*>(pBuf);
    UINT nLeft = nCount;
    while (nLeft > 0) {
        const int nSent = m_pSocket->Send(pNext, static_cast<int>(nLeft), 0);
        if (nSent == SOCKET_ERROR || nSent == 0) {
            const int nError = ::WSAGetLastError();
            throw new CFileException(CFileException::genericException, nError);
        }
        pNext += nSent;
        nLeft -= static_cast<UINT>(nSent);
    }
}
