#include "RequestText.h"

#include "UrlParser.h"

namespace {

const char kUserAgent[] = "Quillbrook Plugin (Win95; 1.0)";

CString PortText(int nPort)
{
    return CString(":") + std::to_string(nPort).c_str();
}

int DefaultPortOf(const HttpTarget& target)
{
    return target.bSecure ? 443 : 80;
}

} // namespace

CString UrlOf(const HttpTarget& target)
{
    return CString(target.bSecure ? "https://" : "http://") + HostFieldOf(target) + target.strPath;
}

CString HostFieldOf(const HttpTarget& target)
{
    return target.nPort == DefaultPortOf(target) ? target.strHost : target.strHost + PortText(target.nPort);
}

// The proxy form's path goes through the URL parser, as the target of a
// setting would: a path that ends in a folder gains the default file name.
CString GetRequestOf(const HttpTarget& target, bool bForward, const CString& strHttpVersion)
{
    CString strRequest = "GET ";
    if (bForward) {
        strRequest += "http://";
        strRequest += target.strHost;
        if (target.nPort != 80)
            strRequest += PortText(target.nPort);
        strRequest += CUrlParser(target.strPath).GetPathAndFile();
    } else {
        strRequest += target.strPath;
    }
    strRequest += " HTTP/";
    strRequest += strHttpVersion;
    strRequest += "\r\nUser-Agent: ";
    strRequest += kUserAgent;
    strRequest += "\r\nHost: ";
    strRequest += HostFieldOf(target);
    strRequest += "\r\nAccept: */*";
    if (!target.ifRange.empty()) {
        strRequest += "\r\nRange: bytes=";
        strRequest += std::to_string(target.nRangeFrom).c_str();
        strRequest += "-\r\nIf-Range: ";
        strRequest += target.ifRange.c_str();
    }
    strRequest += bForward            ? "\r\nProxy-Connection: Keep-Alive"
                  : target.bKeepAlive ? "\r\nConnection: Keep-Alive"
                                      : "\r\nConnection: close";
    strRequest += "\r\n\r\n";
    return strRequest;
}

CString ConnectRequestOf(const HttpTarget& target)
{
    const CString strAuthority = target.strHost + PortText(target.nPort);
    return "CONNECT " + strAuthority + " HTTP/1.0\r\nHost: " + strAuthority + "\r\nUser-Agent: " + kUserAgent +
           "\r\n\r\n";
}

CString WithSignIn(const CString& strMessage, const char* pszField, const std::string& value)
{
    CString strRetry = strMessage.Left(strMessage.GetLength() - 2);
    if (strMessage.Find("\r\nProxy-Connection: ") < 0 && strMessage.Find("\r\nConnection: ") < 0)
        strRetry += "Proxy-Connection: Keep-Alive\r\n";
    return strRetry + pszField + ": " + value.c_str() + "\r\n\r\n";
}
