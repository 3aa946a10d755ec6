#pragma once
// The part every platform peer shares: 64 KiB reads into one open file.

#include <windows.h>

#include <cstdio>
#include <vector>

// The peer's exit code when the request failed (connection, TLS handshake,
// certificate), with the platform's error number on stderr so that a failed
// https run says why.
inline int RequestFailed()
{
    std::fprintf(stderr, "request failed: error %lu\n", ::GetLastError());
    return 3;
}

// Copies what read(buffer, size, &nRead) delivers into a new file at pszPath
// until it delivers nothing. The peer's exit code: 0 when the transfer ended
// without an error, 2 when a read failed, 4 when the file could not be
// written.
template <typename Read>
int CopyToFile(const char* pszPath, Read read)
{
    HANDLE hFile = ::CreateFileA(pszPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return 4;
    std::vector<char> buffer(64 * 1024);
    int nExitCode = 0;
    for (;;) {
        DWORD nRead = 0;
        if (!read(buffer.data(), static_cast<DWORD>(buffer.size()), &nRead)) {
            nExitCode = 2;
            break;
        }
        if (nRead == 0)
            break;
        DWORD nWritten = 0;
        if (!::WriteFile(hFile, buffer.data(), nRead, &nWritten, nullptr) || nWritten != nRead) {
            nExitCode = 4;
            break;
        }
    }
    ::CloseHandle(hFile);
    return nExitCode;
}
