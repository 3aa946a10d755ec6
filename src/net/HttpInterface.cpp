#include "HttpInterface.h"

#include <cstdlib>

#include "eventlog/EventLog.h"
#include "eventlog/LogLines.h"
#include "framework/File.h"
#include "framework/Handles.h"
#include "ProxyBypass.h"
#include "ProxyScript.h"
#include "UrlParser.h"

namespace {

const LogSource kLogSource = ModuleLogSource("HttpInterface");
const int kMessageSize = 1024;

} // namespace

CHttpInterface::CHttpInterface(const CString& strHost, int nPort, int nTimeout, const CString& strHttpVersion,
                               void* pContext, DataCallback pfnData, CloseCallback pfnClose)
    : CNotifySocket(pfnData, pfnClose, pContext, nTimeout), m_nPort(nPort), m_strHost(strHost),
      m_strHttpVersion(strHttpVersion)
{
    ParseProxySetting(ReadProxySetting(), "http");
    if (UsesProxy() && IsProxyBypassed(ReadInternetSetting("ProxyOverride"), m_strHost, m_nPort))
        m_strProxyHost.Empty();
}

CString CHttpInterface::ReadProxySetting()
{
    CUniqueHKey key;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings", 0,
                        KEY_READ, key.Put()) != ERROR_SUCCESS)
        return CString();

    DWORD nEnable = 0;
    DWORD nSize = sizeof(nEnable);
    if (::RegQueryValueExA(key.Get(), "ProxyEnable", nullptr, nullptr, reinterpret_cast<BYTE*>(&nEnable), &nSize) !=
            ERROR_SUCCESS ||
        nEnable == 0)
        return CString();

    char szServer[1024] = {};
    nSize = sizeof(szServer);
    const LONG nResult =
        ::RegQueryValueExA(key.Get(), "ProxyServer", nullptr, nullptr, reinterpret_cast<BYTE*>(szServer), &nSize);
    key.Reset();
    if (nResult != ERROR_SUCCESS)
        return CString();
    // A value that fills the whole buffer has no terminator of its own.
    szServer[sizeof(szServer) - 1] = '\0';
    return CString(szServer);
}

void CHttpInterface::ParseProxySetting(CString strSetting, const CString& strScheme)
{
    CString strEntry = strSetting;
    const int nScheme = strSetting.Find(strScheme);
    if (nScheme >= 0) {
        strEntry = strSetting.Mid(nScheme + strScheme.GetLength());
        const int nEnd = strEntry.Find(';');
        if (nEnd >= 0)
            strEntry = strEntry.Left(nEnd);
        if (strEntry.Find('=') == 0)
            strEntry = strEntry.Mid(1);
    }

    const int nColon = strEntry.Find(':');
    if (nColon >= 0) {
        m_strProxyHost = strEntry.Left(nColon);
        m_nProxyPort = atoi(strEntry.Mid(nColon + 1));
    } else {
        m_strProxyHost = strEntry;
    }
}

CString CHttpInterface::BuildRequest(const CString& strPath)
{
    CString strRequest = "GET ";
    if (m_strProxyHost.IsEmpty()) {
        strRequest += strPath;
    } else {
        strRequest += "http://";
        strRequest += m_strHost;
        if (m_nPort != 80) {
            char szPort[16];
            wsprintfA(szPort, ":%d", m_nPort);
            strRequest += szPort;
        }
        strRequest += CUrlParser(strPath).GetPathAndFile();
    }
    strRequest += " HTTP/";
    strRequest += m_strHttpVersion;
    strRequest += "\r\nUser-Agent: Quillbrook Plugin (Win95; 1.0)";
    strRequest += "\r\nHost: ";
    strRequest += m_strHost;
    strRequest += "\r\nAccept: */*";
    strRequest += m_strProxyHost.IsEmpty() ? "\r\nConnection: close" : "\r\nProxy-Connection: Keep-Alive";
    strRequest += "\r\n\r\n";
    return strRequest;
}

int CHttpInterface::Request(const CString& strPath, int& nLength)
{
    // The user's configuration script decides ahead of the manual setting.
    // Every URL is asked about as "http" for now; an https one will take
    // the same choice and go through a CONNECT tunnel.
    ScriptProxyChoice scriptChoice;
    if (AskProxyScript(ScriptQueryUrlOf("http", m_strHost, m_nPort, strPath), m_strHost, scriptChoice)) {
        m_strProxyHost = scriptChoice.strHost;
        m_nProxyPort = scriptChoice.nPort;
    }
    const CString strRequest = BuildRequest(strPath);
    Create(); // a failed creation shows up as a failed connect

    const bool bProxy = UsesProxy();
    const CString& strTarget = bProxy ? m_strProxyHost : m_strHost;
    const int nTargetPort = bProxy ? m_nProxyPort : m_nPort;

    char szMessage[kMessageSize];
    if (!Connect(strTarget, static_cast<UINT>(nTargetPort))) {
        const int nError = ::WSAGetLastError();
        wsprintfA(szMessage, "Error %d connecting to host: '%s'", nError, strTarget.GetString());
        LogEvent(&kLogSource, 0, szMessage, LOG_LINE_CONNECT_ERROR);
        // The owner learns of the failure as of a closed connection, and
        // before Request returns.
        if (m_pfnClose)
            m_pfnClose(-1, m_pContext);
        nLength = -1;
        return -1;
    }

    CSocketFile file(this, FALSE);
    try {
        file.Write(strRequest.GetString(), static_cast<UINT>(strRequest.GetLength()));
    } catch (CFileException* pException) {
        char szError[kMessageSize];
        pException->GetErrorMessage(szError, sizeof(szError));
        pException->Delete();
        file.Close();
        Close();
        wsprintfA(szMessage, "Socket file exception: '%s'", szError);
        LogEvent(&kLogSource, 0, szMessage, LOG_LINE_SOCKET_FILE_ERROR);
        nLength = -1;
        return -1;
    }
    return 1;
}
