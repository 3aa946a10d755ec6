// Peer downloader: URLDownloadToFileA, the shell's one-call download.
// bench_urlmon.exe URL DESTFILE; exit code 0 on success.

#include <windows.h>
#include <urlmon.h>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 64;
    if (FAILED(::CoInitialize(nullptr)))
        return 3;
    const HRESULT hr = ::URLDownloadToFileA(nullptr, argv[1], argv[2], 0, nullptr);
    ::CoUninitialize();
    return SUCCEEDED(hr) ? 0 : 2;
}
