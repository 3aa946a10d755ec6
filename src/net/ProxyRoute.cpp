#include "ProxyRoute.h"

#include "ProxyScript.h"

CProxyRoute::CProxyRoute() : m_settings(ReadInternetProxySettings()) {}

// A script that cannot be used has said why in the event log; the manual
// setting holds then, as it does when no script is set.
ProxyEndpoint CProxyRoute::ProxyFor(bool bSecure, const CString& strHost, int nPort, const CString& strPath) const
{
    CString strList;
    if (!m_settings.strAutoConfigUrl.IsEmpty() &&
        AskProxyScript(m_settings.strAutoConfigUrl,
                       ScriptQueryUrlOf(bSecure ? "https" : "http", strHost, nPort, strPath), strList))
        return ProxyOfScriptList(strList);
    return ManualProxyFor(m_settings.manual, bSecure, strHost, nPort);
}
