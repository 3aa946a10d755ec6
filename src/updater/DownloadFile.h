#pragma once
// The fetched body from its first byte to the replace of the destination.
// It goes to a uniquely named temporary file beside the destination, held
// open for the transfer and shared with nobody. Once the body is whole the
// held file is, in this order, flushed to the disk, checked for its size
// and, where asked, for its signature, and renamed over the destination
// itself: what was checked is what is stored, nothing can change it in
// between, and a power loss leaves the old file or the new one, whole.
// Every other end removes it.

#include <cstdint>

#include "framework/File.h"

class CDownloadFile {
public:
    CDownloadFile() = default;
    ~CDownloadFile() { Discard(); }
    CDownloadFile(const CDownloadFile&) = delete;
    CDownloadFile& operator=(const CDownloadFile&) = delete;

    // Creates the temporary file, empty, beside the destination. FALSE
    // with the error in *pError.
    BOOL Create(const CString& strDestPath, CFileException* pError);
    // Throws the CFileException* of a failed write.
    void Append(const void* pData, UINT nLength);
    // Flushes the held file and checks that it holds nExpectedSize bytes.
    // 0, or the error: ERROR_FILE_INVALID for another size.
    LONG Finish(uint64_t nExpectedSize);
    // The Authenticode check of the held file (UpdateSignature.h).
    LONG CheckSignature(bool bRequireSignature, const CString& strThumbprints);
    // Renames the held file over the destination; where the platform
    // cannot rename by handle, moves it by name, written through. A
    // destination that another program holds open is not replaced. 0 or
    // the error.
    LONG Replace();
    // Closes and removes the temporary file, if there is one.
    void Discard();

    bool IsCreated() const { return !m_strPath.IsEmpty(); }
    const CString& Path() const { return m_strPath; }
    // The held file itself, for writes that the volume refuses (tests).
    CFile& HeldFile() { return m_file; }

private:
    LONG RenameHeld() const;

    CString m_strPath;
    CString m_strDestPath;
    CFile m_file;
};
