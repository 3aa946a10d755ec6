#pragma once
// Owners for the platform's handles, so that a handle is released on every
// path out of the scope that opened it.

#include "Win32.h"

template <typename T, T Invalid, auto Release>
class CUniqueHandle {
public:
    CUniqueHandle() = default;
    explicit CUniqueHandle(T h) : m_h(h) {}
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;
    CUniqueHandle(CUniqueHandle&& other) noexcept : m_h(other.Detach()) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept
    {
        Reset(other.Detach());
        return *this;
    }
    ~CUniqueHandle() { Reset(); }

    T Get() const { return m_h; }
    bool IsValid() const { return m_h != Invalid; }
    // For functions that return a handle through a pointer; releases the old one.
    T* Put()
    {
        Reset();
        return &m_h;
    }
    T Detach()
    {
        T h = m_h;
        m_h = Invalid;
        return h;
    }
    void Reset(T h = Invalid)
    {
        if (m_h != Invalid)
            Release(m_h);
        m_h = h;
    }

private:
    T m_h = Invalid;
};

namespace handles_detail {
inline void CloseKey(HKEY h) { ::RegCloseKey(h); }
inline void CloseFileHandle(HANDLE h) { ::CloseHandle(h); }
inline void ReleaseModule(HMODULE h) { ::FreeLibrary(h); }
inline void CloseSocketHandle(SOCKET h) { ::closesocket(h); }
} // namespace handles_detail

using CUniqueHKey = CUniqueHandle<HKEY, nullptr, handles_detail::CloseKey>;
using CUniqueModule = CUniqueHandle<HMODULE, nullptr, handles_detail::ReleaseModule>;
// A plain socket, outside the notifying sockets of the framework.
using CUniqueSocket = CUniqueHandle<SOCKET, INVALID_SOCKET, handles_detail::CloseSocketHandle>;
// An export of a loaded library as the function type it has; null when the
// module is not loaded or lacks the export.
template <typename T>
T ProcAddressOf(const CUniqueModule& module, const char* pszName)
{
    if (!module.IsValid())
        return nullptr;
    return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(module.Get(), pszName)));
}

// CreateFile reports failure as INVALID_HANDLE_VALUE, which is not a constant
// expression, so file handles use a null invalid value: reset a failed
// CreateFile result before storing it.
using CUniqueHandleValue = CUniqueHandle<HANDLE, nullptr, handles_detail::CloseFileHandle>;

// The owner of a CreateFile result, empty when it failed.
inline CUniqueHandleValue FileHandleOf(HANDLE h)
{
    return CUniqueHandleValue(h == INVALID_HANDLE_VALUE ? nullptr : h);
}
