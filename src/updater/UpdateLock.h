#pragma once
// One update of a destination at a time, across the sessions of a machine:
// a mutex in the Global\ namespace named after the destination's full path
// with its letter case folded, so that two starts for one file exclude each
// other, whoever started them, and starts for two files do not. The holder
// marks its dialog, so that a second start in the same session can bring
// it to the front.

#include "framework/CString.h"
#include "framework/Win32.h"

class CUpdateLock {
public:
    enum Result { kTaken, kHeldElsewhere, kUnavailable };

    CUpdateLock() = default;
    ~CUpdateLock() { Release(); }
    CUpdateLock(const CUpdateLock&) = delete;
    CUpdateLock& operator=(const CUpdateLock&) = delete;

    // Takes the lock of strDestPath, also one that its last holder left
    // abandoned, and marks hDialog as its holder's. kUnavailable (with the
    // error in *pError) when no lock could be made at all.
    Result Take(const CString& strDestPath, HWND hDialog, DWORD* pError);
    // The dialog that holds the lock, restored and brought to the front,
    // where it is on this desktop.
    void ShowHolder() const;
    // Removes the holder's mark; the dialog goes before the lock does.
    void Unmark();
    void Release();

    bool IsHeld() const { return m_bHeld; }

private:
    CString m_strName; // without the namespace; also the dialog's mark
    HANDLE m_hMutex = nullptr;
    HWND m_hDialog = nullptr;
    bool m_bHeld = false;
};

// "QuillbrookUpdater-" and the SHA-256 of the upper-cased full path in hex:
// a name of fixed length whatever the path, without the backslashes that a
// kernel object's name may not hold. Empty when the path cannot be read.
CString UpdateLockNameOf(const CString& strDestPath);
