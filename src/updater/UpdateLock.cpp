#include "UpdateLock.h"

#include <bcrypt.h>
#include <sddl.h>

#include <string>
#include <vector>

namespace {

const char kNamespace[] = "Global\\";
const char kNamePrefix[] = "QuillbrookUpdater-";

// Everyone who can sign in may wait for the lock and release what they
// took; only the system and administrators may do more. Without it, a
// second user of a terminal server could not even open the first one's.
const wchar_t kLockAccess[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100001;;;AU)";

std::wstring WideOf(const CString& strText)
{
    const int nChars = ::MultiByteToWideChar(CP_ACP, 0, strText, -1, nullptr, 0);
    if (nChars <= 0)
        return {};
    std::wstring text(static_cast<size_t>(nChars), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, strText, -1, text.data(), nChars);
    text.resize(static_cast<size_t>(nChars - 1));
    return text;
}

std::wstring FoldedFullPathOf(const CString& strPath)
{
    const std::wstring path = WideOf(strPath);
    if (path.empty())
        return {};
    const DWORD nChars = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (nChars == 0)
        return {};
    std::wstring full(nChars, L'\0');
    const DWORD nWritten = ::GetFullPathNameW(path.c_str(), nChars, full.data(), nullptr);
    if (nWritten == 0 || nWritten >= nChars)
        return {};
    full.resize(nWritten);
    ::CharUpperBuffW(full.data(), nWritten);
    return full;
}

bool Sha256Of(const void* pData, ULONG nLength, unsigned char (&digest)[32])
{
    BCRYPT_ALG_HANDLE hAlgorithm = nullptr;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&hAlgorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return false;
    BCRYPT_HASH_HANDLE hHash = nullptr;
    bool bDone = BCRYPT_SUCCESS(::BCryptCreateHash(hAlgorithm, &hHash, nullptr, 0, nullptr, 0, 0));
    if (bDone) {
        bDone = BCRYPT_SUCCESS(::BCryptHashData(hHash, static_cast<PUCHAR>(const_cast<void*>(pData)), nLength, 0)) &&
                BCRYPT_SUCCESS(::BCryptFinishHash(hHash, digest, sizeof(digest), 0));
        ::BCryptDestroyHash(hHash);
    }
    ::BCryptCloseAlgorithmProvider(hAlgorithm, 0);
    return bDone;
}

struct HolderSearch {
    const char* pszMark;
    HWND hFound;
};

BOOL CALLBACK FindMarked(HWND hWnd, LPARAM lParam)
{
    auto* pSearch = reinterpret_cast<HolderSearch*>(lParam);
    if (!::GetPropA(hWnd, pSearch->pszMark))
        return TRUE;
    pSearch->hFound = hWnd;
    return FALSE;
}

} // namespace

CString UpdateLockNameOf(const CString& strDestPath)
{
    const std::wstring path = FoldedFullPathOf(strDestPath);
    unsigned char digest[32];
    if (path.empty() || !Sha256Of(path.data(), static_cast<ULONG>(path.size() * sizeof(wchar_t)), digest))
        return CString();
    CString strName = kNamePrefix;
    char szByte[3];
    for (unsigned char byte : digest) {
        wsprintfA(szByte, "%02x", byte);
        strName += szByte;
    }
    return strName;
}

CUpdateLock::Result CUpdateLock::Take(const CString& strDestPath, HWND hDialog, DWORD* pError)
{
    Release();
    m_strName = UpdateLockNameOf(strDestPath);
    if (m_strName.IsEmpty()) {
        *pError = ERROR_INVALID_NAME;
        return kUnavailable;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    ::ConvertStringSecurityDescriptorToSecurityDescriptorW(kLockAccess, SDDL_REVISION_1,
                                                           &attributes.lpSecurityDescriptor, nullptr);
    // Only the rights to wait and to release, so that a lock that another
    // user made opens as well.
    m_hMutex = ::CreateMutexExW(&attributes, WideOf(kNamespace + m_strName).c_str(), 0,
                                SYNCHRONIZE | MUTEX_MODIFY_STATE);
    const DWORD nError = ::GetLastError();
    ::LocalFree(attributes.lpSecurityDescriptor);
    if (!m_hMutex) {
        *pError = nError;
        return kUnavailable;
    }
    // An abandoned lock's holder has ended; what it left is looked at by
    // the one who takes it.
    const DWORD nWait = ::WaitForSingleObject(m_hMutex, 0);
    if (nWait == WAIT_TIMEOUT)
        return kHeldElsewhere;
    if (nWait != WAIT_OBJECT_0 && nWait != WAIT_ABANDONED) {
        *pError = ::GetLastError();
        Release();
        return kUnavailable;
    }
    m_bHeld = true;
    if (hDialog && ::SetPropA(hDialog, m_strName, reinterpret_cast<HANDLE>(1)))
        m_hDialog = hDialog;
    return kTaken;
}

void CUpdateLock::ShowHolder() const
{
    HolderSearch search = {m_strName, nullptr};
    ::EnumWindows(FindMarked, reinterpret_cast<LPARAM>(&search));
    if (!search.hFound)
        return;
    if (::IsIconic(search.hFound))
        ::ShowWindow(search.hFound, SW_RESTORE);
    ::SetForegroundWindow(search.hFound);
}

void CUpdateLock::Unmark()
{
    if (m_hDialog && ::IsWindow(m_hDialog))
        ::RemovePropA(m_hDialog, m_strName);
    m_hDialog = nullptr;
}

void CUpdateLock::Release()
{
    Unmark();
    if (m_bHeld)
        ::ReleaseMutex(m_hMutex);
    m_bHeld = false;
    if (m_hMutex)
        ::CloseHandle(m_hMutex);
    m_hMutex = nullptr;
}
