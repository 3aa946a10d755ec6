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

namespace {

// The port on the line NAME=PORT of a fixture's ports file; 0 when the file
// or the line is missing.
int PortInFile(const std::string& strFile, const std::string& strName)
{
    const std::string strPorts = "\n" + ReadWholeFile(strFile);
    const size_t nAt = strPorts.find("\n" + strName + "=");
    return nAt == std::string::npos ? 0 : atoi(strPorts.c_str() + nAt + strName.size() + 2);
}

} // namespace

int TlsPortOf(const std::string& strName)
{
    const std::string strFolder = TlsFixtureFolder();
    return strFolder.empty() ? 0 : PortInFile(strFolder + "\\tls.ports", strName);
}

// tools/auth-fixture.sh makes the account with these.
const char* const kAuthUser = "suiteuser";
const char* const kAuthPassword = "Suite-Pass-1";
const char* const kAuthRealm = "TEST.LOCAL";
const char* const kAuthNtlmDomain = "TEST";

int AuthProxyPortOf(const std::string& strName)
{
    const char* pszDir = std::getenv("AUTH_FIXTURE_DIR");
    return pszDir ? PortInFile(WindowsPath(pszDir) + "\\auth.ports", strName) : 0;
}
