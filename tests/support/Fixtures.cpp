#include "Fixtures.h"

#include <cstdlib>

#include "Files.h"

int ProxyPortOf(const char* pszPortFileVariable)
{
    const char* pszFile = std::getenv(pszPortFileVariable);
    return pszFile ? atoi(ReadWholeFile(WindowsPath(pszFile)).c_str()) : 0;
}

std::string TlsFixtureFolder()
{
    const char* pszDir = std::getenv("TLS_FIXTURE_DIR");
    return pszDir ? WindowsPath(pszDir) : std::string();
}

int TlsPortOf(const std::string& strName)
{
    const std::string strFolder = TlsFixtureFolder();
    if (strFolder.empty())
        return 0;
    const std::string strPorts = "\n" + ReadWholeFile(strFolder + "\\tls.ports");
    const size_t nAt = strPorts.find("\n" + strName + "=");
    return nAt == std::string::npos ? 0 : atoi(strPorts.c_str() + nAt + strName.size() + 2);
}
