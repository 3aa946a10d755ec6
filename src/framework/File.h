#pragma once
// Files and their exceptions. Failures are thrown as heap objects
// (throw new CFileException(...)); the catcher disposes of them with Delete().

#include "Win32.h"
#include "CObject.h"
#include "CString.h"
#include "Handles.h"

class CFileException : public CObject {
public:
    enum { none, genericException, fileNotFound, badPath, accessDenied, sharingViolation, diskFull };

    explicit CFileException(int cause = none, LONG lOsError = -1, const char* pszFileName = nullptr);

    // The platform's text for m_lOsError, always NUL-terminated and cut to
    // fit nMaxError bytes; FALSE only when there is no room at all.
    BOOL GetErrorMessage(char* pszError, UINT nMaxError, UINT* pnHelpContext = nullptr) const;
    void Delete() { delete this; }

    int m_cause;
    LONG m_lOsError;
    CString m_strFileName;
};

class CFile : public CObject {
public:
    enum {
        modeRead = 0,
        modeWrite = 1,
        modeReadWrite = 2,
        shareExclusive = 0x10,
        shareDenyWrite = 0x20,
        shareDenyNone = 0x40,
        modeCreate = 0x1000,
    };
    enum SeekPosition { begin, current, end };

    CFile() = default;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    BOOL Open(const char* pszFileName, UINT nOpenFlags, CFileException* pError = nullptr);
    ULONGLONG Seek(LONGLONG lOff, UINT nFrom);
    void Write(const void* pBuf, UINT nCount);
    void Close();
    // Closes without reporting a failure: for paths that are abandoning the
    // file anyway.
    void Abort();

    static void Remove(const char* pszFileName);

    CUniqueHandleValue m_hFile; // closed with the object

private:
    [[noreturn]] void ThrowLastError() const;

    CString m_strFileName;
};

class CSocket;

// A file view of a connected socket: Write sends every byte or throws.
// Neither Close nor the destructor closes the socket.
class CSocketFile : public CObject {
public:
    // Archive compatibility concerns reading only, which nothing here does.
    explicit CSocketFile(CSocket* pSocket, BOOL bArchiveCompatible = TRUE);
    CSocketFile(const CSocketFile&) = delete;
    CSocketFile& operator=(const CSocketFile&) = delete;

    void Write(const void* pBuf, UINT nCount);
    void Close() { m_pSocket = nullptr; }

private:
    CSocket* m_pSocket;
};
