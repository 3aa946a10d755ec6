#pragma once
// The fetched body from its first byte to the replace of the destination.
// It goes to a uniquely named temporary file beside the destination, held
// open for the transfer and shared with nobody. Once the body is whole the
// held file is, in this order, flushed to the disk, checked for its size
// and, where asked, for its signature, and renamed over the destination
// itself: what was checked is what is stored, nothing can change it in
// between, and a power loss leaves the old file or the new one, whole.
// Every other end removes it, but for a transfer cut short that the next
// start can go on with: then the file stays under a stable name, with its
// bookkeeping beside it (KeptTransfer.h). The stable name is used only by
// a run that holds the destination's lock. The blocks of the body are
// gathered and written kPieceSize bytes at a time (on Windows each write
// passes the antivirus filter driver); the rest goes before the flush, and
// before the file is kept.

#include <cstdint>
#include <memory>

#include "framework/File.h"

#include "KeptTransfer.h"

class CDownloadFile {
public:
    CDownloadFile() = default;
    ~CDownloadFile() { Discard(); }
    CDownloadFile(const CDownloadFile&) = delete;
    CDownloadFile& operator=(const CDownloadFile&) = delete;

    // Creates the temporary file, empty, beside the destination: under the
    // stable name, or one of this process's own. FALSE with the error in
    // *pError.
    BOOL Create(const CString& strDestPath, bool bStable, CFileException* pError);
    // Holds the file that an earlier transfer kept, to go on with it; its
    // size in *pnSize. 0 or the error.
    LONG OpenKept(const CString& strDestPath, uint64_t* pnSize);
    // Flushes and closes the held file and leaves it, with its
    // bookkeeping, for the next start. 0 or the error; after an error the
    // file is removed.
    LONG Keep(const KeptTransfer& kept);
    // Gathers the bytes, and writes them once kPieceSize have gathered.
    // Throws the CFileException* of a failed write; the gathered bytes go
    // with it, and so nothing of them is written later.
    void Append(const void* pData, UINT nLength);
    // Writes what has gathered, flushes the held file and checks that it
    // holds nExpectedSize bytes. 0, or the error: that of the write, or
    // ERROR_FILE_INVALID for another size.
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

    // The file and the bookkeeping that a start found kept.
    static CString KeptPathOf(const CString& strDestPath) { return strDestPath + ".part"; }
    static CString BookkeepingPathOf(const CString& strDestPath) { return strDestPath + ".part.info"; }
    // false when there is none, or it cannot be read.
    static bool ReadBookkeeping(const CString& strDestPath, KeptTransfer* pKept);
    // Removes what was kept for the destination; whether there was any.
    static bool RemoveKept(const CString& strDestPath);

    bool IsCreated() const { return !m_strPath.IsEmpty(); }
    const CString& Path() const { return m_strPath; }
    // The held file itself, with what has gathered written to it first:
    // for tests that close it, or swap it for one the volume refuses.
    // Throws the CFileException* of a failed write.
    CFile& HeldFile();

    static constexpr UINT kPieceSize = 64 * 1024;

private:
    BOOL Hold(const CString& strPath, DWORD nDisposition);
    LONG RenameHeld() const;
    void WriteGathered();
    LONG WriteGatheredError();

    CString m_strPath;
    CString m_strDestPath;
    CFile m_file;
    std::unique_ptr<char[]> m_pGathered; // kPieceSize bytes, made at the first append
    UINT m_nGathered = 0;
};
