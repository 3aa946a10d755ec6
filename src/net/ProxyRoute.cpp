#include "ProxyRoute.h"

#include "ProxyScript.h"

CProxyRoute::CProxyRoute() : m_settings(ReadInternetProxySettings()) {}

// Windows' order: automatic detection, the script, the manual setting. A
// script that cannot be used has said why in the event log; the manual
// setting holds then, as it does when no script is set or detected.
Route CProxyRoute::RouteFor(const HttpTarget& target) const
{
    Route route;
    CString strList;
    if ((m_settings.bAutoDetect || !m_settings.strAutoConfigUrl.IsEmpty()) &&
        AskProxyScript(m_settings.bAutoDetect, m_settings.strAutoConfigUrl, UrlOf(target), strList))
        route.proxy = ProxyOfScriptList(strList);
    else
        route.proxy = ManualProxyFor(m_settings.manual, target.bSecure, target.strHost, target.nPort);
    if (!route.proxy.IsDirect())
        route.kind = target.bSecure ? Route::kTunnel : Route::kForward;
    return route;
}
